// The collision monitor on a live ROS graph. The MonitorStartup and
// MonitorTopics suites drive a monitor node that rostest starts, through its
// topics only: tf for "world" -> "drone", octomap, velocity and stick messages
// in; status, debug topics, markers and /rosout lines out. The InProcess suite
// hosts a detector in this process, where the order of its outputs can be seen.
#include <geometry_msgs/TransformStamped.h>
#include <geometry_msgs/Vector3.h>
#include <gtest/gtest.h>
#include <octomap/ColorOcTree.h>
#include <octomap_msgs/conversions.h>
#include <ros/callback_queue.h>
#include <ros/ros.h>
#include <std_msgs/String.h>
#include <std_msgs/UInt8.h>
#include <tf2_msgs/TFMessage.h>
#include <visualization_msgs/Marker.h>
#include <visualization_msgs/MarkerArray.h>
#include <zyr_sdk/RCChannels.h>
#include <zyr_sdk/Velocity.h>

#include <array>
#include <atomic>
#include <boost/function.hpp>
#include <boost/make_shared.hpp>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "zyr_collision_avoidance/cloud_insertion.h"
#include "zyr_collision_avoidance/collision_monitor.h"
#include "zyr_test_support/inbox.h"

using test_support::Inbox;
using test_support::lineIs;
using test_support::Log;
using test_support::settle;
using test_support::waitFor;

