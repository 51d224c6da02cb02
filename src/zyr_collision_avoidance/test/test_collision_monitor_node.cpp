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
#include <rosgraph_msgs/Log.h>
#include <std_msgs/String.h>
#include <std_msgs/UInt8.h>
#include <tf2_msgs/TFMessage.h>
#include <visualization_msgs/Marker.h>
#include <visualization_msgs/MarkerArray.h>
#include <zyr_sdk/RCChannels.h>
#include <zyr_sdk/Velocity.h>

#include <atomic>
#include <boost/function.hpp>
#include <boost/make_shared.hpp>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "zyr_collision_avoidance/collision_monitor.h"

namespace
{
// The name under which the .test files start the monitor.
const char kMonitorNode[] = "/collision_monitor";
const char kUnhealthy[] = "velocity unhealthy!";
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
            ros::WallDuration(0.02).sleep();
          }
        });
  }
  // Waits until a tf listener receives the transforms and has held them for
  // a while, so that a lookup at the current time finds data before it.
  bool waitForListener()
  {
    const ros::WallTime deadline = ros::WallTime::now() + ros::WallDuration(20.0);
    while (publisher_.getNumSubscribers() == 0)
    {
      if (ros::WallTime::now() > deadline)
        return false;
      ros::WallDuration(0.02).sleep();
    }
    ros::WallDuration(0.3).sleep();
    return true;
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

// A tree with the mapper's settings holding a wall across x = `x`, |y| <= 4,
// |z| <= 2; an empty tree for x <= 0.
octomap_msgs::Octomap wallMap(float x)
{
  octomap::OcTree tree(0.3);
  tree.setProbHit(0.7);
  tree.setProbMiss(0.4);
  tree.setClampingThresMin(0.12);
  tree.setClampingThresMax(0.97);
  if (x > 0)
    for (float y = -4.0f; y <= 4.0f; y += 0.1f)
      for (float z = -2.0f; z <= 2.0f; z += 0.1f)
        tree.updateNode(octomap::point3d(x, y, z), true, false);
  tree.updateInnerOccupancy();
  return toMsg(tree);
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
  visualization_msgs::Marker collision;
  visualization_msgs::Marker velocity;
  visualization_msgs::Marker rc;
};

// The test's side of the monitor's topics. Incoming messages are recorded by
// a spinner thread on a queue of its own; the test thread waits on them.
class MonitorLink
{
public:
  MonitorLink(const MonitorLink&) = delete;
  MonitorLink& operator=(const MonitorLink&) = delete;
  ~MonitorLink()
  {
    // No recording callback may run while the members below go away.
    spinner_.stop();
  }

  MonitorLink() : spinner_(1, &queue_)
  {
    nh_.setCallbackQueue(&queue_);
    velocityPub_ = nh_.advertise<zyr_sdk::Velocity>("zyr_sdk/velocity", 100);
    rcPub_ = nh_.advertise<zyr_sdk::RCChannels>("zyr_sdk/rc_channels", 100);
    octomapPub_ = nh_.advertise<octomap_msgs::Octomap>("zyr_collision_avoidance/octomap_binary", 5);
    subs_.push_back(record("collision_info_msg", &statuses_));
    subs_.push_back(record("zyr_collision_avoidance/debug_query_msg", &texts_));
    subs_.push_back(record("zyr_collision_avoidance/debug_collision_msg", &debug_));
    subs_.push_back(record("zyr_collision_avoidance/raycast_marker_array", &fans_));
    subs_.push_back(record("zyr_collision_avoidance/collision_marker", &collisionMarkers_));
    subs_.push_back(record("zyr_collision_avoidance/velocity_marker", &velocityMarkers_));
    subs_.push_back(record("zyr_collision_avoidance/rc_marker", &rcMarkers_));
    rosoutSub_ = nh_.subscribe("/rosout", 1000, &MonitorLink::onLog, this);
    spinner_.start();
  }

  // Waits until every topic is connected both ways, then until the monitor
  // answers a velocity message without a usable map with its log line, which
  // also proves the /rosout connection.
  bool connect()
  {
    const ros::WallTime deadline = ros::WallTime::now() + ros::WallDuration(30.0);
    while (!linked())
    {
      if (ros::WallTime::now() > deadline)
        return false;
      ros::WallDuration(0.05).sleep();
    }
    for (int attempt = 0; attempt < 40; ++attempt)
    {
      const std::size_t mark = logCount();
      sendVelocity(0, 0, 0, 0);
      if (waitFor([&] { return countLocked(mark, kUnhealthy) > 0; }, 0.5))
        return true;
    }
    return false;
  }

  void sendVelocity(float vx, float vy, float vz, std::uint8_t health)
  {
    zyr_sdk::Velocity msg;
    msg.header.stamp = ros::Time::now();
    msg.vx = vx;
    msg.vy = vy;
    msg.vz = vz;
    msg.health_flag = health;
    velocityPub_.publish(msg);
  }

  // Sends a stick message and gives it time to be handled before anything
  // sent later on another topic.
  void sendSticks(float roll, float pitch, float throttle)
  {
    zyr_sdk::RCChannels msg;
    msg.header.stamp = ros::Time::now();
    msg.roll = roll;
    msg.pitch = pitch;
    msg.throttle = throttle;
    rcPub_.publish(msg);
    ros::WallDuration(0.3).sleep();
  }

  // Sends one octomap message and returns the text the monitor reports for it.
  ::testing::AssertionResult sendMap(const octomap_msgs::Octomap& msg, std::string* text)
  {
    const std::size_t before = size(texts_);
    octomapPub_.publish(msg);
    if (!waitFor([&] { return texts_.size() > before; }, 15.0))
      return ::testing::AssertionFailure() << "no debug_query_msg for an octomap message";
    std::lock_guard<std::mutex> lock(mutex_);
    *text = texts_.back().data;
    return ::testing::AssertionSuccess();
  }

  // Sends five healthy velocity messages, the rhythm of one query, and
  // collects what that query sends out.
  ::testing::AssertionResult runQuery(float vx, float vy, Query* query)
  {
    const std::size_t statuses = size(statuses_), debug = size(debug_), fans = size(fans_),
                      collisions = size(collisionMarkers_), velocities = size(velocityMarkers_), rcs = size(rcMarkers_);
    for (int i = 0; i < 5; ++i)
      sendVelocity(vx, vy, 0, 1);
    const bool complete = waitFor(
        [&]
        {
          return statuses_.size() > statuses && debug_.size() > debug && fans_.size() > fans &&
                 collisionMarkers_.size() > collisions && velocityMarkers_.size() > velocities &&
                 rcMarkers_.size() > rcs;
        },
        10.0);
    if (!complete)
      return ::testing::AssertionFailure() << "the query's outputs did not all arrive";
    std::lock_guard<std::mutex> lock(mutex_);
    if (statuses_.size() != statuses + 1 || debug_.size() != debug + 1)
      return ::testing::AssertionFailure() << "more than one query ran";
    query->status = statuses_.back().data;
    query->debug = debug_.back();
    query->fan = fans_.back();
    query->collision = collisionMarkers_.back();
    query->velocity = velocityMarkers_.back();
    query->rc = rcMarkers_.back();
    return ::testing::AssertionSuccess();
  }

  template <class Pred>
  bool waitFor(Pred done, double seconds)
  {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds), done);
  }

  std::size_t logCount()
  {
    return size(logs_);
  }
  // The *Locked accessors are for the predicates of waitFor, which hold the lock.
  std::size_t logCountLocked() const
  {
    return logs_.size();
  }
  std::size_t statusCountLocked() const
  {
    return statuses_.size();
  }
  std::size_t debugCountLocked() const
  {
    return debug_.size();
  }
  // How many of the monitor's log lines from index `mark` on read `text`.
  std::size_t countLocked(std::size_t mark, const std::string& text) const
  {
    std::size_t n = 0;
    for (std::size_t i = mark; i < logs_.size(); ++i)
      n += logs_[i].msg == text;
    return n;
  }
  std::size_t count(std::size_t mark, const std::string& text)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return countLocked(mark, text);
  }
  std::vector<rosgraph_msgs::Log> logsSince(std::size_t mark)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::vector<rosgraph_msgs::Log>(logs_.begin() + mark, logs_.end());
  }
  bool waitForLogs(std::size_t mark, const std::string& text, std::size_t n)
  {
    return waitFor([&] { return countLocked(mark, text) >= n; }, 10.0);
  }
  std::size_t statusCount()
  {
    return size(statuses_);
  }
  std::size_t debugCount()
  {
    return size(debug_);
  }
  std::vector<std_msgs::UInt8> statuses()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return statuses_;
  }
  std::vector<geometry_msgs::Vector3> debugVectors()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return debug_;
  }

