// The health watchdog's judgements on synthetic event times, without a ROS
// graph: stage levels and the fail-safe decision over a simulated chain.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

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
  // What the clouds' points say: usable and new each time, or spoilt.
  enum class Points
  {
    Seen,
    Nan,
    Far,  // finite, but beyond the mapper's radius
    Frozen,
  } content = Points::Seen;
  bool guard = false;      // guarded_flight echoes each verdict
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
        {
          state.onVerdict(t + 0.004, 0);
          if (guard)
            state.onGuard(t + 0.005, 0);
        }
      }
      if (tick % 2 == 0)
        state.onGps(t, gps);
      if (clouds && tick % 10 == 0)
      {
        state.onCloud(t, t - scanAge, points, cloudContent());
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
  watchdog::CloudContent cloudContent()
  {
    watchdog::CloudContent c;
    c.readable = true;
    c.points = points;
    c.dataBytes = 20ull * points;
    c.finite = content == Points::Nan ? 0 : points;
    c.usable = content == Points::Nan || content == Points::Far ? 0 : points;
    c.hash = content == Points::Frozen || points == 0 ? 7 : static_cast<std::uint64_t>(1000 + tick);
    return c;
  }

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
  EXPECT_EQ(Level::Warn, c.map()) << "no cloud, no map: the map has not stopped, the clouds have";
  EXPECT_EQ(Level::Ok, c.verdicts()) << "the monitor still answers on its last map";
  std::string reason;
  EXPECT_TRUE(c.failsafe(&reason));
  EXPECT_EQ("LiDAR clouds: no cloud for 0.65 s", reason) << "the map waits for a cloud to close its window";

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

TEST(WatchdogStages, CloudsThatFlowButSayNothingHoldTheAircraft)
{
  struct Case
  {
    const char* name;
    Chain::Points content;
    std::uint32_t points;
    const char* message;
    bool nearPointsRequired;
  };
  const Case cases[] = {
      {"a blinded LiDAR", Chain::Points::Nan, 5000, "every point of the last clouds is NaN", true},
      {"a blinded LiDAR, far points allowed", Chain::Points::Nan, 5000, "every point of the last clouds is NaN", false},
      {"nothing within the map's radius", Chain::Points::Far, 5000, "every point of the last clouds is out of range",
       true},
      {"nothing seen at all", Chain::Points::Seen, 0, "the last clouds hold no point", true},
      {"a frozen driver", Chain::Points::Frozen, 5000, "the clouds repeat the same points", true},
  };
  for (const Case& k : cases)
  {
    SCOPED_TRACE(k.name);
    watchdog::Settings settings;
    settings.nearPointsRequired = k.nearPointsRequired;
    Chain c(settings);
    c.run(3.0);
    ASSERT_EQ(Level::Ok, c.lidar());
    // Spoilt from 3.0 s on; the last good cloud came at 2.9 s.
    c.content = k.content;
    c.points = k.points;
    c.run(0.35);
    EXPECT_NE(Level::Error, c.lidar()) << "not before stale_after";
    EXPECT_FALSE(c.failsafe());
    c.run(0.3);
    const watchdog::Report r = c.state.lidar(c.now());
    EXPECT_EQ(Level::Error, r.level);
    EXPECT_EQ(k.message, r.message);
    std::string reason;
    EXPECT_TRUE(c.failsafe(&reason));
    EXPECT_EQ(std::string("LiDAR clouds: ") + k.message, reason) << "maps and verdicts still flow";

    // The first cloud that sees again lets go.
    c.content = Chain::Points::Seen;
    c.points = 5000;
    c.run(0.1);
    EXPECT_FALSE(c.failsafe());

    // A watchdog that starts on such clouds never lets go.
    Chain late(settings);
    late.content = k.content;
    late.points = k.points;
    late.run(3.0);
    EXPECT_TRUE(late.failsafe());
    EXPECT_EQ(k.message, late.state.lidar(late.now()).message);
  }

  // High above the ground every point lies beyond the map's radius: with far points allowed, the LiDAR still sees.
  watchdog::Settings high;
  high.nearPointsRequired = false;
  Chain aloft(high);
  aloft.content = Chain::Points::Far;
  aloft.run(3.0);
  EXPECT_FALSE(aloft.failsafe());
}

TEST(WatchdogStages, UnderTheGuardAStoppedOrUnhealthyVelocityHoldsTheAircraft)
{
  struct Case
  {
    const char* name;
    bool startedWithGuard, guardHeard, stopped;
    Level level;
    bool holds;
    const char* message;  // the start of the vehicle stage's
  };
  const Case cases[] = {
      {"unhealthy, no guard", false, false, false, Level::Warn, false, "velocity flagged unhealthy (health_flag 0):"},
      {"unhealthy, guard heard", false, true, false, Level::Error, true,
       "velocity flagged unhealthy (health_flag 0) for 0."},
      {"unhealthy, guard started beside", true, false, false, Level::Error, true,
       "velocity flagged unhealthy (health_flag 0) for 0."},
      {"stopped, guard heard", false, true, true, Level::Error, true, "no velocity for 0."},
      {"stopped, no guard", false, false, true, Level::Error, false, "no velocity for 0."},
  };
  for (const Case& k : cases)
  {
    SCOPED_TRACE(k.name);
    watchdog::Settings settings;
    settings.guarded = k.startedWithGuard;
    Chain c(settings);
    c.guard = k.guardHeard;
    c.run(3.0);
    ASSERT_FALSE(c.failsafe());
    (k.stopped ? c.velocity : c.healthy) = false;
    c.run(0.45);
    EXPECT_FALSE(c.failsafe()) << "not before stale_after";
    c.run(0.2);
    const watchdog::Report r = c.state.vehicle(c.now());
    EXPECT_EQ(k.level, r.level);
    EXPECT_EQ(0u, r.message.find(k.message)) << r.message;
    std::string reason;
    EXPECT_EQ(k.holds, c.failsafe(&reason));
    if (k.holds)
    {
      EXPECT_EQ("Vehicle state: " + r.message, reason) << "clouds and maps still flow; the verdicts only warn";
    }
  }
}
