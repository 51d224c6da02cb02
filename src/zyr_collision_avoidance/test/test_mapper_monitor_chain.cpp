// The mapper and the monitor wired together as on the aircraft: clouds of a
// wall on "velodyne_points" become octrees, and the monitor's verdict on
// "collision_info_msg" follows the direction of motion.
#include <geometry_msgs/TransformStamped.h>
#include <gtest/gtest.h>
#include <ros/ros.h>
#include <sensor_msgs/PointCloud2.h>
#include <sensor_msgs/point_cloud2_iterator.h>
#include <std_msgs/UInt8.h>
#include <tf2_msgs/TFMessage.h>
#include <zyr_sdk/Velocity.h>

#include <atomic>
#include <thread>
#include <vector>

#include "zyr_test_support/inbox.h"
#include "zyr_test_support/rostest_main.h"

using test_support::Inbox;

namespace
{
// A wall across the way 10 m ahead of the aircraft, |y| <= 4, |z| <= 2, in
// the LiDAR's frame, which sits 0.5 m above the world origin.
sensor_msgs::PointCloud2 wallCloud(const ros::Time& stamp)
{
  sensor_msgs::PointCloud2 cloud;
  cloud.header.stamp = stamp;
  cloud.header.frame_id = "lidar";
  sensor_msgs::PointCloud2Modifier modifier(cloud);
  modifier.setPointCloud2FieldsByString(1, "xyz");
  std::vector<float> points;
  for (float y = -4.0f; y <= 4.0f; y += 0.1f)
    for (float z = -2.5f; z <= 1.5f; z += 0.1f)
      points.insert(points.end(), {10.0f, y, z});
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

geometry_msgs::TransformStamped transform(const ros::Time& stamp, const char* child, double z)
{
  geometry_msgs::TransformStamped t;
  t.header.stamp = stamp;
  t.header.frame_id = "world";
  t.child_frame_id = child;
  t.transform.translation.z = z;
  t.transform.rotation.w = 1.0;
  return t;
}

// Plays the outside world: tf at 50 Hz, the LiDAR at 10 Hz and the SDK
// node's velocity at 50 Hz, until destroyed.
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
      if (tick % 5 == 0 && now - start > ros::Duration(0.5))
        clouds_.publish(wallCloud(now));
      ros::WallDuration(0.02).sleep();
    }
  }

  ros::Publisher tf_, clouds_, velocity_;
  std::atomic<float> vx_{0.0f};
  std::atomic<bool> running_{true};
  std::thread thread_;
};

// Waits until a status equal to `value` arrives after index `from`.
bool waitForStatus(const Inbox<std_msgs::UInt8>& statuses, uint8_t value, std::size_t from, double seconds)
{
  return statuses.waitForMatch([value](const std_msgs::UInt8& m) { return m.data == value; }, nullptr, from, seconds);
}
}  // namespace

TEST(MapperMonitorChain, WallAheadIsDangerWhenFlyingTowardsItAndClearWhenFlyingAway)
{
  ros::NodeHandle nh;
  Inbox<std_msgs::UInt8> status;
  status.subscribe(nh, "collision_info_msg");
  World world;

  world.setVx(2.0f);
  ASSERT_TRUE(waitForStatus(status, 1, 0, 30.0))
      << "no danger while flying at the wall; statuses received: " << status.size();

  world.setVx(-2.0f);
  // A verdict already under way may still say danger; the next ones must not.
  const std::size_t turned = status.size();
  ASSERT_TRUE(waitForStatus(status, 0, turned, 10.0)) << "still danger while flying away";
  const std::size_t clear = status.size();
  test_support::settle(1.5);
  ASSERT_GT(status.size(), clear) << "the monitor stopped publishing";
  EXPECT_EQ(0u, status.count([](const std_msgs::UInt8& m) { return m.data != 0; }, clear));

  world.setVx(2.0f);
  EXPECT_TRUE(waitForStatus(status, 1, status.size(), 10.0)) << "no danger after turning back towards the wall";
}

int main(int argc, char** argv)
{
  return test_support::runRostest(argc, argv, "mapper_monitor_chain_test", 1);
}
