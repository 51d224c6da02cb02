// vehicle_sim seen from the ROS graph, as the mapper, the monitor and the stand-ins will see it: the tf tree, the
// LiDAR cloud, the state it reports and how it answers attitude commands and the paused flag.
#include <gtest/gtest.h>
#include <ros/ros.h>
#include <sensor_msgs/PointCloud2.h>
#include <sensor_msgs/point_cloud2_iterator.h>
#include <std_msgs/Bool.h>
#include <tf/transform_listener.h>
#include <zyr_sdk/GlobalPosition.h>
#include <zyr_simulation/AttitudeCommand.h>
#include <zyr_simulation/StateRecord.h>
#include <zyr_simulation/VehicleTruth.h>

#include <cmath>
#include <functional>
#include <memory>

#include "zyr_test_support/inbox.h"

using test_support::spinUntil;

namespace
{
template <class M>
struct Latest
{
  boost::shared_ptr<const M> msg;
  int count = 0;
  void callback(const boost::shared_ptr<const M>& m)
  {
    msg = m;
    ++count;
  }
};

Latest<sensor_msgs::PointCloud2> cloud;
Latest<zyr_simulation::StateRecord> state;
Latest<zyr_simulation::VehicleTruth> truth;
Latest<zyr_sdk::GlobalPosition> gps;
ros::Publisher command_pub, paused_pub;
std::unique_ptr<tf::TransformListener> listener;

void sendCommand(std::uint8_t flag, float x, float y, float z)
{
  static std::uint32_t index = 0;
  zyr_simulation::AttitudeCommand c;
  c.header.stamp = ros::Time::now();
  c.index = ++index;
  c.flag = flag;
  c.x = x;
  c.y = y;
  c.z = z;
  c.yaw = 0.0f;
  command_pub.publish(c);
}

// Keeps sending a command every 50 ms until the condition holds or the timeout passes.
bool flyUntil(std::uint8_t flag, float x, float y, float z, const std::function<bool()>& condition, double timeout)
{
  return test_support::waitFor(
      [&]
      {
        sendCommand(flag, x, y, z);
        return spinUntil(condition, 0.05);
      },
      timeout, 0.0);
}

tf::Vector3 rotate(const tf::StampedTransform& t, const tf::Vector3& v)
{
  return t.getBasis() * v;
}

void expectNear(const tf::Vector3& expected, const tf::Vector3& actual)
{
  EXPECT_NEAR(expected.x(), actual.x(), 1e-3);
  EXPECT_NEAR(expected.y(), actual.y(), 1e-3);
  EXPECT_NEAR(expected.z(), actual.z(), 1e-3);
}
}  // namespace

TEST(VehicleSim, TfKeepsTheAircraftAtTheWorldOriginAndConnectsTheLidar)
{
  std::string error;
  ASSERT_TRUE(
      listener->waitForTransform("world", "lidar", ros::Time(0), ros::Duration(15.0), ros::Duration(0.01), &error))
      << error;
  tf::StampedTransform world_drone, world_lidar, drone_lidar;
  listener->lookupTransform("world", "drone", ros::Time(0), world_drone);
  listener->lookupTransform("world", "lidar", ros::Time(0), world_lidar);
  listener->lookupTransform("drone", "lidar", ros::Time(0), drone_lidar);
  expectNear(tf::Vector3(0, 0, 0), world_drone.getOrigin());
  // Hovering level with heading 0: drone x forward = world x, drone y right = world -y, drone z down = world -z.
  expectNear(tf::Vector3(1, 0, 0), rotate(world_drone, tf::Vector3(1, 0, 0)));
  expectNear(tf::Vector3(0, -1, 0), rotate(world_drone, tf::Vector3(0, 1, 0)));
  expectNear(tf::Vector3(0, 0, -1), rotate(world_drone, tf::Vector3(0, 0, 1)));
  // The LiDAR sits 0.1 m above the centre with x forward, y left, z up.
  expectNear(tf::Vector3(0, 0, -0.1), drone_lidar.getOrigin());
  expectNear(tf::Vector3(0, 0, 0.1), world_lidar.getOrigin());
  expectNear(tf::Vector3(0, 1, 0), rotate(world_lidar, tf::Vector3(0, 1, 0)));
  expectNear(tf::Vector3(0, 0, 1), rotate(world_lidar, tf::Vector3(0, 0, 1)));
}

TEST(VehicleSim, CloudComesInTheLidarFrameWithFloatXyzAndShowsTheWallAheadAndTheGround)
{
  ASSERT_TRUE(spinUntil([] { return cloud.count > 0 && truth.count > 0; }, 15.0));
  const sensor_msgs::PointCloud2& c = *cloud.msg;
  EXPECT_EQ("lidar", c.header.frame_id);
  EXPECT_FALSE(c.header.stamp.isZero());
  ASSERT_GE(c.fields.size(), 3u);
  for (int i = 0; i < 3; ++i)
  {
    EXPECT_EQ(std::string(1, "xyz"[i]), c.fields[i].name);
    EXPECT_EQ(4u * i, c.fields[i].offset);
    EXPECT_EQ(sensor_msgs::PointField::FLOAT32, c.fields[i].datatype);
  }
  ASSERT_GT(c.width * c.height, 0u);
  ASSERT_EQ(static_cast<std::size_t>(c.row_step) * c.height, c.data.size());

  // The wall's near face is 49.8 m ahead of the start; the ground 3.1 m below the LiDAR.
  const double wall_ahead = 49.8 - truth.msg->x;
  int on_wall = 0, on_ground = 0;
  for (sensor_msgs::PointCloud2ConstIterator<float> x(c, "x"), y(c, "y"), z(c, "z"); x != x.end(); ++x, ++y, ++z)
  {
    on_wall += std::abs(*x - wall_ahead) < 0.2 && std::abs(*y) < 1.0;
    on_ground += std::abs(*z + 3.1) < 0.2;
  }
  EXPECT_GT(on_wall, 0);
  EXPECT_GT(on_ground, 100);
}