private:
  template <class M>
  ros::Subscriber record(const std::string& topic, std::vector<M>* into)
  {
    boost::function<void(const boost::shared_ptr<const M>&)> callback =
        [this, into](const boost::shared_ptr<const M>& m)
    {
      std::lock_guard<std::mutex> lock(mutex_);
      into->push_back(*m);
      changed_.notify_all();
    };
    return nh_.subscribe<M>(topic, 100, callback);
  }

  void onLog(const rosgraph_msgs::Log::ConstPtr& log)
  {
    if (log->name != kMonitorNode)
      return;
    std::lock_guard<std::mutex> lock(mutex_);
    logs_.push_back(*log);
    changed_.notify_all();
  }

  template <class M>
  std::size_t size(const std::vector<M>& v)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return v.size();
  }

  bool linked() const
  {
    if (velocityPub_.getNumSubscribers() == 0 || rcPub_.getNumSubscribers() == 0 ||
        octomapPub_.getNumSubscribers() == 0)
      return false;
    for (const ros::Subscriber& sub : subs_)
      if (sub.getNumPublishers() == 0)
        return false;
    return true;
  }

  ros::CallbackQueue queue_;
  ros::NodeHandle nh_;
  ros::AsyncSpinner spinner_;
  ros::Publisher velocityPub_, rcPub_, octomapPub_;
  std::vector<ros::Subscriber> subs_;
  ros::Subscriber rosoutSub_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std_msgs::UInt8> statuses_;
  std::vector<std_msgs::String> texts_;
  std::vector<geometry_msgs::Vector3> debug_;
  std::vector<visualization_msgs::MarkerArray> fans_;
  std::vector<visualization_msgs::Marker> collisionMarkers_, velocityMarkers_, rcMarkers_;
  std::vector<rosgraph_msgs::Log> logs_;
};