namespace
{
// The name under which the .test files start the monitor.
const char kMonitorNode[] = "/collision_monitor";
const char kUnhealthy[] = "velocity unhealthy!";
const char kLookup[] = "In getDroneOrigin";
const char kCollisionAhead[] = "Collision Forward in Distance 10.24!";  // the wall of wallMap(10)
// Index of the ray from the origin straight along the heading (column 5, row 3).
const int kAxisRay = 33;

// Publishes "world" -> "drone" as the identity 50 times a second, as the
// outside tf broadcaster does for an aircraft at the world origin.
class DronePoseBroadcaster
{
public:
  ~DronePoseBroadcaster()
  {
    stop();
  }
  void start()
  {
    if (running_.exchange(true))
      return;
    publisher_ = ros::NodeHandle().advertise<tf2_msgs::TFMessage>("/tf", 100);
    thread_ = std::thread(
        [this]
        {
          while (running_ && ros::ok())
          {
            tf2_msgs::TFMessage msg;
            geometry_msgs::TransformStamped transform;
            transform.header.stamp = ros::Time::now();
            transform.header.frame_id = "world";
            transform.child_frame_id = "drone";
            transform.transform.rotation.w = 1.0;
            msg.transforms.push_back(transform);
            publisher_.publish(msg);
            ++published_;
            ros::WallDuration(0.02).sleep();
          }
        });
  }
  // Waits until a tf listener is linked and a few transforms have gone out
  // since, so that a lookup at the current time finds data before it.
  bool waitForListener()
  {
    if (!waitFor([this] { return publisher_.getNumSubscribers() > 0; }, 20.0))
      return false;
    const int linked = published_;
    return waitFor([&] { return published_ >= linked + 5; });
  }
  void stop()
  {
    running_ = false;
    if (thread_.joinable())
      thread_.join();
    publisher_.shutdown();
  }

private:
  std::atomic<bool> running_{false};
  std::atomic<int> published_{0};
  ros::Publisher publisher_;
  std::thread thread_;
};

octomap_msgs::Octomap toMsg(const octomap::OcTree& tree)
{
  octomap_msgs::Octomap msg;
  EXPECT_TRUE(octomap_msgs::binaryMapToMsg(tree, msg));
  msg.header.frame_id = "world";
  return msg;
}

// A tree of the mapper's holding a wall across x = `x`, |y| <= 4, |z| <= 2;
// an empty tree for x <= 0.
octomap_msgs::Octomap wallMap(float x)
{
  std::unique_ptr<octomap::OcTree> tree(occupancy_mapping::newSensorModelTree());
  if (x > 0)
    for (float y = -4.0f; y <= 4.0f; y += 0.1f)
      for (float z = -2.0f; z <= 2.0f; z += 0.1f)
        tree->updateNode(octomap::point3d(x, y, z), true, false);
  tree->updateInnerOccupancy();
  return toMsg(*tree);
}

octomap_msgs::Octomap emptyMap()
{
  return wallMap(0.0f);
}

std::string reportOf(const octomap_msgs::Octomap& msg)
{
  std::unique_ptr<octomap::AbstractOcTree> tree(octomap_msgs::msgToMap(msg));
  return tree ? "OcTree created -- Tree Size=" + std::to_string(tree->size()) + ", Resolution=0.3" : "";
}

void expectPoint(const geometry_msgs::Point& p, double x, double y, double z)
{
  EXPECT_NEAR(x, p.x, 1e-4) << "(" << p.x << ", " << p.y << ", " << p.z << ")";
  EXPECT_NEAR(y, p.y, 1e-4) << "(" << p.x << ", " << p.y << ", " << p.z << ")";
  EXPECT_NEAR(z, p.z, 1e-4) << "(" << p.x << ", " << p.y << ", " << p.z << ")";
}

// Everything one forward query sends out.
struct Query
{
  std::uint8_t status = 255;
  geometry_msgs::Vector3 debug;
  visualization_msgs::MarkerArray fan;
  visualization_msgs::Marker collision, velocity, rc;
};

// The test's side of the monitor's topics. A spinner thread of its own
// records what arrives; the test thread waits on it.
class MonitorLink
{
public:
  MonitorLink() : spinner_(1, &queue_)
  {
    nh_.setCallbackQueue(&queue_);
    velocityPub_ = nh_.advertise<zyr_sdk::Velocity>("zyr_sdk/velocity", 100);
    rcPub_ = nh_.advertise<zyr_sdk::RCChannels>("zyr_sdk/rc_channels", 100);
    octomapPub_ = nh_.advertise<octomap_msgs::Octomap>("zyr_collision_avoidance/octomap_binary", 5);
    statuses.subscribe(nh_, "collision_info_msg");
    texts.subscribe(nh_, "zyr_collision_avoidance/debug_query_msg");
    debug.subscribe(nh_, "zyr_collision_avoidance/debug_collision_msg");
    fans.subscribe(nh_, "zyr_collision_avoidance/raycast_marker_array");
    collision.subscribe(nh_, "zyr_collision_avoidance/collision_marker");
    velocity.subscribe(nh_, "zyr_collision_avoidance/velocity_marker");
    rc.subscribe(nh_, "zyr_collision_avoidance/rc_marker");
    logs.subscribe(nh_, "/rosout", test_support::fromNode(kMonitorNode));
    spinner_.start();
  }
  ~MonitorLink()
  {
    spinner_.stop();  // before the inboxes go away
  }
  MonitorLink(const MonitorLink&) = delete;
  MonitorLink& operator=(const MonitorLink&) = delete;

  // Waits until every topic is connected both ways, then until the monitor
  // answers a velocity message without a usable map with its log line, which
  // proves the /rosout connection too.
  bool connect()
  {
    const auto linked = [this]
    {
      bool all = velocityPub_.getNumSubscribers() && rcPub_.getNumSubscribers() && octomapPub_.getNumSubscribers();
      for (const ros::Subscriber* sub :
           {&statuses.subscriber(), &texts.subscriber(), &debug.subscriber(), &fans.subscriber(),
            &collision.subscriber(), &velocity.subscriber(), &rc.subscriber()})
        all = all && sub->getNumPublishers();
      return all;
    };
    return waitFor(linked, 30.0) && waitFor(
                                        [this]
                                        {
                                          const std::size_t mark = logs.size();
                                          sendVelocity(0, 0, 0);
                                          return logs.waitForMatch(lineIs(kUnhealthy), nullptr, mark, 0.5);
                                        },
                                        20.0);
  }

