// The collision monitor on a live ROS graph. The MonitorStartup and
// MonitorTopics suites drive a monitor node that rostest starts, through its
// topics only: tf for "world" -> "drone", octomap, velocity and stick messages
// in; status, debug topics, markers and /rosout lines out. The InProcess suite
// hosts a detector in this process, where the order of its outputs can be seen.
// The MonitorStartup cases are in test_collision_monitor_startup.cpp.
#include <geometry_msgs/Vector3.h>
#include <gtest/gtest.h>
#include <octomap/ColorOcTree.h>
#include <octomap_msgs/conversions.h>
#include <ros/ros.h>
#include <std_msgs/UInt8.h>
#include <visualization_msgs/Marker.h>
#include <visualization_msgs/MarkerArray.h>
#include <zyr_sdk/Velocity.h>

#include <boost/function.hpp>
#include <boost/make_shared.hpp>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "monitor_link.h"
#include "zyr_collision_avoidance/collision_monitor.h"

using namespace monitor_test;

// ---------------------------------------------------------------------------
// One monitor with the transform published from the start, shared by the
// cases; each case gives it the map it needs.

class MonitorTopics : public ::testing::Test
{
public:
  struct Setup
  {
    DronePoseBroadcaster pose;
    MonitorLink link;
    bool connected = false;
  };
  static std::unique_ptr<Setup> shared;  // torn down in main, while ROS still runs

protected:
  void SetUp() override
  {
    if (!shared)
    {
      shared.reset(new Setup);
      shared->pose.start();
      shared->connected = shared->link.connect() && shared->pose.waitForListener();
    }
    ASSERT_TRUE(shared->connected);
  }

  MonitorLink& link()
  {
    return shared->link;
  }

  // Gives the monitor the wall 10 m ahead and brings its velocity count to
  // the start of a query, whatever an earlier case left behind. Each healthy
  // message toward the wall is followed by an unhealthy one; its log line
  // comes after the collision line of a query the healthy one ran.
  void holdWall()
  {
    std::string text;
    ASSERT_TRUE(link().sendMap(wallMap(10.0f), &text));
    ASSERT_EQ(reportOf(wallMap(10.0f)), text);
    bool aligned = false;
    for (int i = 0; i < 5 && !aligned; ++i)
    {
      ASSERT_TRUE(link().refreshMap());
      const std::size_t mark = link().logs.size(), statuses = link().statuses.size();
      link().sendVelocity(1, 0, 1);
      link().sendVelocity(1, 0, 0);
      ASSERT_TRUE(waitFor([&] { return link().lines(kUnhealthy, mark) > 0; }));
      aligned = link().lines(kCollisionAhead, mark) > 0;
      // The status of the aligning query may come after its log line: a case
      // that counts statuses from here must not see it.
      if (aligned)
      {
        ASSERT_TRUE(waitFor([&] { return link().statuses.size() > statuses; }));
      }
    }
    ASSERT_TRUE(aligned);
  }
};
std::unique_ptr<MonitorTopics::Setup> MonitorTopics::shared;

// Needs a monitor that has seen no map: runs first.
TEST_F(MonitorTopics, EveryMapIsReportedAndOnlyTheFirstLooksUpThePose)
{
  const octomap_msgs::Octomap wall = wallMap(10.0f);
  const std::string expected = reportOf(wall);
  ASSERT_NE("", expected);

  std::size_t mark = link().logs.size();
  std::string text;
  ASSERT_TRUE(link().sendMap(wall, &text));
  EXPECT_EQ(expected, text);
  std::vector<Log> lines;
  ASSERT_TRUE(lookupLogged(link(), mark, 1, &lines));
  EXPECT_EQ("", lines[1].msg);
  EXPECT_FALSE(link().errorSince(mark));

  mark = link().logs.size();
  ASSERT_TRUE(link().sendMap(wall, &text));
  EXPECT_EQ(expected, text);
  settle();
  EXPECT_EQ(0u, link().lines(kLookup, mark));
}

