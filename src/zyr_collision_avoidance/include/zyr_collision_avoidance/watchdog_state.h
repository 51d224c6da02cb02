// What the health watchdog decides without a ROS graph: how healthy each stage
// of the chain is (LiDAR clouds, occupancy map, collision verdicts, vehicle
// state), whether the fail-safe must hold the aircraft, and how long a LiDAR
// scan takes to reach a verdict. Every input is an event with its time in
// seconds on one clock (the node's ROS clock), so the tests can feed synthetic
// event times.
#ifndef ZYR_COLLISION_AVOIDANCE_WATCHDOG_STATE_H
#define ZYR_COLLISION_AVOIDANCE_WATCHDOG_STATE_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace watchdog
{
/// The levels of diagnostic_msgs/DiagnosticStatus, with the same numbers.
enum class Level : std::uint8_t
{
  Ok = 0,
  Warn = 1,
  Error = 2,
  Stale = 3,
};

const char* levelName(Level level);

struct Settings
{
  double staleAfter = 0.5;              // s without a message before a stage counts as stopped
  double lidarRate = 10.0;              // Hz the LiDAR is expected to deliver
  std::uint32_t minCloudPoints = 1000;  // fewer points in a cloud: the LiDAR is blocked or failing
  double minVelocityRate = 20.0;        // Hz; below it the verdicts (every fifth message) come too seldom
  double rateWindow = 2.0;              // s over which rates are measured
  double latencyWindow = 10.0;          // s over which the latency percentiles are taken
  double latencyMargin = 0.05;          // s the p99 may exceed the structural bound before it warns
};

/// The design's constants that the watchdog's judgements follow from.
constexpr double kMapWindow = 0.12;      // s the mapper collects clouds into one tree
constexpr int kVelocityPerVerdict = 5;   // the monitor queries on every fifth healthy velocity message
constexpr double kRateTolerance = 0.75;  // a stream slower than this share of its expected rate is late

/// Arrival times of one stream: age, rate over a sliding window, mean interval.
class Arrivals
{
public:
  explicit Arrivals(double window = 2.0) : window_(window) {}

  void add(double t);
  void clear();
  bool any() const
  {
    return last_ >= 0.0;
  }
  double last() const
  {
    return last_;
  }
  double firstEver() const
  {
    return first_;
  }
  /// Seconds since the last arrival (never negative).
  double age(double now) const;
  /// Arrivals per second over the last window (or since the first arrival, when that is shorter).
  double rate(double now) const;
  /// True once the stream has been watched for a whole window, so that its rate means something.
  bool rateSettled(double now) const
  {
    return any() && now - first_ >= window_;
  }
  /// Mean interval between the arrivals of the window; 0 with fewer than two.
  double meanInterval() const;

private:
  double window_;
  std::deque<double> times_;
  double first_ = -1.0;
  double last_ = -1.0;
};

/// Scan-to-verdict latency, matched from four streams: the clouds, the
/// mapper's "Inserting <width>" line for each cloud it inserted, the maps and
/// the monitor's verdicts. The mapper publishes a tree before it inserts the
/// cloud that closed the tree's window, so a cloud is in the first map
/// published after its "Inserting" line; the map's stamp (the mapper's clock at
/// publication) decides that even when the line overtakes the map on the way.
/// A cloud's latency runs from its stamp to the arrival of the first verdict
/// after that map.
class LatencyMatcher
{
public:
  void onCloud(double received, double stamp, std::uint32_t width);
  void onInserted(double received, std::uint32_t width);
  void onMap(double received, double stamp);
  void onVerdict(double received);
  /// Lets go of the clouds still waiting for a map, or for a verdict: after a
  /// stage stood still they would measure the stall, not the chain.
  void forgetUnmapped();
  void forgetUnanswered();

  struct Figures
  {
    std::size_t samples = 0;
    double p50 = 0.0;  // s
    double p99 = 0.0;  // s
  };
  /// Percentiles (nearest rank) of the latencies whose verdict arrived in the `window` s before `now`.
  Figures figures(double now, double window) const;

  /// Kept for the tests: clouds waiting for their line, lines for their cloud, clouds waiting for their map.
  std::size_t waiting() const
  {
    return clouds_.size() + lines_.size() + inserted_.size() + mapped_.size();
  }

private:
  struct Cloud
  {
    double received;
    double stamp;
    std::uint32_t width;
    double inserted;  // arrival of its "Inserting" line
    double mapped;    // arrival of the map that holds it
  };
  struct Line
  {
    double received;
    std::uint32_t width;
  };
  void expire(double now);

  std::deque<Cloud> clouds_;                       // received, no line yet
  std::deque<Line> lines_;                         // a line that came before its cloud
  std::deque<Cloud> inserted_;                     // inserted, in no map yet
  std::deque<Cloud> mapped_;                       // in a map, no verdict yet
  std::deque<std::pair<double, double>> samples_;  // (verdict arrival, latency)
};

/// One line of /diagnostics: a level, a sentence, key/values.
struct Report
{
  Level level = Level::Stale;
  std::string message;
  std::vector<std::pair<std::string, std::string>> values;
};

/// The health of the chain, fed with what arrives on its topics.
class HealthState
{
public:
  explicit HealthState(const Settings& settings = Settings());

  void onCloud(double received, double stamp, std::uint32_t height, std::uint32_t width);
  void onInserted(double received, std::uint32_t width);
  void onMap(double received, double stamp);
  void onVerdict(double received, std::uint8_t value);  // the monitor's verdicts only
  void onVelocity(double received, bool healthy);
  void onGps(double received, int health);
  void onGuard(double received, std::uint8_t value);

  Report lidar(double now) const;
  Report map(double now) const;
  Report verdicts(double now) const;
  Report vehicle(double now) const;

  /// The fail-safe must hold the aircraft while clouds, maps or verdicts have
  /// stopped (ERROR), or have not begun (STALE: no flying blind from the start).
  /// `reason` names the stages, when asked for.
  bool failsafeWanted(double now, std::string* reason = nullptr) const;

  /// The worst scan-to-verdict latency the design allows: the map window, one
  /// scan period and five velocity periods, with the periods as measured (the
  /// expected LiDAR period while none is measured).
  double structuralBound() const;
  LatencyMatcher::Figures latency(double now) const
  {
    return matcher_.figures(now, settings_.latencyWindow);
  }
  const Settings& settings() const
  {
    return settings_;
  }

private:
  double scanPeriod() const;
  double expectedMapRate() const;

  Settings settings_;
  Arrivals clouds_, inserted_, maps_, verdicts_, velocity_, healthyVelocity_, gps_;
  std::uint64_t cloudPoints_ = 0;  // of the last cloud
  double cloudRunStart_ = -1.0;    // first cloud after a gap
  double healthyRunStart_ = -1.0;  // first healthy velocity after a gap
  bool lastVelocityHealthy_ = false;
  int gpsHealth_ = 0;
  int lastVerdict_ = -1;
  int guard_ = -1;
  LatencyMatcher matcher_;
};
}  // namespace watchdog

#endif  // ZYR_COLLISION_AVOIDANCE_WATCHDOG_STATE_H