  void sendVelocity(float vx, float vy, std::uint8_t health)
  {
    zyr_sdk::Velocity msg;
    msg.header.stamp = ros::Time::now();
    msg.vx = vx;
    msg.vy = vy;
    msg.health_flag = health;
    velocityPub_.publish(msg);
  }

  void sendSticks(float roll, float pitch, float throttle)
  {
    zyr_sdk::RCChannels msg;
    msg.header.stamp = ros::Time::now();
    msg.roll = roll;
    msg.pitch = pitch;
    msg.throttle = throttle;
    rcPub_.publish(msg);
  }

  // Sends one octomap message; `text` receives what the monitor reports.
  ::testing::AssertionResult sendMap(const octomap_msgs::Octomap& msg, std::string* text)
  {
    lastMap_ = msg;
    mapSent_ = true;
    const std::size_t before = texts.size();
    octomapPub_.publish(msg);
    if (!texts.waitForCount(before + 1, 15.0))
      return ::testing::AssertionFailure() << "no debug_query_msg for an octomap message";
    *text = texts.back().data;
    return ::testing::AssertionSuccess();
  }

  // Sends the last map again, as the mapper keeps sending maps: the monitor
  // gives no verdict from a map it received more than half a second ago.
  ::testing::AssertionResult refreshMap()
  {
    std::string text;
    return mapSent_ ? sendMap(lastMap_, &text) : ::testing::AssertionSuccess();
  }

  // Five healthy velocity messages, the rhythm of one query, right after a
  // fresh copy of the map, and what that query sends out within `patience`
  // seconds.
  ::testing::AssertionResult runQuery(float vx, float vy, Query* query, double patience = test_support::kWait)
  {
    const ::testing::AssertionResult refreshed = refreshMap();
    if (!refreshed)
      return refreshed;
    const std::array<std::size_t, 6> before = outputs();
    for (int i = 0; i < 5; ++i)
      sendVelocity(vx, vy, 1);
    const auto grown = [&]
    {
      const std::array<std::size_t, 6> now = outputs();
      for (std::size_t i = 0; i < now.size(); ++i)
        if (now[i] <= before[i])
          return false;
      return true;
    };
    if (!waitFor(grown, patience))
      return ::testing::AssertionFailure() << "the query's outputs did not all arrive";
    if (statuses.size() != before[0] + 1)
      return ::testing::AssertionFailure() << "more than one query ran";
    *query = Query{statuses.back().data, debug.back(), fans.back(), collision.back(), velocity.back(), rc.back()};
    return ::testing::AssertionSuccess();
  }

  // Sends the sticks, then queries at (vx, vy) until a query shows them: a
  // stick message has no output of its own, and the velocity messages of a
  // query may overtake it. With the identity pose the stick arrow ends at the
  // horizontal part of the sticks' point. A query that overtakes sticks sent
  // after garbage ones gives no output at all: with `patience` shorter than
  // the whole wait it is given up after that long and tried again.
  ::testing::AssertionResult runQueryWithSticks(float roll, float pitch, float throttle, float vx, float vy,
                                                Query* query, double patience = test_support::kWait)
  {
    sendSticks(roll, pitch, throttle);
    const Eigen::Vector3f stick = collision_probe::stickPointInBody(roll, pitch, throttle);
    ::testing::AssertionResult ran = ::testing::AssertionSuccess();
    const bool shown = waitFor(
        [&]
        {
          ran = runQuery(vx, vy, query, patience);
          return ran && query->rc.points.size() == 2 && std::abs(query->rc.points[1].x - stick.x()) < 1e-4 &&
                 std::abs(query->rc.points[1].y - stick.y()) < 1e-4;
        });
    if (shown)
      return ::testing::AssertionSuccess();
    return ran ? ::testing::AssertionFailure() << "no query showed the sticks" : ran;
  }