TEST_F(MonitorTopics, QueriesRunOnTheFifthAndTenthHealthyMessageOnly)
{
  holdWall();
  const std::size_t statuses = link().statuses.size(), debug = link().debug.size();
  const auto unhealthyLines = [&](std::size_t n)
  { return [this, n, mark = link().logs.size()] { return link().lines(kUnhealthy, mark) >= n; }; };

  // Four healthy messages toward the wall, three unhealthy ones: no query.
  auto threeTurnedAway = unhealthyLines(3);
  for (std::uint8_t health : {1, 1, 1, 1, 0, 0, 0})
    link().sendVelocity(1, 0, health);
  ASSERT_TRUE(waitFor(threeTurnedAway));
  settle();
  EXPECT_EQ(statuses, link().statuses.size());

  // The fifth healthy one runs it: the wall 10 m ahead is a collision.
  ASSERT_TRUE(link().refreshMap());
  const std::size_t mark = link().logs.size();
  link().sendVelocity(1, 0, 1);
  ASSERT_TRUE(waitFor(
      [&]
      {
        return link().lines(kCollisionAhead, mark) == 1 && link().statuses.size() == statuses + 1 &&
               link().debug.size() == debug + 1;
      }));

  // Four more and two unhealthy: nothing; the tenth healthy one: the second.
  auto twoTurnedAway = unhealthyLines(2);
  for (std::uint8_t health : {1, 1, 1, 1, 0, 0})
    link().sendVelocity(1, 0, health);
  ASSERT_TRUE(waitFor(twoTurnedAway));
  settle();
  EXPECT_EQ(statuses + 1, link().statuses.size());
  ASSERT_TRUE(link().refreshMap());
  link().sendVelocity(1, 0, 1);
  ASSERT_TRUE(waitFor([&] { return link().statuses.size() > statuses + 1 && link().debug.size() > debug + 1; }));
  settle();

  const std::vector<std_msgs::UInt8> after = link().statuses.all();
  const std::vector<geometry_msgs::Vector3> afterDebug = link().debug.all();
  ASSERT_EQ(statuses + 2, after.size());
  ASSERT_EQ(debug + 2, afterDebug.size());
  for (std::size_t i = 0; i < 2; ++i)
  {
    EXPECT_EQ(1, after[statuses + i].data);
    const geometry_msgs::Vector3& v = afterDebug[debug + i];
    EXPECT_FLOAT_EQ(1.0, v.x);
    EXPECT_EQ(0.0, v.y);
    // The wall cell met by the 4th ray: (10.05, -1.95, +-0.15).
    EXPECT_NEAR(std::sqrt(10.05 * 10.05 + 1.95 * 1.95 + 0.15 * 0.15), v.z, 1e-4);
  }
}

TEST_F(MonitorTopics, SpeedSetsTheLookAheadBetweenFifteenAndTwentyFiveMetres)
{
  holdWall();
  const std::pair<float, double> cases[] = {{0.3f, 15}, {1.0f, 15}, {2.0f, 20}, {2.5f, 25}, {3.0f, 25}};
  for (const auto& c : cases)
  {
    SCOPED_TRACE(c.first);
    // Along +y, parallel to the wall: clear.
    Query query;
    ASSERT_TRUE(link().runQuery(0, c.first, &query));
    EXPECT_EQ(0, query.status);
    EXPECT_FLOAT_EQ(c.first, query.debug.x);
    ASSERT_EQ(60u, query.fan.markers.size());
    expectPoint(query.fan.markers[kAxisRay].points[1], 0, c.second, 0);
    expectPoint(query.fan.markers[0].points[1], 2.4, c.second, -0.9);
    ASSERT_EQ(2u, query.velocity.points.size());
    expectPoint(query.velocity.points[1], 0, c.first, 0);
    EXPECT_EQ(1.0f, query.velocity.color.a);
    expectPoint(query.collision.pose.position, 0, 0, 0);
  }
}

TEST_F(MonitorTopics, SlowFlightProbesAlongTheSticks)
{
  holdWall();
  // 0.25 m/s along +y counts as slow: the probe follows the sticks (full
  // pitch, toward the wall) for 20 m and meets the wall.
  Query query;
  ASSERT_TRUE(link().runQueryWithSticks(0, 10000, 0, 0, 0.25f, &query));
  EXPECT_EQ(1, query.status);
  EXPECT_FLOAT_EQ(0.25, query.debug.x);
  EXPECT_NEAR(3.0, query.debug.y, 1e-5);
  EXPECT_GT(query.debug.z, 10.0);
  ASSERT_EQ(60u, query.fan.markers.size());
  expectPoint(query.fan.markers[kAxisRay].points[1], 20, 0, 0);
  EXPECT_NEAR(10.05, query.collision.pose.position.x, 1e-4);

  // Moving away from the wall is clear, whatever the sticks say.
  ASSERT_TRUE(link().runQuery(-1, 0, &query));
  EXPECT_EQ(0, query.status);
  EXPECT_EQ(0.0, query.debug.z);
  ASSERT_EQ(60u, query.fan.markers.size());
  expectPoint(query.fan.markers[kAxisRay].points[1], -15, 0, 0);
  expectPoint(query.collision.pose.position, 0, 0, 0);
}

