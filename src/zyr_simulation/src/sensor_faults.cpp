#include "zyr_simulation/sensor_faults.h"

#include <sensor_msgs/point_cloud2_iterator.h>

#include <limits>
#include <stdexcept>

namespace zyr_simulation
{
namespace
{
struct Named
{
  SensorFault fault;
  const char* name;
  const char* effect;
};
const Named kFaults[] = {
    {SensorFault::None, "none", "nothing"},
    {SensorFault::LidarDropout, "lidar-dropout", "LiDAR silent"},
    {SensorFault::LidarBlind, "lidar-blind", "LiDAR blind (every point NaN)"},
    {SensorFault::LidarFrozen, "lidar-frozen", "LiDAR frozen (its last cloud again and again, freshly stamped)"},
    {SensorFault::VelocityUnhealthy, "velocity-unhealthy", "velocity unhealthy (health_flag 0)"},
};
}  // namespace

SensorFault parseSensorFault(const std::string& name)
{
  std::string names;
  for (const Named& f : kFaults)
  {
    if (name == f.name)
      return f.fault;
    names += std::string(names.empty() ? "" : ", ") + f.name;
  }
  throw std::invalid_argument("unknown fault \"" + name + "\" (known: " + names + ")");
}

const char* faultEffect(SensorFault fault)
{
  for (const Named& f : kFaults)
    if (f.fault == fault)
      return f.effect;
  return "?";
}

void blindCloud(sensor_msgs::PointCloud2* cloud)
{
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (sensor_msgs::PointCloud2Iterator<float> x(*cloud, "x"), y(*cloud, "y"), z(*cloud, "z"); x != x.end();
       ++x, ++y, ++z)
    *x = *y = *z = nan;
  cloud->is_dense = false;
}
}  // namespace zyr_simulation