  std::size_t lines(const std::string& text, std::size_t from) const
  {
    return logs.count(lineIs(text), from);
  }
  bool errorSince(std::size_t from) const
  {
    return logs.count(test_support::levelAtLeast(Log::ERROR), from) > 0;
  }
  // Warn lines about a query that could not be made.
  std::size_t refusalsSince(std::size_t from) const
  {
    return warningsSince("no collision status", from);
  }
  std::size_t staleMapWarningsSince(std::size_t from) const
  {
    return warningsSince("no verdict from a stale map", from);
  }

private:
  std::size_t warningsSince(const std::string& text, std::size_t from) const
  {
    return logs.count([&text](const Log& l) { return l.level == Log::WARN && l.msg.find(text) != std::string::npos; },
                      from);
  }

  std::array<std::size_t, 6> outputs() const
  {
    return {statuses.size(), debug.size(), fans.size(), collision.size(), velocity.size(), rc.size()};
  }

  ros::CallbackQueue queue_;
  ros::NodeHandle nh_;
  ros::AsyncSpinner spinner_;
  ros::Publisher velocityPub_, rcPub_, octomapPub_;
  octomap_msgs::Octomap lastMap_;
  bool mapSent_ = false;

public:
  // What the test has received from the monitor so far.
  Inbox<std_msgs::UInt8> statuses;
  Inbox<std_msgs::String> texts;
  Inbox<geometry_msgs::Vector3> debug;
  Inbox<visualization_msgs::MarkerArray> fans;
  Inbox<visualization_msgs::Marker> collision, velocity, rc;
  Inbox<Log> logs;  // the monitor's own lines only
};

// The lines of one pose lookup from `mark` on: "In getDroneOrigin" and the
// `after` lines that follow it.
::testing::AssertionResult lookupLogged(MonitorLink& link, std::size_t mark, std::size_t after, std::vector<Log>* lines)
{
  if (!waitFor([&] { return link.logs.find(lineIs(kLookup), mark) + after < link.logs.size(); }))
    return ::testing::AssertionFailure() << "no pose lookup logged";
  const std::vector<Log> all = link.logs.all();
  const auto first = all.begin() + link.logs.find(lineIs(kLookup), mark);
  lines->assign(first, first + after + 1);
  return ::testing::AssertionSuccess();
}
}  // namespace

// ---------------------------------------------------------------------------
// A fresh monitor while no transform is published yet.