TEST(VehicleSim, GlobalPositionCarriesHeightAndTheConfiguredHealth)
{
  ASSERT_TRUE(spinUntil([] { return gps.count > 0; }, 10.0));
  EXPECT_NEAR(3.0, gps.msg->height, 0.2);
  EXPECT_EQ(4, gps.msg->health);
}

TEST(VehicleSim, AttitudeCommandsMoveTheVehicleAndItBrakesWhenTheyStop)
{
  ASSERT_TRUE(spinUntil([] { return state.count > 0 && truth.count > 0; }, 10.0));
  EXPECT_EQ(1, state.msg->health_flag);
  // Heading east, level: a yaw of 90 degrees in north-east-down.
  EXPECT_NEAR(std::sqrt(0.5), state.msg->q0, 1e-3);
  EXPECT_NEAR(std::sqrt(0.5), state.msg->q3, 1e-3);
  const double x0 = truth.msg->x;

  // Forward: world +x.
  ASSERT_TRUE(flyUntil(
      90, 2.0f, 0.0f, 3.0f, [] { return state.msg->vx > 1.5; }, 15.0));
  EXPECT_NEAR(0.0, state.msg->vy, 0.05);
  ASSERT_TRUE(spinUntil([x0] { return truth.msg->x > x0 + 0.2; }, 5.0));
  EXPECT_GT(truth.msg->commands_received, 0u);
  EXPECT_EQ(0u, truth.msg->commands_rejected);

  // Commands stop: it brakes to a hover by itself.
  ASSERT_TRUE(spinUntil([] { return std::abs(state.msg->vx) < 0.05 && !truth.msg->command_active; }, 10.0));

  // Right: world -y.
  ASSERT_TRUE(flyUntil(
      90, 0.0f, 2.0f, 3.0f, [] { return state.msg->vy < -1.5; }, 15.0));
  EXPECT_NEAR(0.0, state.msg->vx, 0.05);

  // An unknown flag is refused and counted.
  const std::uint32_t rejected = truth.msg->commands_rejected;
  sendCommand(0x4B, 1.0f, 0.0f, 0.0f);
  EXPECT_TRUE(spinUntil([rejected] { return truth.msg->commands_rejected == rejected + 1; }, 5.0));
}

TEST(VehicleSim, PausedFlagFreezesThePilotScriptAndClearingItLetsItGoOn)
{
  ASSERT_TRUE(spinUntil([] { return truth.count > 0; }, 10.0));
  std_msgs::Bool paused;
  paused.data = true;
  ASSERT_TRUE(spinUntil(
      [&]
      {
        paused_pub.publish(paused);
        return truth.msg->pilot_frozen;
      },
      10.0));
  const double frozen_at = truth.msg->pilot_time;
  const int seen = truth.count;
  ASSERT_TRUE(spinUntil([seen] { return truth.count > seen + 10; }, 10.0));
  EXPECT_EQ(frozen_at, truth.msg->pilot_time);

  paused.data = false;
  ASSERT_TRUE(spinUntil(
      [&]
      {
        paused_pub.publish(paused);
        return !truth.msg->pilot_frozen && truth.msg->pilot_time > frozen_at + 0.1;
      },
      10.0));
}

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  ros::init(argc, argv, "test_vehicle_sim_ros");
  ros::NodeHandle nh;
  listener.reset(new tf::TransformListener);
  ros::Subscriber s1 = nh.subscribe("velodyne_points", 2, &Latest<sensor_msgs::PointCloud2>::callback, &cloud);
  ros::Subscriber s2 = nh.subscribe("sim/state", 100, &Latest<zyr_simulation::StateRecord>::callback, &state);
  ros::Subscriber s3 = nh.subscribe("sim/truth", 100, &Latest<zyr_simulation::VehicleTruth>::callback, &truth);
  ros::Subscriber s4 = nh.subscribe("sim/global_position", 10, &Latest<zyr_sdk::GlobalPosition>::callback, &gps);
  command_pub = nh.advertise<zyr_simulation::AttitudeCommand>("sim/attitude_command", 10);
  paused_pub = nh.advertise<std_msgs::Bool>("sim/paused", 1);
  const int result = RUN_ALL_TESTS();
  // Global handles must let go before roscpp's own statics are torn down at exit.
  command_pub.shutdown();
  paused_pub.shutdown();
  listener.reset();
  ros::shutdown();
  return result;
}
