// A fresh collision monitor, started by rostest, before and after the
// "world" -> "drone" transform appears: the pose lookup, its log lines and
// the sticks that count only once the pose is known.
#include <gtest/gtest.h>
#include <ros/ros.h>
#include <visualization_msgs/Marker.h>

#include <string>
#include <vector>

#include "monitor_link.h"

using namespace monitor_test;

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
