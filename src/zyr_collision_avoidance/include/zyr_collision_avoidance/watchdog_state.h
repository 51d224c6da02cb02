// What the health watchdog decides without a ROS graph: how healthy each stage
// of the chain is (LiDAR clouds, occupancy map, collision verdicts, vehicle
// state), whether the fail-safe must hold the aircraft, and how long a LiDAR
// scan takes to reach a verdict. Every input is an event with its time in
// seconds on the watchdog's one clock, so the tests can feed synthetic times;
// the stages themselves are in watchdog/.
#ifndef ZYR_COLLISION_AVOIDANCE_WATCHDOG_STATE_H
#define ZYR_COLLISION_AVOIDANCE_WATCHDOG_STATE_H

#include <cstdint>
#include <string>

#include "zyr_collision_avoidance/watchdog/cloud_content.h"
#include "zyr_collision_avoidance/watchdog/common.h"
#include "zyr_collision_avoidance/watchdog/failsafe.h"
#include "zyr_collision_avoidance/watchdog/latency_matcher.h"
#include "zyr_collision_avoidance/watchdog/stream_stages.h"
#include "zyr_collision_avoidance/watchdog/vehicle_stages.h"

namespace watchdog
{
/// The health of the chain, fed with what arrives on its topics.
class HealthState
{
public:
  explicit HealthState(const Settings& settings = Settings());

  /// `stamp`: the cloud's header stamp, brought onto the watchdog's clock.
  void onCloud(double received, double stamp, std::uint32_t width, const CloudContent& content);
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

  /// The fail-safe holds the aircraft while clouds, maps or verdicts have
  /// stopped or say nothing (ERROR), or have not begun (STALE: no flying blind
  /// from the start); and, while guarded_flight flies it, while the velocity
  /// the verdicts need has stopped or is flagged unhealthy.
  FailsafeDecision failsafe(double now) const;
  /// failsafe(now).holds(), with its reason when asked for.
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
  Settings settings_;
  LidarStage lidar_;
  MapStage map_;
  VerdictStage verdicts_;
  VehicleStage vehicle_;
  LatencyMatcher matcher_;
};
}  // namespace watchdog

#endif  // ZYR_COLLISION_AVOIDANCE_WATCHDOG_STATE_H