TEST_F(MonitorTopics, GarbageVelocityGivesNoStatusAndTheNextValidQueryDoes)
{
  holdWall();
  const std::size_t mark = link().logs.size();
  const float inf = std::numeric_limits<float>::infinity();
  // 1e30 is finite, but its square overflows single precision.
  for (float bad : {std::numeric_limits<float>::quiet_NaN(), inf, -inf, 1e30f})
  {
    SCOPED_TRACE(bad);
    const std::size_t statuses = link().statuses.size();
    ASSERT_TRUE(link().refreshMap());
    for (int i = 0; i < 5; ++i)
      link().sendVelocity(bad, 0, 1);
    // Velocity messages are handled in order: the status of the next query,
    // toward the wall, is the first to come after the refused one.
    Query query;
    ASSERT_TRUE(link().runQuery(1, 0, &query));
    EXPECT_EQ(1, query.status);
    EXPECT_EQ(statuses + 1, link().statuses.size());
  }
  EXPECT_GE(link().refusalsSince(mark), 1u);
}

TEST_F(MonitorTopics, GarbageSticksWhileHoveringGiveNoStatusAndValidSticksQueryAgain)
{
  holdWall();
  // Sticks pulled back, away from the wall: clear.
  Query query;
  ASSERT_TRUE(link().runQueryWithSticks(0, -10000, 0, 0, 0, &query));
  EXPECT_EQ(0, query.status);

  for (float bad : {std::numeric_limits<float>::quiet_NaN(), 1e6f})
  {
    SCOPED_TRACE(bad);
    const std::size_t mark = link().logs.size();
    link().sendSticks(0, bad, 0);
    // The stick message has no output of its own, and the velocity messages
    // of a query may overtake it: a query that still shows the sticks pulled
    // back may give its status. A refused query shows as a Warn line, at most
    // one a second.
    bool refused = false;
    for (int attempt = 0; attempt < 40 && !refused; ++attempt)
    {
      if (link().runQuery(0, 0, &query, 0.25))
      {
        ASSERT_EQ(2u, query.rc.points.size());
        ASSERT_NEAR(-3.0, query.rc.points[1].x, 1e-4) << "a status from garbage sticks";
        continue;
      }
      refused = link().refusalsSince(mark) > 0;
    }
    ASSERT_TRUE(refused);

    // Full pitch toward the wall: a status again.
    ASSERT_TRUE(link().runQueryWithSticks(0, 10000, 0, 0, 0, &query, 1.0));
    EXPECT_EQ(1, query.status);
    ASSERT_TRUE(link().runQueryWithSticks(0, -10000, 0, 0, 0, &query));
  }
}

TEST_F(MonitorTopics, UnusableMapsStopTheQueriesAndTheNodeKeepsRunning)
{
  holdWall();
  const std::size_t statuses = link().statuses.size();
  const octomap_msgs::Octomap wall = wallMap(10.0f);

  octomap::ColorOcTree color(0.3);
  color.updateNode(octomap::point3d(10.0f, 0.0f, 0.0f), true);
  std::vector<octomap_msgs::Octomap> unusable(1);
  ASSERT_TRUE(octomap_msgs::binaryMapToMsg(color, unusable[0]));
  ASSERT_EQ("ColorOcTree", unusable[0].id);
  const auto variant = [&](const std::function<void(octomap_msgs::Octomap&)>& change)
  {
    unusable.push_back(wall);
    change(unusable.back());
  };
  variant(
      [](octomap_msgs::Octomap& m)
      {
        std::mt19937 random(7);
        for (auto& byte : m.data)
          byte = static_cast<int8_t>(random());
      });
  variant([](octomap_msgs::Octomap& m) { m.data.resize(m.data.size() / 2); });
  variant([](octomap_msgs::Octomap& m) { m.resolution = std::numeric_limits<double>::quiet_NaN(); });
  variant([](octomap_msgs::Octomap& m) { m.resolution = -0.3; });
  variant([](octomap_msgs::Octomap& m) { m.resolution = 0.0; });
  // Finite, but a tree that cannot reach 25 m or a voxel wider than the fan.
  for (double resolution : {1e-300, 0.99 * 25.0 / 32768, 10.01, 1e300})
    variant([resolution](octomap_msgs::Octomap& m) { m.resolution = resolution; });
  variant([](octomap_msgs::Octomap& m) { m.id = "NoSuchTree"; });
  variant([](octomap_msgs::Octomap& m) { m.binary = false; });

  for (std::size_t i = 0; i < unusable.size(); ++i)
  {
    SCOPED_TRACE(i);
    std::string text = "not received";
    ASSERT_TRUE(link().sendMap(unusable[i], &text));
    EXPECT_EQ("", text);
    // No usable map: healthy messages are turned away and count for nothing.
    const std::size_t mark = link().logs.size();
    for (int k = 0; k < 3; ++k)
      link().sendVelocity(1, 0, 1);
    ASSERT_TRUE(waitFor([&] { return link().lines(kUnhealthy, mark) >= 3; }));
  }
  settle();
  EXPECT_EQ(statuses, link().statuses.size());

  // Still running: a good map is taken and the next five messages query it.
  std::string text;
  ASSERT_TRUE(link().sendMap(wall, &text));
  EXPECT_EQ(reportOf(wall), text);
  Query query;
  ASSERT_TRUE(link().runQuery(1, 0, &query));
  EXPECT_EQ(1, query.status);
}

