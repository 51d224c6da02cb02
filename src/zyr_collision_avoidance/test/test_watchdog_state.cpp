// The health watchdog's judgements on synthetic event times, without a ROS
// graph: stage levels, the fail-safe decision, the scan-to-verdict matcher,
// and the skimmed reading of a cloud.
#include <gtest/gtest.h>
#include <sensor_msgs/PointCloud2.h>
#include <sensor_msgs/point_cloud2_iterator.h>

#include <cstdint>
#include <string>
#include <vector>

#include "zyr_collision_avoidance/skimmed_messages.h"
#include "zyr_collision_avoidance/watchdog_state.h"

using watchdog::HealthState;
using watchdog::LatencyMatcher;
using watchdog::Level;

namespace
{
// The chain as the watchdog sees it, in 10 ms ticks: velocity at 100 Hz, GPS at
// 50 Hz, clouds at 10 Hz, each followed by its "Inserting" line, maps rolled
// over as the mapper does (first cloud more than 0.12 s into the window), and
// a verdict on every fifth healthy velocity message once a map is there. Each
// stream can be stopped or spoilt.
struct Chain
{
  explicit Chain(const watchdog::Settings& settings = watchdog::Settings()) : state(settings) {}

  HealthState state;
  bool clouds = true, mapper = true, monitor = true, velocity = true, healthy = true;
  int gps = 5;
  std::uint32_t points = 5000;
  double scanAge = 0.005;  // cloud stamp before its arrival, s
  long tick = 0;

  double now() const
  {
    return 0.01 * static_cast<double>(tick);
  }

  void run(double seconds)
  {
    for (const long end = tick + static_cast<long>(seconds * 100.0 + 0.5); tick < end; ++tick)
    {
      const double t = now();
      if (velocity)
      {
        state.onVelocity(t, healthy);
        if (healthy && monitor && haveMap_ && ++healthyCount_ % 5 == 0)
          state.onVerdict(t + 0.004, 0);
      }
      if (tick % 2 == 0)
        state.onGps(t, gps);
      if (clouds && tick % 10 == 0)
      {
        state.onCloud(t, t - scanAge, 1, points);
        if (!mapper)
          continue;
        if (windowStart_ < 0.0)
          windowStart_ = t;
        else if (t - windowStart_ > 0.12)
        {
          state.onMap(t + 0.002, t + 0.001);
          haveMap_ = true;
          windowStart_ = t;
        }
        state.onInserted(t + 0.003, points);
      }
    }
  }

  Level lidar()
  {
    return state.lidar(now()).level;
  }
  Level map()
  {
    return state.map(now()).level;
  }
  Level verdicts()
  {
    return state.verdicts(now()).level;
  }
  Level vehicle()
  {
    return state.vehicle(now()).level;
  }
  bool failsafe(std::string* reason = nullptr)
  {
    return state.failsafeWanted(now(), reason);
  }

private:
  double windowStart_ = -1.0;
  bool haveMap_ = false;
  long healthyCount_ = 0;
};

std::string value(const watchdog::Report& r, const std::string& key)
{
  for (const auto& kv : r.values)
    if (kv.first == key)
      return kv.second;
  return "(no " + key + ")";
}
}  // namespace

TEST(WatchdogStages, StaleUntilTheFirstMessageOkWhileFlowingErrorOnceStopped)
{
  Chain c;
  EXPECT_EQ(Level::Stale, c.lidar());
  EXPECT_EQ(Level::Stale, c.map());
  EXPECT_EQ(Level::Stale, c.verdicts());
  EXPECT_EQ(Level::Stale, c.vehicle());
  EXPECT_TRUE(c.failsafe()) << "no flying blind from the start";

  c.run(3.0);
  EXPECT_EQ(Level::Ok, c.lidar()) << c.state.lidar(c.now()).message;
  EXPECT_EQ(Level::Ok, c.map()) << c.state.map(c.now()).message;
  EXPECT_EQ(Level::Ok, c.verdicts()) << c.state.verdicts(c.now()).message;
  EXPECT_EQ(Level::Ok, c.vehicle()) << c.state.vehicle(c.now()).message;
  EXPECT_FALSE(c.failsafe());
  EXPECT_NEAR(10.0, std::stod(value(c.state.lidar(c.now()), "rate (Hz)")), 0.6);
  EXPECT_NEAR(5.0, std::stod(value(c.state.map(c.now()), "rate (Hz)")), 0.6);
  EXPECT_NEAR(20.0, std::stod(value(c.state.verdicts(c.now()), "rate (Hz)")), 0.6);

  // Clouds stop (the last came 0.1 s ago, the last map 0.2 s ago): an error once
  // stale_after (0.5 s) has gone by, not before.
  c.clouds = false;
  c.run(0.25);
  EXPECT_EQ(Level::Ok, c.lidar());
  EXPECT_EQ(Level::Ok, c.map());
  EXPECT_FALSE(c.failsafe());
  c.run(0.3);
  EXPECT_EQ(Level::Error, c.lidar());
  EXPECT_EQ(Level::Error, c.map()) << "no cloud, no map";
  EXPECT_EQ(Level::Ok, c.verdicts()) << "the monitor still answers on its last map";
  std::string reason;
  EXPECT_TRUE(c.failsafe(&reason));
  EXPECT_NE(std::string::npos, reason.find("LiDAR clouds: no cloud for")) << reason;

  // They come back: the fail-safe lets go with the first map after them; the
  // stages are OK again once the gap has left the rate window.
  c.clouds = true;
  c.run(0.35);
  EXPECT_FALSE(c.failsafe());
  c.run(2.0);
  EXPECT_EQ(Level::Ok, c.lidar()) << c.state.lidar(c.now()).message;
  EXPECT_EQ(Level::Ok, c.map());
}

