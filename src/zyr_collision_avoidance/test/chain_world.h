// The outside world of the mapper and the monitor for the tests that run them
// together: tf at 50 Hz, a LiDAR seeing a wall at 10 Hz and the SDK node's
// velocity at 50 Hz, published from a thread of its own.
#ifndef ZYR_COLLISION_AVOIDANCE_TEST_CHAIN_WORLD_H
#define ZYR_COLLISION_AVOIDANCE_TEST_CHAIN_WORLD_H

#include <geometry_msgs/TransformStamped.h>
#include <ros/ros.h>
#include <sensor_msgs/PointCloud2.h>
#include <sensor_msgs/point_cloud2_iterator.h>
#include <tf2_msgs/TFMessage.h>
#include <zyr_sdk/Velocity.h>

#include <atomic>
#include <thread>
#include <vector>

namespace chain_test
{
// A wall across the way 10 m ahead of the aircraft, |y| <= 4, |z| <= 2, in
// the LiDAR's frame, which sits 0.5 m above the world origin. Its range
// wanders by a centimetre from scan to scan, within one voxel: a real LiDAR
// never repeats itself to the bit, and the watchdog takes one that does for
// a frozen driver.
inline sensor_msgs::PointCloud2 wallCloud(const ros::Time& stamp, unsigned scan = 0)
{
  sensor_msgs::PointCloud2 cloud;
  cloud.header.stamp = stamp;
  cloud.header.frame_id = "lidar";
  sensor_msgs::PointCloud2Modifier modifier(cloud);
  modifier.setPointCloud2FieldsByString(1, "xyz");
  std::vector<float> points;
  for (float y = -4.0f; y <= 4.0f; y += 0.1f)
    for (float z = -2.5f; z <= 1.5f; z += 0.1f)
      points.insert(points.end(), {10.0f + 0.01f * static_cast<float>(scan % 3), y, z});
  modifier.resize(points.size() / 3);
  sensor_msgs::PointCloud2Iterator<float> x(cloud, "x"), y(cloud, "y"), z(cloud, "z");
  for (std::size_t i = 0; i < points.size(); i += 3, ++x, ++y, ++z)
  {
    *x = points[i];
    *y = points[i + 1];
    *z = points[i + 2];
  }
  return cloud;
}

inline geometry_msgs::TransformStamped transform(const ros::Time& stamp, const char* child, double z)
{
  geometry_msgs::TransformStamped t;
  t.header.stamp = stamp;
  t.header.frame_id = "world";
  t.child_frame_id = child;
  t.transform.translation.z = z;
  t.transform.rotation.w = 1.0;
  return t;
}

// Plays the outside world until destroyed. The velocity is along world x; the
// LiDAR can be silenced and brought back.
class World
{
public:
  World()
  {
    ros::NodeHandle nh;
    tf_ = nh.advertise<tf2_msgs::TFMessage>("/tf", 100);
    clouds_ = nh.advertise<sensor_msgs::PointCloud2>("velodyne_points", 5);
    velocity_ = nh.advertise<zyr_sdk::Velocity>("zyr_sdk/velocity", 20);
    thread_ = std::thread([this] { run(); });
  }
  ~World()
  {
    running_ = false;
    thread_.join();
  }
  void setVx(float vx)
  {
    vx_ = vx;
  }
  void setLidar(bool on)
  {
    lidar_ = on;
  }
  // The stamp of the last cloud published, in seconds (0 before the first).
  double lastCloud() const
  {
    return lastCloud_;
  }

private:
  void run()
  {
    const ros::Time start = ros::Time::now();
    for (unsigned tick = 0; running_ && ros::ok(); ++tick)
    {
      const ros::Time now = ros::Time::now();
      tf2_msgs::TFMessage tf;
      tf.transforms.push_back(transform(now, "drone", 0.0));
      tf.transforms.push_back(transform(now, "lidar", 0.5));
      tf_.publish(tf);
      zyr_sdk::Velocity v;
      v.header.stamp = now;
      v.vx = vx_;
      v.health_flag = 1;
      velocity_.publish(v);
      // Clouds start once tf has a history to interpolate in.
      if (lidar_ && tick % 5 == 0 && now - start > ros::Duration(0.5))
      {
        clouds_.publish(wallCloud(now, scans_++));
        lastCloud_ = now.toSec();
      }
      ros::WallDuration(0.02).sleep();
    }
  }

  ros::Publisher tf_, clouds_, velocity_;
  unsigned scans_ = 0;
  std::atomic<float> vx_{0.0f};
  std::atomic<bool> lidar_{true};
  std::atomic<double> lastCloud_{0.0};
  std::atomic<bool> running_{true};
  std::thread thread_;
};
}  // namespace chain_test

#endif  // ZYR_COLLISION_AVOIDANCE_TEST_CHAIN_WORLD_H
