// The health watchdog's smaller units on their own: the scan-to-verdict
// matcher, what a cloud's points say (read in place by the skimmed reader),
// and when the fail-safe's state is told.
#include <gtest/gtest.h>
#include <sensor_msgs/PointCloud2.h>
#include <sensor_msgs/point_cloud2_iterator.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "zyr_collision_avoidance/skimmed_messages.h"
#include "zyr_collision_avoidance/watchdog/failsafe.h"
#include "zyr_collision_avoidance/watchdog/latency_matcher.h"

using watchdog::LatencyMatcher;

namespace
{
// A cloud of float32 x, y, z (16-byte points), one row.
sensor_msgs::PointCloud2 cloudOf(const std::vector<std::vector<float>>& points)
{
  sensor_msgs::PointCloud2 cloud;
  cloud.header.stamp = ros::Time(12, 345);
  cloud.header.frame_id = "lidar";
  sensor_msgs::PointCloud2Modifier modifier(cloud);
  modifier.setPointCloud2FieldsByString(1, "xyz");
  modifier.resize(points.size());
  if (points.empty())  // the iterator needs data to point at
    return cloud;
  sensor_msgs::PointCloud2Iterator<float> x(cloud, "x");
  for (const auto& p : points)
  {
    x[0] = p[0];
    x[1] = p[1];
    x[2] = p[2];
    ++x;
  }
  return cloud;
}

std::vector<std::uint8_t> wire(const sensor_msgs::PointCloud2& cloud)
{
  std::vector<std::uint8_t> bytes(ros::serialization::serializationLength(cloud));
  ros::serialization::OStream out(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  ros::serialization::serialize(out, cloud);
  return bytes;
}

watchdog::CloudSummary skim(const sensor_msgs::PointCloud2& cloud)
{
  std::vector<std::uint8_t> bytes = wire(cloud);
  watchdog::CloudSummary summary;
  ros::serialization::IStream in(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  ros::serialization::deserialize(in, summary);
  EXPECT_EQ(1u, in.getLength()) << "all but is_dense read";
  return summary;
}
}  // namespace

TEST(WatchdogLatency, ACloudIsInTheFirstMapPublishedAfterItsInsertion)
{
  LatencyMatcher m;
  m.onCloud(0.010, 0.000, 100);
  m.onInserted(0.020, 100);
  m.onCloud(0.110, 0.100, 110);
  m.onInserted(0.120, 110);
  // The cloud at 0.2 s closes the window: the map goes out before it is inserted,
  // and here its line even overtakes the map on the way.
  m.onCloud(0.210, 0.200, 120);
  m.onInserted(0.218, 120);
  m.onMap(0.220, 0.215);
  m.onVerdict(0.250);
  LatencyMatcher::Figures f = m.figures(0.3, 10.0);
  ASSERT_EQ(2u, f.samples);
  EXPECT_NEAR(0.150, f.p50, 1e-9);
  EXPECT_NEAR(0.250, f.p99, 1e-9);

  m.onMap(0.420, 0.415);
  m.onVerdict(0.419);  // before the map: computed on the older one
  m.onVerdict(0.430);
  f = m.figures(0.5, 10.0);
  ASSERT_EQ(3u, f.samples);
  EXPECT_NEAR(0.230, f.p50, 1e-9);

  // Ten seconds later they are out of the window.
  EXPECT_EQ(0u, m.figures(10.5, 10.0).samples);
}

TEST(WatchdogLatency, SkippedCloudsEarlyLinesAndForeignClocks)
{
  LatencyMatcher m;
  // The mapper skips the 200-point cloud (no transform): it never gets a latency.
  m.onCloud(0.01, 0.00, 100);
  m.onCloud(0.11, 0.10, 200);
  m.onCloud(0.21, 0.20, 300);
  m.onInserted(0.22, 100);
  m.onInserted(0.23, 300);
  // A line that arrives before its cloud still matches it.
  m.onInserted(0.305, 400);
  m.onCloud(0.31, 0.30, 400);
  // A map stamped on a clock 1000 s away: arrival order decides.
  m.onMap(0.32, 1000.0);
  m.onVerdict(0.33);
  const LatencyMatcher::Figures f = m.figures(0.4, 10.0);
  ASSERT_EQ(3u, f.samples);
  EXPECT_NEAR(0.13, f.p50, 1e-9);
  EXPECT_NEAR(0.33, f.p99, 1e-9);
  EXPECT_EQ(0u, m.waiting());

  // Nothing waits for ever: a cloud whose line never comes is let go.
  m.onCloud(1.0, 1.0, 500);
  m.onVerdict(10.0);
  EXPECT_EQ(0u, m.waiting());
}

TEST(SkimmedMessages, ACloudIsReadUpToItsSizesAndATruncatedOneThrows)
{
  sensor_msgs::PointCloud2 cloud;
  cloud.header.stamp = ros::Time(12, 345);
  cloud.header.frame_id = "lidar";
  sensor_msgs::PointCloud2Modifier modifier(cloud);
  modifier.setPointCloud2FieldsByString(2, "xyz", "rgb");
  modifier.resize(7);
  cloud.height = 1;

  std::vector<std::uint8_t> bytes(ros::serialization::serializationLength(cloud));
  ros::serialization::OStream out(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  ros::serialization::serialize(out, cloud);

  watchdog::CloudSummary summary;
  ros::serialization::IStream in(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  ros::serialization::deserialize(in, summary);
  EXPECT_EQ(cloud.header.stamp, summary.header.stamp);
  EXPECT_EQ("lidar", summary.header.frame_id);
  EXPECT_EQ(1u, summary.height);
  EXPECT_EQ(7u, summary.width);
  EXPECT_EQ(cloud.fields.size(), summary.fields);
  EXPECT_EQ(cloud.point_step, summary.pointStep);
  EXPECT_EQ(cloud.row_step, summary.rowStep);
  EXPECT_EQ(cloud.data.size(), summary.dataBytes);
  EXPECT_EQ(1u, in.getLength()) << "the points are read in place; is_dense after them is left";

  // Cut inside the field list, or inside the points: the reader stops at the end of the bytes it was given.
  for (const std::uint32_t length : {40u, static_cast<std::uint32_t>(bytes.size() - 10)})
  {
    ros::serialization::IStream cut(bytes.data(), length);
    EXPECT_THROW(ros::serialization::deserialize(cut, summary), ros::serialization::StreamOverrunException);
  }
}

TEST(SkimmedMessages, WhatTheWatchdogReadsFromThePoints)
{
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  struct Case
  {
    const char* name;
    std::vector<std::vector<float>> points;
    std::uint64_t usable, finite;
  };
  const Case cases[] = {
      {"near points", {{1, 2, 3}, {-5, 4, -1}}, 2, 2},
      {"every point NaN", {{nan, nan, nan}, {nan, nan, nan}}, 0, 0},
      {"NaN or infinite in one coordinate", {{nan, 0, 0}, {0, inf, 0}, {0, 0, nan}, {1, 1, 1}}, 1, 1},
      {"on the insertion radius and beyond it, at any height", {{30, 0, 500}, {30.001f, 0, 0}, {0, -31, 0}}, 1, 3},
      {"no point", {}, 0, 0},
  };
  for (const Case& k : cases)
  {
    SCOPED_TRACE(k.name);
    const watchdog::CloudSummary s = skim(cloudOf(k.points));
    EXPECT_TRUE(s.content.readable);
    EXPECT_EQ(k.points.size(), s.content.points);
    EXPECT_EQ(k.usable, s.content.usable);
    EXPECT_EQ(k.finite, s.content.finite);
  }

  // The hash follows every byte of the points, and only them.
  sensor_msgs::PointCloud2 a = cloudOf({{1, 2, 3}, {4, 5, 6}}), b = a;
  b.header.stamp = ros::Time(99, 0);
  EXPECT_EQ(skim(a).content.hash, skim(b).content.hash) << "a fresh stamp on the same points";
  b.data.back() ^= 1;
  EXPECT_NE(skim(a).content.hash, skim(b).content.hash);
  EXPECT_EQ(0u, skim(cloudOf({})).content.dataBytes);

  // Layouts the mapper cannot read have no usable point, and are never read beyond their data.
  sensor_msgs::PointCloud2 wide = cloudOf({{1, 2, 3}});
  wide.fields[1].datatype = sensor_msgs::PointField::FLOAT64;
  sensor_msgs::PointCloud2 narrow = cloudOf({{1, 2, 3}});
  narrow.point_step = 8;
  sensor_msgs::PointCloud2 shortData = cloudOf({{1, 2, 3}, {4, 5, 6}});
  shortData.data.resize(20);
  sensor_msgs::PointCloud2 noZ = cloudOf({{1, 2, 3}});
  noZ.fields.pop_back();
  for (const auto* bad : {&wide, &narrow, &shortData, &noZ})
  {
    const watchdog::CloudSummary s = skim(*bad);
    EXPECT_FALSE(s.content.readable);
    EXPECT_EQ(0u, s.content.usable);
  }
}

TEST(WatchdogFailsafe, ToldAtFirstAndWhenTheStagesItHoldsForChange)
{
  const auto decision = [](std::vector<std::pair<std::string, std::string>> held)
  {
    watchdog::FailsafeDecision d;
    d.held = std::move(held);
    return d;
  };
  const watchdog::FailsafeDecision none,
      lidar = decision({{"LiDAR clouds", "no cloud for 0.51 s"}}),
      later = decision({{"LiDAR clouds", "no cloud for 0.93 s"}}),
      both = decision({{"LiDAR clouds", "no cloud for 1.02 s"}, {"Occupancy map", "no map for 0.62 s"}});
  EXPECT_EQ("", none.reason());
  EXPECT_EQ("LiDAR clouds: no cloud for 1.02 s; Occupancy map: no map for 0.62 s", both.reason());

  watchdog::FailsafeAnnouncer announcer;
  const std::pair<const watchdog::FailsafeDecision*, bool> steps[] = {
      {&none, true}, {&none, false}, {&lidar, true}, {&later, false},
      {&both, true}, {&later, true}, {&none, true},  {&none, false},
  };
  int i = 0;
  for (const auto& step : steps)
    EXPECT_EQ(step.second, announcer.due(*step.first)) << "step " << i++;

  // A report holds the aircraft when it is ERROR or STALE.
  watchdog::FailsafeDecision d;
  for (const watchdog::Level level :
       {watchdog::Level::Ok, watchdog::Level::Warn, watchdog::Level::Error, watchdog::Level::Stale})
    d.consider(watchdog::levelName(level), watchdog::Report{level, "m", {}});
  EXPECT_EQ("ERROR: m; STALE: m", d.reason());
}