// Index of the first log line `text` at or after `from`, or the size.
std::size_t find(const std::vector<rosgraph_msgs::Log>& logs, const std::string& text, std::size_t from = 0)
{
  for (std::size_t i = from; i < logs.size(); ++i)
    if (logs[i].msg == text)
      return i;
  return logs.size();
}

bool hasError(const std::vector<rosgraph_msgs::Log>& logs)
{
  for (const auto& log : logs)
    if (log.level >= rosgraph_msgs::Log::ERROR)
      return true;
  return false;
}

// Waits `seconds`: used only before asserting that something did NOT happen,
// which a slow run cannot turn into a false failure.
void settle(double seconds = 0.5)
{
  ros::WallDuration(seconds).sleep();
}
}  // namespace

// ---------------------------------------------------------------------------
// A fresh monitor while no transform is published yet.

TEST(MonitorStartup, SticksCountOnlyOnceThePoseIsKnown)
{
  MonitorLink link;
  ASSERT_TRUE(link.connect());
  DronePoseBroadcaster pose;

  // Full pitch while the pose is unknown: to be ignored.
  link.sendSticks(0, 10000, 0);

  // The first map, still without a transform: the pose lookup waits its 3 s,
  // logs the wait's error text and the lookup's exception, and the map is
  // reported after it.
  std::size_t mark = link.logCount();
  const ros::WallTime sent = ros::WallTime::now();
  std::string text;
  ASSERT_TRUE(link.sendMap(emptyMap(), &text));
  EXPECT_GE((ros::WallTime::now() - sent).toSec(), 2.5);
  EXPECT_EQ("OcTree created -- Tree Size=0, Resolution=0.3", text);
  ASSERT_TRUE(link.waitFor([&] { return link.countLocked(mark, "In getDroneOrigin") == 1; }, 10.0));
  ASSERT_TRUE(link.waitFor([&] { return link.logCountLocked() >= mark + 3; }, 10.0));
  {
    const auto logs = link.logsSince(mark);
    const std::size_t lookup = find(logs, "In getDroneOrigin");
    ASSERT_LT(lookup + 2, logs.size());
    EXPECT_EQ(rosgraph_msgs::Log::INFO, logs[lookup].level);
    EXPECT_EQ(rosgraph_msgs::Log::INFO, logs[lookup + 1].level);
    EXPECT_NE("", logs[lookup + 1].msg);
    EXPECT_EQ(rosgraph_msgs::Log::ERROR, logs[lookup + 2].level);
    EXPECT_NE("", logs[lookup + 2].msg);
  }

  // With the transform published, the next map finds the pose: an empty
  // wait text and no error.
  pose.start();
  ASSERT_TRUE(pose.waitForListener());
  mark = link.logCount();
  ASSERT_TRUE(link.sendMap(emptyMap(), &text));
  EXPECT_EQ("OcTree created -- Tree Size=0, Resolution=0.3", text);
  ASSERT_TRUE(link.waitFor([&] { return link.logCountLocked() >= mark + 2; }, 10.0));
  {
    const auto logs = link.logsSince(mark);
    const std::size_t lookup = find(logs, "In getDroneOrigin");
    ASSERT_LT(lookup + 1, logs.size());
    EXPECT_EQ(rosgraph_msgs::Log::INFO, logs[lookup + 1].level);
    EXPECT_EQ("", logs[lookup + 1].msg);
  }

  // Once found, the pose is not looked up again.
  mark = link.logCount();
  ASSERT_TRUE(link.sendMap(emptyMap(), &text));
  settle();
  EXPECT_EQ(0u, link.count(mark, "In getDroneOrigin"));
  EXPECT_FALSE(hasError(link.logsSince(mark)));

  // At rest, the stick vector is still zero: the pitch sent before the pose
  // was known did not count. Nothing is cast and the fan is cleared.
  Query query;
  ASSERT_TRUE(link.runQuery(0, 0, &query));
  EXPECT_EQ(0, query.status);
  EXPECT_EQ(0.0, query.debug.x);
  EXPECT_EQ(0.0, query.debug.y);
  EXPECT_EQ(0.0, query.debug.z);
  ASSERT_EQ(1u, query.fan.markers.size());
  EXPECT_EQ(visualization_msgs::Marker::DELETEALL, query.fan.markers[0].action);
  EXPECT_EQ(0.0f, query.rc.color.a);

  // Full pitch now, with the identity transform: 3 along +x, looked along
  // for 20 m.
  link.sendSticks(0, 10000, 0);
  ASSERT_TRUE(link.runQuery(0, 0, &query));
  EXPECT_EQ(0, query.status);
  EXPECT_NEAR(3.0, query.debug.y, 1e-5);
  ASSERT_EQ(60u, query.fan.markers.size());
  expectPoint(query.fan.markers[kAxisRay].points[0], 0, 0, 0);
  expectPoint(query.fan.markers[kAxisRay].points[1], 20, 0, 0);
  expectPoint(query.fan.markers[0].points[1], 20, -2.4, -0.9);
  ASSERT_EQ(2u, query.rc.points.size());
  expectPoint(query.rc.points[1], 3, 0, 0);
  EXPECT_EQ(1.0f, query.rc.color.a);

  // Full roll looks sideways; full throttle alone leaves nothing horizontal.
  link.sendSticks(10000, 0, 0);
  ASSERT_TRUE(link.runQuery(0, 0, &query));
  ASSERT_EQ(60u, query.fan.markers.size());
  expectPoint(query.fan.markers[kAxisRay].points[1], 0, 20, 0);
  link.sendSticks(0, 0, 10000);
  ASSERT_TRUE(link.runQuery(0, 0, &query));
  EXPECT_EQ(0.0, query.debug.y);
  ASSERT_EQ(1u, query.fan.markers.size());
  EXPECT_EQ(visualization_msgs::Marker::DELETEALL, query.fan.markers[0].action);
}