TEST(MonitorStartup, SticksCountOnlyOnceThePoseIsKnown)
{
  MonitorLink link;
  ASSERT_TRUE(link.connect());
  DronePoseBroadcaster pose;
  const std::string emptyReport = "OcTree created -- Tree Size=0, Resolution=0.3";

  // Full pitch while the pose is unknown: to be ignored. The first map below
  // holds the monitor in its 3 s lookup, long after the sticks are handled.
  link.sendSticks(0, 10000, 0);

  // The first map, still without a transform: the lookup waits its 3 s, logs
  // the wait's error text and the lookup's exception, then the map is reported.
  std::size_t mark = link.logs.size();
  const ros::WallTime sent = ros::WallTime::now();
  std::string text;
  ASSERT_TRUE(link.sendMap(emptyMap(), &text));
  EXPECT_GE((ros::WallTime::now() - sent).toSec(), 2.5);
  EXPECT_EQ(emptyReport, text);
  std::vector<Log> lines;
  ASSERT_TRUE(lookupLogged(link, mark, 2, &lines));
  EXPECT_EQ(Log::INFO, lines[0].level);
  EXPECT_EQ(Log::INFO, lines[1].level);
  EXPECT_NE("", lines[1].msg);
  EXPECT_EQ(Log::ERROR, lines[2].level);
  EXPECT_NE("", lines[2].msg);

  // Transform published: the next map finds the pose, an empty line, no error.
  pose.start();
  ASSERT_TRUE(pose.waitForListener());
  mark = link.logs.size();
  ASSERT_TRUE(link.sendMap(emptyMap(), &text));
  EXPECT_EQ(emptyReport, text);
  ASSERT_TRUE(lookupLogged(link, mark, 1, &lines));
  EXPECT_EQ(Log::INFO, lines[1].level);
  EXPECT_EQ("", lines[1].msg);

  // Once found, the pose is not looked up again.
  mark = link.logs.size();
  ASSERT_TRUE(link.sendMap(emptyMap(), &text));
  settle();
  EXPECT_EQ(0u, link.lines(kLookup, mark));
  EXPECT_FALSE(link.errorSince(mark));

  // At rest the stick vector is still zero, as the early pitch did not count:
  // nothing is cast and the fan is cleared.
  Query query;
  ASSERT_TRUE(link.runQuery(0, 0, &query));
  EXPECT_EQ(0, query.status);
  EXPECT_EQ(0.0, query.debug.x);
  EXPECT_EQ(0.0, query.debug.y);
  EXPECT_EQ(0.0, query.debug.z);
  ASSERT_EQ(1u, query.fan.markers.size());
  EXPECT_EQ(visualization_msgs::Marker::DELETEALL, query.fan.markers[0].action);
  EXPECT_EQ(0.0f, query.rc.color.a);
  EXPECT_EQ(visualization_msgs::Marker::DELETE, query.rc.action);

  // Full pitch now, identity transform: 3 along +x, probed for 20 m.
  ASSERT_TRUE(link.runQueryWithSticks(0, 10000, 0, 0, 0, &query));
  EXPECT_EQ(0, query.status);
  EXPECT_NEAR(3.0, query.debug.y, 1e-5);
  ASSERT_EQ(60u, query.fan.markers.size());
  expectPoint(query.fan.markers[kAxisRay].points[0], 0, 0, 0);
  expectPoint(query.fan.markers[kAxisRay].points[1], 20, 0, 0);
  expectPoint(query.fan.markers[0].points[1], 20, -2.4, -0.9);
  ASSERT_EQ(2u, query.rc.points.size());
  expectPoint(query.rc.points[1], 3, 0, 0);
  EXPECT_EQ(1.0f, query.rc.color.a);

  // Full roll probes sideways; full throttle alone leaves nothing horizontal.
  ASSERT_TRUE(link.runQueryWithSticks(10000, 0, 0, 0, 0, &query));
  ASSERT_EQ(60u, query.fan.markers.size());
  expectPoint(query.fan.markers[kAxisRay].points[1], 0, 20, 0);
  ASSERT_TRUE(link.runQueryWithSticks(0, 0, 10000, 0, 0, &query));
  EXPECT_EQ(0.0, query.debug.y);
  ASSERT_EQ(1u, query.fan.markers.size());
  EXPECT_EQ(visualization_msgs::Marker::DELETEALL, query.fan.markers[0].action);

  // The transform stops: a stick message cannot be brought into "world", is
  // reported and leaves the last stick vector (full roll) in use.
  ASSERT_TRUE(link.runQueryWithSticks(10000, 0, 0, 0, 0, &query));
  pose.stop();
  mark = link.logs.size();
  link.sendSticks(0, 10000, 0);
  ASSERT_TRUE(waitFor([&] { return link.errorSince(mark); }));
  const Log error = link.logs.back();
  EXPECT_EQ(0u, error.msg.find("Transform error of sensor data: ")) << error.msg;
  EXPECT_EQ(error.msg.size() - 19, error.msg.rfind(", quitting callback")) << error.msg;
  ASSERT_TRUE(link.runQuery(0, 0, &query));
  ASSERT_EQ(60u, query.fan.markers.size());
  expectPoint(query.fan.markers[kAxisRay].points[1], 0, 20, 0);
}

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
      const std::size_t mark = link().logs.size();
      link().sendVelocity(1, 0, 1);
      link().sendVelocity(1, 0, 0);
      ASSERT_TRUE(waitFor([&] { return link().lines(kUnhealthy, mark) > 0; }));
      aligned = link().lines(kCollisionAhead, mark) > 0;
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
