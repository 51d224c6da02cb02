#include "zyr_collision_avoidance/watchdog/vehicle_stages.h"

#include <algorithm>
#include <string>

namespace watchdog
{
namespace
{
const char* statusName(int value)
{
  return value < 0 ? "none yet" : value == 0 ? "clear" : value == 1 ? "DANGER" : "other";
}
}  // namespace

// -------------------------------------------------------------- VehicleStage
VehicleStage::VehicleStage(const Settings& settings)
    : settings_(settings),
      velocity_(settings.rateWindow),
      healthyVelocity_(settings.rateWindow),
      gps_(settings.rateWindow)
{
}

void VehicleStage::onVelocity(double received, bool healthy)
{
  if (!velocity_.any() || received - velocity_.last() > settings_.staleAfter)
    velocityRunStart_ = received;
  velocity_.add(received);
  lastVelocityHealthy_ = healthy;
  if (!healthy)
    return;
  if (!healthyVelocity_.any() || received - healthyVelocity_.last() > settings_.staleAfter)
    healthyRunStart_ = received;
  healthyVelocity_.add(received);
}

void VehicleStage::onGps(double received, int health)
{
  gps_.add(received);
  gpsHealth_ = health;
}

void VehicleStage::onGuard(double, std::uint8_t value)
{
  guard_ = value;
}

double VehicleStage::unhealthyFor(double now) const
{
  if (!velocity_.any() || lastVelocityHealthy_)
    return 0.0;
  const bool healthyInRun = healthyVelocity_.any() && healthyVelocity_.last() >= velocityRunStart_;
  return std::max(0.0, now - (healthyInRun ? healthyVelocity_.last() : velocityRunStart_));
}

Report VehicleStage::report(double now) const
{
  Report r;
  r.values = {{"rate (Hz)", fixed(velocity_.rate(now), 1)},
              {"age (s)", ageText(velocity_, now)},
              {"health_flag (last)", velocity_.any() ? std::to_string(lastVelocityHealthy_ ? 1 : 0) : "none yet"},
              {"healthy velocity age (s)", ageText(healthyVelocity_, now)},
              {"GPS health (last)", gps_.any() ? std::to_string(gpsHealth_) : "none yet"},
              {"GPS rate (Hz)", fixed(gps_.rate(now), 1)},
              {"GPS age (s)", ageText(gps_, now)},
              {"under guarded_flight's control", underGuard() ? "yes" : "no"}};
  if (!flowing(velocity_, now, settings_.staleAfter, "velocity", r))
    return r;
  const double unhealthy = unhealthyFor(now);
  if (unhealthy > settings_.staleAfter)
  {
    if (underGuard())
      addError(r, format("velocity flagged unhealthy (health_flag 0) for %.2f s", unhealthy));
    else
      addWarning(r, "velocity flagged unhealthy (health_flag 0): the monitor skips every message");
  }
  if (velocity_.rateSettled(now) && velocity_.rate(now) < settings_.minVelocityRate)
    addWarning(r, format("velocity at %.1f Hz, below %.0f Hz: a verdict comes every fifth message", velocity_.rate(now),
                         settings_.minVelocityRate));
  // GPS may come slower than the other streams; a second without it is still news.
  const double gpsStale = std::max(1.0, settings_.staleAfter);
  if (!gps_.any())
    addWarning(r, "no GPS position yet: guarded_flight sends no command before the first");
  else if (gps_.age(now) > gpsStale)
    addWarning(r, format("no GPS position for %.1f s: guarded_flight goes by the last health", gps_.age(now)));
  else if (gpsHealth_ <= 2)
    addWarning(r, format("poor GPS (health %.0f): guarded_flight withholds every command", gpsHealth_));
  if (r.message.empty())
    r.message = "velocity and GPS flowing";
  return r;
}

// -------------------------------------------------------------- VerdictStage
VerdictStage::VerdictStage(const Settings& settings) : settings_(settings), verdicts_(settings.rateWindow) {}

bool VerdictStage::endsSilence(double received) const
{
  return !verdicts_.any() || received - verdicts_.last() > settings_.staleAfter;
}

void VerdictStage::onVerdict(double received, std::uint8_t value)
{
  verdicts_.add(received);
  lastVerdict_ = value;
}

Report VerdictStage::report(double now, const VehicleStage& vehicle, const LatencyMatcher::Figures& f,
                            double bound) const
{
  Report r;
  const Arrivals& velocity = vehicle.velocity();
  const Arrivals& healthy = vehicle.healthyVelocity();
  const double expected = healthy.rate(now) / kVelocityPerVerdict;
  r.values = {{"rate (Hz)", fixed(verdicts_.rate(now), 1)},
              {"age (s)", ageText(verdicts_, now)},
              {"expected rate (Hz)", fixed(expected, 1)},
              {"last verdict", statusName(lastVerdict_)},
              {"scan-to-verdict p50 (ms)", f.samples ? fixed(1000.0 * f.p50, 0) : "none"},
              {"scan-to-verdict p99 (ms)", f.samples ? fixed(1000.0 * f.p99, 0) : "none"},
              {"latency samples", std::to_string(f.samples)},
              {"structural bound (ms)", fixed(1000.0 * bound, 0)},
              {"guarded_flight", vehicle.guard() < 0    ? "no status yet"
                                 : vehicle.guard() == 1 ? "DANGER latched"
                                                        : "clear"}};

  if (!vehicle.healthyFlowing(now))
  {
    // The monitor answers healthy velocity only: its silence is expected here
    // (the vehicle stage says whether that holds the aircraft).
    const bool velocityFlowing = velocity.any() && velocity.age(now) <= settings_.staleAfter;
    const std::string why = velocityFlowing  ? "velocity flagged unhealthy, the monitor skips every message"
                            : velocity.any() ? format("no velocity for %.2f s", velocity.age(now))
                                             : std::string("no velocity yet");
    if (!verdicts_.any())
    {
      r.message = "no verdict yet (" + why + ")";
      return r;
    }
    addWarning(r, "no verdicts: " + why);
    return r;
  }
  const double due = std::max(verdicts_.any() ? verdicts_.last() : -1.0, vehicle.healthyRunStart());
  if (now - due > settings_.staleAfter)
  {
    addError(r, verdicts_.any()
                    ? format("no verdict for %.2f s although healthy velocity flows", now - verdicts_.last())
                    : format("no verdict yet, %.2f s after healthy velocity began", now - vehicle.healthyRunStart()));
    return r;
  }
  if (!verdicts_.any())
  {
    r.message = "no verdict yet";
    return r;
  }
  r.level = Level::Ok;
  if (verdicts_.rateSettled(now) && healthy.rateSettled(now) && verdicts_.rate(now) < kRateTolerance * expected)
    addWarning(r, format("verdicts at %.1f Hz, expected %.1f Hz", verdicts_.rate(now), expected));
  if (f.samples > 0 && f.p99 > bound + settings_.latencyMargin)
    addWarning(r, format("scan-to-verdict p99 of %.0f ms exceeds the bound of %.0f ms by more than %.0f ms: "
                         "the computer is overloaded",
                         1000.0 * f.p99, 1000.0 * bound, 1000.0 * settings_.latencyMargin));
  if (r.message.empty())
    r.message = "verdicts flowing";
  return r;
}
}  // namespace watchdog
