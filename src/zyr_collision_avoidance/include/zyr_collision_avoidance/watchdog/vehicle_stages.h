// The watchdog's judgement of what the verdicts rest on and of the verdicts:
// the vehicle state (velocity, its health flag, GPS, whether guarded_flight
// flies the aircraft) and the monitor's verdicts with their latency.
#ifndef ZYR_COLLISION_AVOIDANCE_WATCHDOG_VEHICLE_STAGES_H
#define ZYR_COLLISION_AVOIDANCE_WATCHDOG_VEHICLE_STAGES_H

#include <cstdint>

#include "zyr_collision_avoidance/watchdog/common.h"
#include "zyr_collision_avoidance/watchdog/latency_matcher.h"

namespace watchdog
{
/// ERROR when no velocity came for `staleAfter`, and, while the aircraft is
/// under the guard's control, when the velocity has been flagged unhealthy
/// for longer than that: the monitor skips every unhealthy message, so no
/// verdict can come, and the guard would go on with the last one.
class VehicleStage
{
public:
  explicit VehicleStage(const Settings& settings);

  void onVelocity(double received, bool healthy);
  void onGps(double received, int health);
  /// guarded_flight's gated status (0 clear, 1 danger latched).
  void onGuard(double received, std::uint8_t value);

  Report report(double now) const;

  /// guarded_flight turns the sticks into commands: it was started with the
  /// watchdog (Settings::guarded), or its gated status has been heard.
  bool underGuard() const
  {
    return settings_.guarded || guard_ >= 0;
  }
  /// guarded_flight's last gated status; -1 before the first.
  int guard() const
  {
    return guard_;
  }
  /// Seconds for which the velocity has come flagged unhealthy only (since the
  /// last healthy message, or since it began to flow); 0 while the last is healthy.
  double unhealthyFor(double now) const;
  bool healthyFlowing(double now) const
  {
    return healthyVelocity_.any() && healthyVelocity_.age(now) <= settings_.staleAfter;
  }
  const Arrivals& velocity() const
  {
    return velocity_;
  }
  const Arrivals& healthyVelocity() const
  {
    return healthyVelocity_;
  }
  /// First healthy velocity after a gap; -1 before the first.
  double healthyRunStart() const
  {
    return healthyRunStart_;
  }

private:
  Settings settings_;
  Arrivals velocity_, healthyVelocity_, gps_;
  double velocityRunStart_ = -1.0;
  double healthyRunStart_ = -1.0;
  bool lastVelocityHealthy_ = false;
  int gpsHealth_ = 0;
  int guard_ = -1;
};

/// ERROR when no verdict came for `staleAfter` although healthy velocity
/// flows (a dead or silent monitor); WARN when verdicts come too seldom or
/// too late for the structural bound.
class VerdictStage
{
public:
  explicit VerdictStage(const Settings& settings);

  /// True when a verdict arriving at `received` ends a silence: it answers maps that waited for it.
  bool endsSilence(double received) const;
  void onVerdict(double received, std::uint8_t value);

  Report report(double now, const VehicleStage& vehicle, const LatencyMatcher::Figures& latency, double bound) const;

private:
  Settings settings_;
  Arrivals verdicts_;
  int lastVerdict_ = -1;
};
}  // namespace watchdog

#endif  // ZYR_COLLISION_AVOIDANCE_WATCHDOG_VEHICLE_STAGES_H