// ---------------------------------------------------------------------------
// One monitor with the transform published from the start. The tests run in
// order; each leaves a usable map held and the velocity count at a query.

namespace
{
struct TopicsSetup
{
  DronePoseBroadcaster pose;
  MonitorLink link;
  bool connected = false;
};
// Torn down in main, while ROS still runs.
std::unique_ptr<TopicsSetup> topics;

MonitorLink& topicsLink()
{
  if (!topics)
  {
    topics.reset(new TopicsSetup);
    topics->pose.start();
    topics->connected = topics->link.connect() && topics->pose.waitForListener();
  }
  EXPECT_TRUE(topics->connected);
  return topics->link;
}
}  // namespace

TEST(MonitorTopics, EveryMapIsReportedAndOnlyTheFirstLooksUpThePose)
{
  MonitorLink& link = topicsLink();
  const octomap_msgs::Octomap wall = wallMap(10.0f);
  const std::string expected = reportOf(wall);
  ASSERT_NE("", expected);

  std::size_t mark = link.logCount();
  std::string text;
  ASSERT_TRUE(link.sendMap(wall, &text));
  EXPECT_EQ(expected, text);
  ASSERT_TRUE(link.waitFor([&] { return link.logCountLocked() >= mark + 2; }, 10.0));
  {
    const auto logs = link.logsSince(mark);
    const std::size_t lookup = find(logs, "In getDroneOrigin");
    ASSERT_LT(lookup + 1, logs.size());
    EXPECT_EQ("", logs[lookup + 1].msg);
    EXPECT_FALSE(hasError(logs));
  }

  mark = link.logCount();
  ASSERT_TRUE(link.sendMap(wall, &text));
  EXPECT_EQ(expected, text);
  settle();
  EXPECT_EQ(0u, link.count(mark, "In getDroneOrigin"));
}

