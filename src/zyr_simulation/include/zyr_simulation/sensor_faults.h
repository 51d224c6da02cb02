// Faults that vehicle_sim strikes into its own outputs for the fault scenarios
// (make demo SCENARIO=..., the closed-loop tests): a LiDAR that goes silent,
// one that is blinded (every point NaN), a driver stuck republishing its last
// cloud with fresh stamps, and a velocity flagged unhealthy. Each strikes
// once, for good.
#ifndef ZYR_SIMULATION_SENSOR_FAULTS_H
#define ZYR_SIMULATION_SENSOR_FAULTS_H

#include <sensor_msgs/PointCloud2.h>

#include <string>

namespace zyr_simulation
{
enum class SensorFault
{
  None,
  LidarDropout,
  LidarBlind,
  LidarFrozen,
  VelocityUnhealthy,
};

// "none", "lidar-dropout", "lidar-blind", "lidar-frozen" or "velocity-unhealthy"; throws std::invalid_argument for
// any other name.
SensorFault parseSensorFault(const std::string& name);

// What the fault does, as vehicle_sim's line says it: "<effect> from now on, ...".
const char* faultEffect(SensorFault fault);

// Every point's x, y and z become NaN, as a blinded sensor's driver reports beams without a return; the cloud keeps
// its size, its other fields and its stamp, and is no longer dense.
void blindCloud(sensor_msgs::PointCloud2* cloud);
}  // namespace zyr_simulation

#endif
