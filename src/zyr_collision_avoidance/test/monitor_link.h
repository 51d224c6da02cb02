// The test's side of a collision monitor on a live ROS graph: a tf
// broadcaster for "world" -> "drone", octomap messages of the mapper's kind,
// and a link that feeds the monitor's topics and records what comes out.
#ifndef ZYR_COLLISION_AVOIDANCE_TEST_MONITOR_LINK_H
#define ZYR_COLLISION_AVOIDANCE_TEST_MONITOR_LINK_H

#include <geometry_msgs/TransformStamped.h>
#include <geometry_msgs/Vector3.h>
#include <gtest/gtest.h>
#include <octomap/OcTree.h>
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
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "zyr_collision_avoidance/cloud_insertion.h"
#include "zyr_collision_avoidance/collision_probe.h"
#include "zyr_test_support/inbox.h"

namespace monitor_test
{
using test_support::Inbox;
using test_support::lineIs;
using test_support::Log;
using test_support::settle;
using test_support::waitFor;

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

inline octomap_msgs::Octomap toMsg(const octomap::OcTree& tree)
{
  octomap_msgs::Octomap msg;
  EXPECT_TRUE(octomap_msgs::binaryMapToMsg(tree, msg));
  msg.header.frame_id = "world";
  return msg;
}

// A tree of the mapper's holding a wall across x = `x`, |y| <= 4, |z| <= 2;
// an empty tree for x <= 0.
inline octomap_msgs::Octomap wallMap(float x)
{
  std::unique_ptr<octomap::OcTree> tree(occupancy_mapping::newSensorModelTree());
  if (x > 0)
    for (float y = -4.0f; y <= 4.0f; y += 0.1f)
      for (float z = -2.0f; z <= 2.0f; z += 0.1f)
        tree->updateNode(octomap::point3d(x, y, z), true, false);
  tree->updateInnerOccupancy();
  return toMsg(*tree);
}

inline octomap_msgs::Octomap emptyMap()
{
  return wallMap(0.0f);
}

inline std::string reportOf(const octomap_msgs::Octomap& msg)
{
  std::unique_ptr<octomap::AbstractOcTree> tree(octomap_msgs::msgToMap(msg));
  return tree ? "OcTree created -- Tree Size=" + std::to_string(tree->size()) + ", Resolution=0.3" : "";
}

inline void expectPoint(const geometry_msgs::Point& p, double x, double y, double z)
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
inline ::testing::AssertionResult lookupLogged(MonitorLink& link, std::size_t mark, std::size_t after,
                                               std::vector<Log>* lines)
{
  if (!waitFor([&] { return link.logs.find(lineIs(kLookup), mark) + after < link.logs.size(); }))
    return ::testing::AssertionFailure() << "no pose lookup logged";
  const std::vector<Log> all = link.logs.all();
  const auto first = all.begin() + link.logs.find(lineIs(kLookup), mark);
  lines->assign(first, first + after + 1);
  return ::testing::AssertionSuccess();
}
}  // namespace monitor_test

#endif  // ZYR_COLLISION_AVOIDANCE_TEST_MONITOR_LINK_H