TEST(MonitorTopics, QueriesRunOnTheFifthAndTenthHealthyMessageOnly)
{
  MonitorLink& link = topicsLink();
  const std::size_t statuses = link.statusCount();
  const std::size_t debug = link.debugCount();

  // Four healthy messages toward the wall, then three unhealthy ones: no query.
  std::size_t mark = link.logCount();
  for (int i = 0; i < 4; ++i)
    link.sendVelocity(1, 0, 0, 1);
  for (int i = 0; i < 3; ++i)
    link.sendVelocity(1, 0, 0, 0);
  ASSERT_TRUE(link.waitForLogs(mark, kUnhealthy, 3));
  settle();
  EXPECT_EQ(statuses, link.statusCount());

  // The fifth healthy one runs it: the wall 10 m ahead is a collision.
  mark = link.logCount();
  link.sendVelocity(1, 0, 0, 1);
  ASSERT_TRUE(link.waitFor([&] { return link.countLocked(mark, "Collision Forward in Distance 10.24!") == 1; }, 10.0));
  ASSERT_TRUE(
      link.waitFor([&] { return link.statusCountLocked() > statuses && link.debugCountLocked() > debug; }, 10.0));

  // Four more and two unhealthy: nothing; the tenth healthy one: the second query.
  mark = link.logCount();
  for (int i = 0; i < 4; ++i)
    link.sendVelocity(1, 0, 0, 1);
  for (int i = 0; i < 2; ++i)
    link.sendVelocity(1, 0, 0, 0);
  ASSERT_TRUE(link.waitForLogs(mark, kUnhealthy, 2));
  settle();
  EXPECT_EQ(statuses + 1, link.statusCount());
  link.sendVelocity(1, 0, 0, 1);
  ASSERT_TRUE(link.waitFor(
      [&] { return link.statusCountLocked() > statuses + 1 && link.debugCountLocked() > debug + 1; }, 10.0));
  settle();

  const auto sent = link.statuses();
  const auto vectors = link.debugVectors();
  ASSERT_EQ(statuses + 2, sent.size());
  ASSERT_EQ(debug + 2, vectors.size());
  for (std::size_t i = statuses; i < sent.size(); ++i)
    EXPECT_EQ(1, sent[i].data);
  for (std::size_t i = debug; i < vectors.size(); ++i)
  {
    EXPECT_FLOAT_EQ(1.0, vectors[i].x);
    EXPECT_EQ(0.0, vectors[i].y);
    // The wall cell met by the 4th ray: (10.05, -1.95, +-0.15).
    EXPECT_NEAR(std::sqrt(10.05 * 10.05 + 1.95 * 1.95 + 0.15 * 0.15), vectors[i].z, 1e-4);
  }
}

