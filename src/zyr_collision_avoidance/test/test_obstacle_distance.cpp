// obstacle_distance and attitude_frames on a live graph (obstacle_distance.test):
// the aircraft reports its nose east, a wall stands 10 m east; the scan must
// show it ahead and nothing elsewhere, and nothing at all once the maps stop
// or the watchdog holds.
#include <gtest/gtest.h>
#include <octomap_msgs/conversions.h>
#include <ros/ros.h>
#include <sensor_msgs/LaserScan.h>
#include <std_msgs/String.h>
#include <tf2_ros/buffer.h>
#include <tf2_ros/transform_listener.h>
#include <zyr_sdk/AttitudeQuaternion.h>

#include <atomic>
#include <cmath>
#include <memory>

#include "zyr_collision_avoidance/cloud_insertion.h"
#include "zyr_test_support/inbox.h"
#include "zyr_test_support/rostest_main.h"

using sensor_msgs::LaserScan;
using test_support::Inbox;

namespace
{
const float kNone = 31.0f;  // range_max + 1

bool allUnknown(const LaserScan& s)
{
  for (float r : s.ranges)
    if (!std::isnan(r))
      return false;
  return !s.ranges.empty();
}
bool known(const LaserScan& s)
{
  return s.ranges.size() == 72 && !std::isnan(s.ranges[0]);
}

// The aircraft's side of the graph: its attitude at 50 Hz, maps at 5 Hz while
// they flow, the watchdog's latched fail-safe; and what comes back.
struct Graph
{
  explicit Graph(ros::NodeHandle& nh)
      : attitudePub(nh.advertise<zyr_sdk::AttitudeQuaternion>("zyr_sdk/attitude_quaternion", 10)),
        mapPub(nh.advertise<octomap_msgs::Octomap>("zyr_collision_avoidance/octomap_binary", 2)),
        failsafePub(nh.advertise<std_msgs::String>("zyr_collision_avoidance/failsafe", 1, true)),
        scans(nh, "zyr_collision_avoidance/obstacle_distance"),
        tfListener(tfBuffer)
  {
    std::unique_ptr<octomap::OcTree> tree(occupancy_mapping::newSensorModelTree());
    // Voxel centres: x 10.05, y -2.85 .. 2.85, z -1.95 .. 1.95.
    for (int i = 0; i < 20; ++i)
      for (int j = 0; j < 14; ++j)
        tree->updateNode(10.05, -2.85 + 0.3 * i, -1.95 + 0.3 * j, true);
    tree->updateInnerOccupancy();
    octomap_msgs::binaryMapToMsg(*tree, wall);
    wall.header.frame_id = "world";
    // Nose east: yaw 90 degrees in north-east-down.
    attitudeTimer = nh.createTimer(ros::Duration(0.02),
                                   [this](const ros::TimerEvent&)
                                   {
                                     zyr_sdk::AttitudeQuaternion q;
                                     q.header.stamp = ros::Time::now();
                                     q.q0 = q.q3 = std::sqrt(0.5f);
                                     attitudePub.publish(q);
                                   });
    mapTimer = nh.createTimer(ros::Duration(0.2),
                              [this](const ros::TimerEvent&)
                              {
                                if (!mapsFlow)
                                  return;
                                wall.header.stamp = ros::Time::now();
                                mapPub.publish(wall);
                              });
  }

  void failsafe(const std::string& reason)
  {
    std_msgs::String m;
    m.data = reason;
    failsafePub.publish(m);
  }

  // Waits for a scan, after those seen so far, that matches.
  bool next(const Inbox<LaserScan>::Match& match, LaserScan* found = nullptr)
  {
    return scans.waitForMatch(match, found, scans.size());
  }

  ros::Publisher attitudePub, mapPub, failsafePub;
  Inbox<LaserScan> scans;
  tf2_ros::Buffer tfBuffer;
  tf2_ros::TransformListener tfListener;
  ros::Timer attitudeTimer, mapTimer;
  octomap_msgs::Octomap wall;
  std::atomic<bool> mapsFlow{true};
};
std::unique_ptr<Graph> graph;
}  // namespace

