#include "zyr_collision_avoidance/watchdog_state.h"

namespace watchdog
{
HealthState::HealthState(const Settings& settings)
    : settings_(settings), lidar_(settings), map_(settings), verdicts_(settings), vehicle_(settings)
{
}

void HealthState::onCloud(double received, double stamp, std::uint32_t width, const CloudContent& content)
{
  // The tree still open when the clouds stopped goes out only now.
  if (lidar_.beginsRun(received))
    matcher_.forgetUnmapped();
  lidar_.onCloud(received, content);
  matcher_.onCloud(received, stamp, width);
}

void HealthState::onInserted(double received, std::uint32_t width)
{
  lidar_.onInserted(received);
  matcher_.onInserted(received, width);
}

void HealthState::onMap(double received, double stamp)
{
  map_.onMap(received);
  matcher_.onMap(received, stamp);
}

void HealthState::onVerdict(double received, std::uint8_t value)
{
  // The first verdict after a silence (no velocity yet, a monitor that stood
  // still) answers maps that waited for it.
  if (verdicts_.endsSilence(received))
    matcher_.forgetUnanswered();
  verdicts_.onVerdict(received, value);
  matcher_.onVerdict(received);
}

void HealthState::onVelocity(double received, bool healthy)
{
  vehicle_.onVelocity(received, healthy);
}

void HealthState::onGps(double received, int health)
{
  vehicle_.onGps(received, health);
}

void HealthState::onGuard(double received, std::uint8_t value)
{
  vehicle_.onGuard(received, value);
}

double HealthState::structuralBound() const
{
  double velocityPeriod = vehicle_.healthyVelocity().meanInterval();
  if (velocityPeriod <= 0.0)
    velocityPeriod =
        vehicle_.velocity().meanInterval() > 0.0 ? vehicle_.velocity().meanInterval() : 1.0 / settings_.minVelocityRate;
  return kMapWindow + lidar_.scanPeriod() + kVelocityPerVerdict * velocityPeriod;
}

Report HealthState::lidar(double now) const
{
  return lidar_.report(now);
}

Report HealthState::map(double now) const
{
  return map_.report(now, lidar_);
}

Report HealthState::verdicts(double now) const
{
  return verdicts_.report(now, vehicle_, latency(now), structuralBound());
}

Report HealthState::vehicle(double now) const
{
  return vehicle_.report(now);
}

FailsafeDecision HealthState::failsafe(double now) const
{
  FailsafeDecision d;
  d.consider(kLidarStage, lidar(now));
  d.consider(kMapStage, map(now));
  d.consider(kVerdictStage, verdicts(now));
  // Without the guard nothing acts on the verdicts that the velocity would bring.
  if (vehicle_.underGuard())
    d.consider(kVehicleStage, vehicle(now));
  return d;
}

bool HealthState::failsafeWanted(double now, std::string* reason) const
{
  const FailsafeDecision d = failsafe(now);
  if (reason)
    *reason += d.reason();
  return d.holds();
}
}  // namespace watchdog