TEST(MonitorTopics, SpeedSetsTheLookAheadBetweenFifteenAndTwentyFiveMetres)
{
  MonitorLink& link = topicsLink();
  const struct
  {
    float speed;
    double range;
  } cases[] = {{0.3f, 15}, {1.0f, 15}, {2.0f, 20}, {2.5f, 25}, {3.0f, 25}};
  for (const auto& c : cases)
  {
    SCOPED_TRACE(c.speed);
    // Along +y, parallel to the wall: clear.
    Query query;
    ASSERT_TRUE(link.runQuery(0, c.speed, &query));
    EXPECT_EQ(0, query.status);
    EXPECT_FLOAT_EQ(c.speed, query.debug.x);
    ASSERT_EQ(60u, query.fan.markers.size());
    expectPoint(query.fan.markers[kAxisRay].points[1], 0, c.range, 0);
    expectPoint(query.fan.markers[0].points[1], 2.4, c.range, -0.9);
    ASSERT_EQ(2u, query.velocity.points.size());
    expectPoint(query.velocity.points[1], 0, c.speed, 0);
    EXPECT_EQ(1.0f, query.velocity.color.a);
    expectPoint(query.collision.pose.position, 0, 0, 0);
  }
}

TEST(MonitorTopics, SlowFlightProbesAlongTheSticks)
{
  MonitorLink& link = topicsLink();
  link.sendSticks(0, 10000, 0);  // toward the wall

  // 0.25 m/s along +y is slow: the probe follows the sticks for 20 m and
  // meets the wall.
  Query query;
  ASSERT_TRUE(link.runQuery(0, 0.25f, &query));
  EXPECT_EQ(1, query.status);
  EXPECT_FLOAT_EQ(0.25, query.debug.x);
  EXPECT_NEAR(3.0, query.debug.y, 1e-5);
  EXPECT_GT(query.debug.z, 10.0);
  ASSERT_EQ(60u, query.fan.markers.size());
  expectPoint(query.fan.markers[kAxisRay].points[1], 20, 0, 0);
  EXPECT_NEAR(10.05, query.collision.pose.position.x, 1e-4);
  EXPECT_EQ(1.0f, query.collision.color.a);

  // Moving away from the wall is clear, whatever the sticks say.
  ASSERT_TRUE(link.runQuery(-1, 0, &query));
  EXPECT_EQ(0, query.status);
  EXPECT_EQ(0.0, query.debug.z);
  expectPoint(query.fan.markers[kAxisRay].points[1], -15, 0, 0);
  expectPoint(query.collision.pose.position, 0, 0, 0);
}

