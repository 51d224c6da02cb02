// When the incident recorder opens and closes an incident, and what it keeps
// for it, in terms of reception times alone (seconds of ROS time): the hold
// state machine and the rolling buffer, without a ROS graph.
#ifndef ZYR_INCIDENT_RECORDER_INCIDENT_TIMELINE_H
#define ZYR_INCIDENT_RECORDER_INCIDENT_TIMELINE_H

#include <boost/optional.hpp>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "zyr_incident_recorder/incident_rules.h"

namespace incident_rules
{
/// The watchdog repeats its danger every 0.1 s while its fail-safe holds; five
/// missed repeats in a row mean that the hold is over (or that the watchdog
/// is gone, which ends its hold as well).
constexpr double kFailsafeRepeatGap = 0.5;

/// Seconds backwards that start a new time line (a bag played again); small
/// steps of the wall clock are not one.
constexpr double kClockJump = 1.0;

/// One incident as the timeline sees it: the times of its recording and what
/// opened it.
struct Incident
{
  double first = 0.0;  // the first danger
  double start = 0.0;  // first - before, never before zero
  double end = 0.0;    // first + after
  int dangers = 1;     // dangers folded into it
  Cause cause = Cause::Monitor;
  std::string publisher;             // of the first danger
  std::string reason;                // the fail-safe's reason; empty: not known
  boost::optional<double> released;  // the guard let go before the incident was written
};

/// Follows the verdicts, the guard's gated status, the watchdog's fail-safe
/// and the maps, and decides which dangers become incidents:
///  - a danger opens an incident and records `after` seconds more; dangers
///    within that time are folded into it;
///  - one hold, one incident: while the guard stays latched, or the
///    watchdog's fail-safe keeps holding, after an incident, further dangers
///    belong to that incident (a verdict stream that flickers during the hold
///    would otherwise write an incident a second and push out the one that
///    explains the stop);
///  - a fail-safe hold that began before the first map arrived (the loop
///    coming up) is no incident, for as long as it lasts: there is nothing
///    to show in it;
///  - the guard's release after the first danger gives how long it withheld
///    the commands.
class Timeline
{
public:
  Timeline(double before, double after) : before_(before), after_(after) {}

  /// A value on collision_info_msg; `failsafe` when the watchdog sent it.
  void onVerdict(double t, std::uint8_t value, bool failsafe, const std::string& publisher);
  /// The guard's gated status. Returns `t` when this value is the guard's
  /// release of a hold.
  boost::optional<double> onGuard(double t, std::uint8_t value);
  /// The watchdog's fail-safe reason ("" while it does not hold).
  void onFailsafeReason(const std::string& reason);
  /// A map: the loop is up.
  void onMap();

  /// The incident whose recording is over at `now`; it is then closed.
  boost::optional<Incident> finished(double now);
  /// Closes the recording at once (the node stops, the clock went back),
  /// ending it at `now`.
  boost::optional<Incident> finishNow(double now);
  /// The clock went back: holds and the fail-safe's repeats belong to the old
  /// time line. The loop stays up.
  void restart();

  const boost::optional<Incident>& pending() const
  {
    return pending_;
  }
  /// The oldest reception time still needed at `now`.
  double keepFrom(double now) const;

private:
  bool held(double t) const
  {
    return guardLatched_ || t < failsafeUntil_;
  }
  // A hold ends when the guard lets go and the watchdog's repeats have
  // lapsed; one begins when either starts. An incident still recording when
  // a hold begins covers it: the guard latches on the very danger that
  // opened it.
  void endHoldIfOver(double t);
  void beginHoldIfHeld(double t);
  void onDanger(double t, bool failsafe, const std::string& publisher);
  Incident takePending();

  double before_;
  double after_;
  boost::optional<Incident> pending_;
  DangerEdges edges_;
  bool guardLatched_ = false;
  double failsafeUntil_ = -std::numeric_limits<double>::infinity();
  bool inHold_ = false;
  bool holdCovered_ = false;  // an incident covers the current hold
  bool bootHold_ = false;     // the current hold began before the loop was up
  bool loopUp_ = false;
  std::string reason_;
};

/// The messages of the last seconds, in reception order. Entries with a
/// `state` key (maps, the fail-safe's reason) stay in force until the next
/// one of the same key: the last of each that leaves the buffer is kept, so
/// that a window can begin with what was in force at its start.
template <class Payload>
class MessageBuffer
{
public:
  static constexpr int kNoState = -1;

  struct Entry
  {
    double time;
    int state;
    Payload payload;
  };

  bool empty() const
  {
    return entries_.empty();
  }
  double lastTime() const
  {
    return entries_.empty() ? -std::numeric_limits<double>::infinity() : entries_.back().time;
  }
  /// True when `t` lies so far before the newest entry that a new time line began.
  bool jumpsBack(double t) const
  {
    return !entries_.empty() && t + kClockJump < entries_.back().time;
  }

  void push(double time, int state, Payload payload)
  {
    entries_.push_back(Entry{time, state, std::move(payload)});
  }

  /// Drops what was received before `from`.
  void trim(double from)
  {
    while (!entries_.empty() && entries_.front().time < from)
    {
      if (entries_.front().state != kNoState)
        before_[entries_.front().state] = entries_.front();
      entries_.pop_front();
    }
  }

  /// The entries received from `start` through `end`, preceded by the state
  /// entries in force at `start`, which are given the time `start`.
  std::vector<Entry> window(double start, double end) const
  {
    std::map<int, Entry> inForce = before_;
    auto from = entries_.begin();
    for (; from != entries_.end() && from->time < start; ++from)
    {
      if (from->state != kNoState)
        inForce[from->state] = *from;
    }
    std::vector<Entry> out;
    for (auto& kv : inForce)
    {
      out.push_back(kv.second);
      out.back().time = start;
    }
    for (auto it = from; it != entries_.end() && it->time <= end; ++it)
      out.push_back(*it);
    return out;
  }

  void clear()
  {
    entries_.clear();
    before_.clear();
  }

private:
  std::deque<Entry> entries_;
  std::map<int, Entry> before_;
};
}  // namespace incident_rules

#endif  // ZYR_INCIDENT_RECORDER_INCIDENT_TIMELINE_H
