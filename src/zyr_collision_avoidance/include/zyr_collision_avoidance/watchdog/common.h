// What every stage of the health watchdog shares: the levels and reports of
// /diagnostics, the settings, the design's constants the judgements follow
// from, and the arrival times of one stream. Every time is in seconds on the
// watchdog's one clock (monotonic on an aircraft, the simulated clock on a
// replay), so the tests can feed synthetic times.
#ifndef ZYR_COLLISION_AVOIDANCE_WATCHDOG_COMMON_H
#define ZYR_COLLISION_AVOIDANCE_WATCHDOG_COMMON_H

#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "zyr_collision_avoidance/map_constants.h"

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

/// The stages, as their statuses are named on /diagnostics (after "<node>: ")
/// and in the fail-safe's reason.
constexpr const char* kLidarStage = "LiDAR clouds";
constexpr const char* kMapStage = "Occupancy map";
constexpr const char* kVerdictStage = "Collision verdicts";
constexpr const char* kVehicleStage = "Vehicle state";
constexpr const char* kNodesStage = "Nodes";

struct Settings
{
  double staleAfter = 0.5;              // s without a message before a stage counts as stopped
  double lidarRate = 10.0;              // Hz the LiDAR is expected to deliver
  std::uint32_t minCloudPoints = 1000;  // fewer points in a cloud: the LiDAR is blocked or failing
  double minVelocityRate = 20.0;        // Hz; below it the verdicts (every fifth message) come too seldom
  double rateWindow = 2.0;              // s over which rates are measured
  double latencyWindow = 10.0;          // s over which the latency percentiles are taken
  double latencyMargin = 0.05;          // s the p99 may exceed the structural bound before it warns
  bool guarded = false;                 // guarded_flight is among the nodes started with the watchdog
  // Clouds without a point within the mapper's insertion radius count as blind: the map they make is empty
  // whatever lies ahead. False: only clouds without a finite point do, for flight so high above the ground that
  // the LiDAR's lowest ring meets it beyond that radius.
  bool nearPointsRequired = true;
};

/// The design's constants that the watchdog's judgements follow from.
constexpr double kMapWindow = occupancy_mapping::kWindowNanoseconds * 1e-9;  // s the mapper collects clouds
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

/// One line of /diagnostics: a level, a sentence, key/values.
struct Report
{
  Level level = Level::Stale;
  std::string message;
  std::vector<std::pair<std::string, std::string>> values;
};

// The wording shared by the stages' reports.
std::string fixed(double value, int decimals);
std::string format(const char* pattern, double a, double b = 0.0, double c = 0.0);
/// WARN with `text`, beside the warnings already there; nothing on an ERROR.
void addWarning(Report& report, const std::string& text);
/// ERROR with `text`, beside the errors already there (warnings give way).
void addError(Report& report, const std::string& text);
/// A stream's level before its warnings: STALE before its first message,
/// ERROR once none came for `staleAfter` ("no <what> for 0.62 s"), else OK;
/// false when it does not flow.
bool flowing(const Arrivals& a, double now, double staleAfter, const char* what, Report& r);
std::string ageText(const Arrivals& a, double now);
}  // namespace watchdog

#endif  // ZYR_COLLISION_AVOIDANCE_WATCHDOG_COMMON_H