TEST(WatchdogStages, ADeadMapperOrMonitorIsAnError)
{
  Chain c;
  c.run(3.0);
  c.mapper = false;  // clouds flow, nothing is inserted, no map comes
  c.run(0.6);
  EXPECT_EQ(Level::Error, c.map());
  EXPECT_EQ(Level::Warn, c.lidar()) << "clouds that do not reach the map";
  EXPECT_EQ(Level::Ok, c.verdicts());
  EXPECT_TRUE(c.failsafe());

  Chain m;
  m.run(3.0);
  m.monitor = false;  // velocity flows, no verdict comes
  m.run(0.6);
  EXPECT_EQ(Level::Error, m.verdicts()) << m.state.verdicts(m.now()).message;
  EXPECT_TRUE(m.failsafe());
  // Without velocity the monitor has nothing to answer: no error of the verdicts (the vehicle state has one).
  m.velocity = false;
  m.run(0.6);
  EXPECT_EQ(Level::Warn, m.verdicts());
  EXPECT_EQ(Level::Error, m.vehicle());
  EXPECT_FALSE(m.failsafe());

  // A monitor that never answers is an error once healthy velocity has flowed for stale_after.
  Chain never;
  never.monitor = false;
  never.run(3.0);
  EXPECT_EQ(Level::Error, never.verdicts());
}

TEST(WatchdogStages, DegradedInputIsAWarningThatDoesNotHoldTheAircraft)
{
  Chain few;
  few.points = 40;
  few.run(3.0);
  EXPECT_EQ(Level::Warn, few.lidar());
  EXPECT_NE(std::string::npos, few.state.lidar(few.now()).message.find("only 40 points"));
  EXPECT_FALSE(few.failsafe());

  Chain unhealthy;
  unhealthy.run(3.0);
  unhealthy.healthy = false;  // the monitor skips every message
  unhealthy.run(1.0);
  EXPECT_EQ(Level::Warn, unhealthy.vehicle());
  EXPECT_EQ(Level::Warn, unhealthy.verdicts()) << unhealthy.state.verdicts(unhealthy.now()).message;
  EXPECT_FALSE(unhealthy.failsafe());

  Chain gps;
  gps.gps = 2;
  gps.run(3.0);
  EXPECT_EQ(Level::Warn, gps.vehicle());
  EXPECT_NE(std::string::npos, gps.state.vehicle(gps.now()).message.find("poor GPS (health 2)"));

  // A LiDAR at 10 Hz where 20 Hz is expected is late; the maps, at the rate 10 Hz clouds allow, are not.
  watchdog::Settings fast;
  fast.lidarRate = 20.0;
  Chain late(fast);
  late.run(3.0);
  EXPECT_EQ(Level::Warn, late.lidar());
  EXPECT_EQ(Level::Ok, late.map());
}

TEST(WatchdogLatency, LiveFiguresBesideTheStructuralBound)
{
  Chain c;
  c.run(5.0);
  // 10 Hz clouds, 100 Hz velocity: 0.12 + 0.1 + 5 x 0.01 s.
  EXPECT_NEAR(0.27, c.state.structuralBound(), 1e-6);
  const LatencyMatcher::Figures f = c.state.latency(c.now());
  ASSERT_GT(f.samples, 40u);
  // Clouds wait 0.1 or 0.2 s for the map that holds them, then up to 5 velocity periods for a verdict.
  EXPECT_GT(f.p50, 0.1);
  EXPECT_LE(f.p99, 0.27);
  EXPECT_EQ(Level::Ok, c.verdicts());

  // A stall of the velocity (no verdict) or of the LiDAR (the open tree waits)
  // measures the stall, not the chain: such clouds are not counted.
  c.velocity = false;
  c.run(1.0);
  c.velocity = true;
  c.run(1.0);
  c.clouds = false;
  c.run(1.0);
  c.clouds = true;
  c.run(1.0);
  EXPECT_LE(c.state.latency(c.now()).p99, 0.27);

  c.scanAge = 0.2;  // scans that took 0.2 s to arrive: an overloaded computer
  c.run(10.0);
  EXPECT_EQ(Level::Warn, c.verdicts());
  EXPECT_NE(std::string::npos, c.state.verdicts(c.now()).message.find("overloaded"));
}

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
  EXPECT_EQ(cloud.data.size() + 1, in.getLength()) << "the points (and is_dense after them) are left unread";

  // Cut inside the field list: the reader stops at the end of the bytes it was given.
  ros::serialization::IStream cut(bytes.data(), 40);
  EXPECT_THROW(ros::serialization::deserialize(cut, summary), ros::serialization::StreamOverrunException);
}
