// The scan-to-verdict latency of the health watchdog, matched from the
// arrival times of four streams. ROS-free: every time is in seconds on the
// watchdog's clock.
#ifndef ZYR_COLLISION_AVOIDANCE_WATCHDOG_LATENCY_MATCHER_H
#define ZYR_COLLISION_AVOIDANCE_WATCHDOG_LATENCY_MATCHER_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <utility>

namespace watchdog
{
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
}  // namespace watchdog

#endif  // ZYR_COLLISION_AVOIDANCE_WATCHDOG_LATENCY_MATCHER_H