TEST_F(MonitorTopics, AMapThatStopsGivesNoVerdictAfterHalfASecondAndAFreshOneBringsThemBack)
{
  holdWall();
  Query query;
  ASSERT_TRUE(link().runQuery(0, 1, &query));  // along the wall: clear
  ASSERT_EQ(0, query.status);

  // No map comes any more: queries go on (clear ones at first) until the map
  // is older than the bound, then the monitor says so and gives no verdict.
  const std::size_t mark = link().logs.size();
  ASSERT_TRUE(waitFor(
      [&]
      {
        for (int i = 0; i < 5; ++i)
          link().sendVelocity(0, 1, 1);
        return waitFor([&] { return link().staleMapWarningsSince(mark) > 0; }, 0.1);
      }));
  settle();  // statuses sent before the warning have arrived
  const std::size_t statuses = link().statuses.size();
  for (int query = 0; query < 3; ++query)
  {
    const std::size_t before = link().logs.size();
    for (int i = 0; i < 5; ++i)
      link().sendVelocity(0, 1, 1);
    link().sendVelocity(0, 1, 0);  // its line follows the query's outputs
    ASSERT_TRUE(waitFor([&] { return link().lines(kUnhealthy, before) > 0; }));
  }
  settle();
  EXPECT_EQ(statuses, link().statuses.size()) << "a verdict from a stale map";

  // A fresh map: verdicts again, the wall ahead included.
  ASSERT_TRUE(link().runQuery(0, 1, &query));
  EXPECT_EQ(0, query.status);
  ASSERT_TRUE(link().runQuery(1, 0, &query));
  EXPECT_EQ(1, query.status);
}

// ---------------------------------------------------------------------------
// A detector hosted in this process: its messages reach subscribers here
// without a network hop, in the order it publishes them.

namespace
{
template <class M>
ros::Subscriber noteArrival(ros::NodeHandle& nh, const std::string& topic, const std::string& name,
                            std::vector<std::string>* order)
{
  boost::function<void(const boost::shared_ptr<const M>&)> callback = [name, order](const boost::shared_ptr<const M>&)
  { order->push_back(name); };
  return nh.subscribe<M>(topic, 10, callback);
}
}  // namespace

TEST(InProcess, OneQuerySendsStatusRaysSphereVelocityStickAndDebugInThatOrder)
{
  DronePoseBroadcaster pose;
  pose.start();
  CollisionDetector detector;
  ros::NodeHandle nh;
  std::vector<std::string> order;
  std::uint8_t status = 255;
  boost::function<void(const std_msgs::UInt8::ConstPtr&)> onStatus = [&](const std_msgs::UInt8::ConstPtr& m)
  {
    order.push_back("status");
    status = m->data;
  };
  const std::vector<ros::Subscriber> subs{
      nh.subscribe<std_msgs::UInt8>("collision_info_msg", 10, onStatus),
      noteArrival<visualization_msgs::MarkerArray>(nh, "zyr_collision_avoidance/raycast_marker_array", "rays", &order),
      noteArrival<visualization_msgs::Marker>(nh, "zyr_collision_avoidance/collision_marker", "sphere", &order),
      noteArrival<visualization_msgs::Marker>(nh, "zyr_collision_avoidance/velocity_marker", "velocity", &order),
      noteArrival<visualization_msgs::Marker>(nh, "zyr_collision_avoidance/rc_marker", "stick", &order),
      noteArrival<geometry_msgs::Vector3>(nh, "zyr_collision_avoidance/debug_collision_msg", "debug", &order)};
  for (const auto& sub : subs)
    ASSERT_EQ(1u, sub.getNumPublishers()) << sub.getTopic();

  // Two maps in a row: the first is replaced (and freed) by the second.
  detector.octomapCallback(boost::make_shared<octomap_msgs::Octomap>(emptyMap()));
  detector.octomapCallback(boost::make_shared<octomap_msgs::Octomap>(wallMap(10.0f)));
  auto velocity = boost::make_shared<zyr_sdk::Velocity>();
  velocity->vx = 1.0f;
  velocity->health_flag = 1;
  for (int i = 0; i < 5; ++i)
    detector.velCallback_ver2(velocity);
  ros::spinOnce();

  EXPECT_EQ((std::vector<std::string>{"status", "rays", "sphere", "velocity", "stick", "debug"}), order);
  EXPECT_EQ(1, status);
}

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  ros::init(argc, argv, "collision_monitor_test");
  ros::NodeHandle keepAlive;
  const int result = RUN_ALL_TESTS();
  MonitorTopics::shared.reset();
  return result;
}
