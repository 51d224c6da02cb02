#include "zyr_incident_recorder/incident_timeline.h"

#include <algorithm>

namespace incident_rules
{
void Timeline::endHoldIfOver(double t)
{
  if (!inHold_ || held(t))
    return;
  inHold_ = false;
  holdCovered_ = false;
  bootHold_ = false;
}

void Timeline::beginHoldIfHeld(double t)
{
  if (inHold_ || !held(t))
    return;
  inHold_ = true;
  holdCovered_ = pending_.has_value();
  bootHold_ = !loopUp_;
}

void Timeline::onVerdict(double t, std::uint8_t value, bool failsafe, const std::string& publisher)
{
  endHoldIfOver(t);
  if (failsafe && value == 1)
  {
    failsafeUntil_ = t + kFailsafeRepeatGap;
    beginHoldIfHeld(t);
  }
  if (edges_.update(value))
    onDanger(t, failsafe, publisher);
}

void Timeline::onDanger(double t, bool failsafe, const std::string& publisher)
{
  if (pending_)
  {
    ++pending_->dangers;  // a burst makes one incident
    return;
  }
  if (failsafe && bootHold_)
    return;  // nothing to show yet
  if (held(t) && holdCovered_)
    return;
  holdCovered_ = true;
  Incident incident;
  incident.first = t;
  incident.start = std::max(t - before_, 0.0);
  incident.end = t + after_;
  incident.cause = failsafe ? Cause::Failsafe : Cause::Monitor;
  incident.publisher = publisher;
  if (failsafe)
    incident.reason = reason_;
  pending_ = incident;
}

boost::optional<double> Timeline::onGuard(double t, std::uint8_t value)
{
  endHoldIfOver(t);
  if (value == 1)
  {
    guardLatched_ = true;
    beginHoldIfHeld(t);
    return boost::none;
  }
  if (value != 0 || !guardLatched_)
    return boost::none;
  guardLatched_ = false;
  endHoldIfOver(t);
  if (pending_ && !pending_->released && pending_->first <= t)
    pending_->released = t;
  return t;
}

void Timeline::onFailsafeReason(const std::string& reason)
{
  reason_ = reason;
  // The watchdog may name its reason just after its first danger.
  if (pending_ && pending_->cause == Cause::Failsafe && pending_->reason.empty())
    pending_->reason = reason;
}

void Timeline::onMap()
{
  loopUp_ = true;
}

boost::optional<Incident> Timeline::finished(double now)
{
  if (!pending_ || now < pending_->end)
    return boost::none;
  return takePending();
}

boost::optional<Incident> Timeline::finishNow(double now)
{
  if (!pending_)
    return boost::none;
  pending_->end = std::max(pending_->first, std::min(pending_->end, now));
  return takePending();
}

Incident Timeline::takePending()
{
  Incident done = std::move(*pending_);
  pending_ = boost::none;
  return done;
}

void Timeline::restart()
{
  failsafeUntil_ = -std::numeric_limits<double>::infinity();
  inHold_ = guardLatched_;
  holdCovered_ = false;
  bootHold_ = false;
}

double Timeline::keepFrom(double now) const
{
  const double from = now - before_;
  return pending_ ? std::min(from, pending_->start) : from;
}
}  // namespace incident_rules