TEST(MonitorTopics, UnusableMapsStopTheQueriesAndTheNodeKeepsRunning)
{
  MonitorLink& link = topicsLink();
  const std::size_t statuses = link.statusCount();

  octomap::ColorOcTree color(0.3);
  color.updateNode(octomap::point3d(10.0f, 0.0f, 0.0f), true);
  octomap_msgs::Octomap colorMsg;
  ASSERT_TRUE(octomap_msgs::binaryMapToMsg(color, colorMsg));
  ASSERT_EQ("ColorOcTree", colorMsg.id);

  const octomap_msgs::Octomap wall = wallMap(10.0f);
  std::vector<octomap_msgs::Octomap> unusable{colorMsg};
  octomap_msgs::Octomap bad = wall;
  std::mt19937 random(7);
  for (auto& byte : bad.data)
    byte = static_cast<int8_t>(random());
  unusable.push_back(bad);
  bad = wall;
  bad.data.resize(bad.data.size() / 2);
  unusable.push_back(bad);
  for (double resolution : {std::numeric_limits<double>::quiet_NaN(), -0.3, 0.0})
  {
    bad = wall;
    bad.resolution = resolution;
    unusable.push_back(bad);
  }
  bad = wall;
  bad.id = "NoSuchTree";
  unusable.push_back(bad);
  bad = wall;
  bad.binary = false;
  unusable.push_back(bad);

  for (std::size_t i = 0; i < unusable.size(); ++i)
  {
    SCOPED_TRACE(i);
    std::string text = "not received";
    ASSERT_TRUE(link.sendMap(unusable[i], &text));
    EXPECT_EQ("", text);
    // No usable map: healthy messages are turned away and count for nothing.
    const std::size_t mark = link.logCount();
    for (int k = 0; k < 3; ++k)
      link.sendVelocity(1, 0, 0, 1);
    ASSERT_TRUE(link.waitForLogs(mark, kUnhealthy, 3));
  }
  settle();
  EXPECT_EQ(statuses, link.statusCount());

  // Still running: a good map is taken and the next five messages query it.
  std::string text;
  ASSERT_TRUE(link.sendMap(wall, &text));
  EXPECT_EQ(reportOf(wall), text);
  Query query;
  ASSERT_TRUE(link.runQuery(1, 0, &query));
  EXPECT_EQ(1, query.status);
}

// ---------------------------------------------------------------------------
// A detector hosted in this process: its messages reach subscribers here
// without a network hop, in the order it publishes them.

TEST(InProcess, OneQuerySendsStatusRaysSphereVelocityStickAndDebugInThatOrder)
{
  DronePoseBroadcaster pose;
  pose.start();
  CollisionDetector detector;
  ros::NodeHandle nh;
  std::vector<std::string> order;
  std::uint8_t status = 255;
  std::vector<ros::Subscriber> subs;
  subs.push_back(nh.subscribe<std_msgs::UInt8>("collision_info_msg", 10,
                                               boost::function<void(const std_msgs::UInt8::ConstPtr&)>(
                                                   [&](const std_msgs::UInt8::ConstPtr& m)
                                                   {
                                                     order.push_back("status");
                                                     status = m->data;
                                                   })));
  subs.push_back(nh.subscribe<visualization_msgs::MarkerArray>(
      "zyr_collision_avoidance/raycast_marker_array", 10,
      boost::function<void(const visualization_msgs::MarkerArray::ConstPtr&)>(
          [&](const visualization_msgs::MarkerArray::ConstPtr&) { order.push_back("rays"); })));
  subs.push_back(nh.subscribe<visualization_msgs::Marker>(
      "zyr_collision_avoidance/collision_marker", 10,
      boost::function<void(const visualization_msgs::Marker::ConstPtr&)>(
          [&](const visualization_msgs::Marker::ConstPtr&) { order.push_back("sphere"); })));
  subs.push_back(nh.subscribe<visualization_msgs::Marker>(
      "zyr_collision_avoidance/velocity_marker", 10,
      boost::function<void(const visualization_msgs::Marker::ConstPtr&)>(
          [&](const visualization_msgs::Marker::ConstPtr&) { order.push_back("velocity"); })));
  subs.push_back(nh.subscribe<visualization_msgs::Marker>(
      "zyr_collision_avoidance/rc_marker", 10,
      boost::function<void(const visualization_msgs::Marker::ConstPtr&)>(
          [&](const visualization_msgs::Marker::ConstPtr&) { order.push_back("stick"); })));
  subs.push_back(nh.subscribe<geometry_msgs::Vector3>(
      "zyr_collision_avoidance/debug_collision_msg", 10,
      boost::function<void(const geometry_msgs::Vector3::ConstPtr&)>([&](const geometry_msgs::Vector3::ConstPtr&)
                                                                     { order.push_back("debug"); })));
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
  topics.reset();
  return result;
}
