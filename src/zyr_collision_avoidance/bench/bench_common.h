// Shared pieces of the mapper benchmarks: the street scan as a LiDAR cloud,
// the sensor's static transform, and simple statistics.
#ifndef ZYR_COLLISION_AVOIDANCE_BENCH_BENCH_COMMON_H
#define ZYR_COLLISION_AVOIDANCE_BENCH_BENCH_COMMON_H

#include <geometry_msgs/TransformStamped.h>
#include <sensor_msgs/PointCloud2.h>
#include <sensor_msgs/point_cloud2_iterator.h>
#include <tf/transform_datatypes.h>
#include <tf2_msgs/TFMessage.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <vector>

namespace mapper_bench
{
// The LiDAR sits a little ahead of and below the aircraft's origin, turned
// by 0.3 rad about the vertical.
const double kSensorX = 0.1, kSensorY = 0.0, kSensorZ = -0.15, kSensorYaw = 0.3;

inline geometry_msgs::TransformStamped sensorTransform()
{
  geometry_msgs::TransformStamped t;
  t.header.frame_id = "world";
  t.child_frame_id = "velodyne";
  t.transform.translation.x = kSensorX;
  t.transform.translation.y = kSensorY;
  t.transform.translation.z = kSensorZ;
  const tf::Quaternion q = tf::createQuaternionFromYaw(kSensorYaw);
  t.transform.rotation.x = q.x();
  t.transform.rotation.y = q.y();
  t.transform.rotation.z = q.z();
  t.transform.rotation.w = q.w();
  return t;
}

// The street scan as a LiDAR driver sends it: float32 x, y, z, intensity,
// 16 bytes a point, one row. Empty if the file cannot be read.
inline sensor_msgs::PointCloud2 loadScanCloud(const std::string& path)
{
  std::vector<std::array<float, 4>> records;
  if (std::FILE* file = std::fopen(path.c_str(), "rb"))
  {
    std::array<float, 4> r;
    while (std::fread(r.data(), sizeof(float), 4, file) == 4)
      records.push_back(r);
    std::fclose(file);
  }
  sensor_msgs::PointCloud2 cloud;
  cloud.header.frame_id = "velodyne";
  sensor_msgs::PointCloud2Modifier modifier(cloud);
  modifier.setPointCloud2Fields(4, "x", 1, sensor_msgs::PointField::FLOAT32, "y", 1, sensor_msgs::PointField::FLOAT32,
                                "z", 1, sensor_msgs::PointField::FLOAT32, "intensity", 1,
                                sensor_msgs::PointField::FLOAT32);
  modifier.resize(records.size());
  if (!records.empty())
    std::copy(reinterpret_cast<const unsigned char*>(records.data()),
              reinterpret_cast<const unsigned char*>(records.data() + records.size()), cloud.data.begin());
  cloud.is_dense = true;
  return cloud;
}

// Value at the given quantile (0..1) of the samples, nearest rank.
inline double quantile(std::vector<double> samples, double q)
{
  if (samples.empty())
    return 0.0;
  std::sort(samples.begin(), samples.end());
  std::size_t rank = static_cast<std::size_t>(q * samples.size() + 0.999999);
  rank = std::min(std::max<std::size_t>(rank, 1), samples.size());
  return samples[rank - 1];
}
}  // namespace mapper_bench

#endif
