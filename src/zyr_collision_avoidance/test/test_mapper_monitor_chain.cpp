// The mapper and the monitor wired together as on the aircraft: clouds of a
// wall on "velodyne_points" become octrees, and the monitor's verdict on
// "collision_info_msg" follows the direction of motion.
#include <gtest/gtest.h>
#include <ros/ros.h>
#include <std_msgs/UInt8.h>

#include "chain_world.h"
#include "zyr_test_support/inbox.h"
#include "zyr_test_support/rostest_main.h"

using test_support::Inbox;

namespace
{
using chain_test::World;

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