TEST(ObstacleDistance, TheWallIsAheadAtItsDistanceAndNothingElsewhere)
{
  LaserScan s;
  ASSERT_TRUE(graph->next(known, &s)) << "no scan with ranges";
  EXPECT_EQ("drone", s.header.frame_id);
  ASSERT_EQ(72u, s.ranges.size());
  EXPECT_EQ(0.0f, s.angle_min);
  EXPECT_NEAR(5.0 * M_PI / 180.0, s.angle_increment, 1e-7);
  EXPECT_NEAR(355.0 * M_PI / 180.0, s.angle_max, 1e-5);
  EXPECT_EQ(0.3f, s.range_min);
  EXPECT_EQ(30.0f, s.range_max);
  // The wall's voxels start at x = 9.9: straight ahead at 9.9 m, at most
  // 10.4 m away across its 6 m (17 degrees to either side).
  EXPECT_NEAR(9.9, s.ranges[0], 1e-3);
  for (int k = 0; k < 72; ++k)
  {
    const bool onTheWall = k <= 3 || k >= 69;
    if (onTheWall)
      EXPECT_TRUE(s.ranges[k] >= 9.9f && s.ranges[k] < 10.4f) << "sector " << k << ": " << s.ranges[k];
    else
      EXPECT_EQ(kNone, s.ranges[k]) << "sector " << k;
  }
}

TEST(ObstacleDistance, EveryRangeIsUnknownOnceTheMapIsStaleAndScansGoOn)
{
  ASSERT_TRUE(graph->next(known));
  graph->mapsFlow = false;
  const ros::Time stopped = ros::Time::now();
  ASSERT_TRUE(graph->next(allUnknown)) << "the ranges stayed known after the maps stopped";
  const std::size_t from = graph->scans.size();
  test_support::settle(1.0);
  const auto all = graph->scans.all();
  EXPECT_GE(all.size() - from, 8u) << "fewer than 8 scans in a second without maps";
  for (std::size_t i = from; i < all.size(); ++i)
    EXPECT_TRUE(allUnknown(all[i]));
  // Within the staleness bound of the last map, and not much later.
  const double unknownAfter = (all[from - 1].header.stamp - stopped).toSec();
  EXPECT_LT(unknownAfter, 0.5 + 0.2 + 0.3);
  graph->mapsFlow = true;
  EXPECT_TRUE(graph->next(known)) << "the ranges did not come back with the maps";
}

TEST(ObstacleDistance, EveryRangeIsUnknownWhileTheWatchdogHolds)
{
  ASSERT_TRUE(graph->next(known));
  graph->failsafe("maps have stopped");
  ASSERT_TRUE(graph->next(allUnknown));
  const std::size_t from = graph->scans.size();
  test_support::settle(0.6);  // maps keep coming meanwhile
  EXPECT_EQ(0u, graph->scans.count([](const LaserScan& s) { return !allUnknown(s); }, from));
  graph->failsafe("");
  EXPECT_TRUE(graph->next(known));
}

TEST(AttitudeFrames, TheAttitudeAndTheMountingMakeTheTree)
{
  geometry_msgs::TransformStamped body, lidar;
  ASSERT_TRUE(test_support::waitFor(
      [&]
      {
        try
        {
          body = graph->tfBuffer.lookupTransform("world", "drone", ros::Time(0));
          lidar = graph->tfBuffer.lookupTransform("drone", "lidar", ros::Time(0));
          return true;
        }
        catch (const tf2::TransformException&)
        {
          return false;
        }
      }));
  // Nose east, right wing south, belly down: half a turn about east (x).
  const auto& q = body.transform.rotation;
  EXPECT_NEAR(1.0, std::abs(q.x), 1e-6);
  EXPECT_EQ(0.0, body.transform.translation.x);
  EXPECT_EQ(0.0, body.transform.translation.z);
  // The LiDAR 0.1 m above the centre, half a turn about the nose.
  EXPECT_NEAR(-0.1, lidar.transform.translation.z, 1e-12);
  EXPECT_NEAR(1.0, std::abs(lidar.transform.rotation.x), 1e-9);
}

int main(int argc, char** argv)
{
  return test_support::runRostest(argc, argv, "test_obstacle_distance", 2, graph);
}
