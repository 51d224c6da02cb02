// Which dangers become incidents, and what an incident's bag holds, on
// synthetic reception times.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "zyr_incident_recorder/incident_timeline.h"

namespace
{
using incident_rules::Cause;
using incident_rules::Incident;
using incident_rules::Timeline;

constexpr double kBefore = 3.0;
constexpr double kAfter = 1.0;
const char* const kMonitor = "/collision_monitor";
const char* const kWatchdog = "/avoidance_watchdog";

struct Event
{
  double t;
  char kind;  // V monitor verdict, W watchdog's danger, G guard, R fail-safe reason, M map
  int value;
  std::string reason;
};

std::vector<Event> operator+(std::vector<Event> a, const std::vector<Event>& b)
{
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Event verdict(double t, int v)
{
  return {t, 'V', v, ""};
}
Event guard(double t, int v)
{
  return {t, 'G', v, ""};
}
Event map(double t)
{
  return {t, 'M', 0, ""};
}
Event reason(double t, const std::string& text)
{
  return {t, 'R', 0, text};
}

// A fail-safe hold from `from` to `to`: the watchdog's danger every 0.1 s,
// and between them the monitor still answering "clear" from a stale map.
std::vector<Event> failsafeHold(double from, double to)
{
  std::vector<Event> events;
  for (double t = from; t < to; t += 0.1)
  {
    events.push_back({t, 'W', 1, ""});
    events.push_back(verdict(t + 0.05, 0));
  }
  return events;
}

// Feeds the events in order, asking for finished incidents at each and at `until`.
std::vector<Incident> play(Timeline& timeline, const std::vector<Event>& events, double until)
{
  std::vector<Incident> incidents;
  for (const Event& e : events)
  {
    if (auto done = timeline.finished(e.t))
      incidents.push_back(*done);
    const auto value = static_cast<std::uint8_t>(e.value);
    if (e.kind == 'V')
      timeline.onVerdict(e.t, value, false, kMonitor);
    else if (e.kind == 'W')
      timeline.onVerdict(e.t, value, true, kWatchdog);
    else if (e.kind == 'G')
      timeline.onGuard(e.t, value);
    else if (e.kind == 'R')
      timeline.onFailsafeReason(e.reason);
    else
      timeline.onMap();
  }
  if (auto done = timeline.finished(until))
    incidents.push_back(*done);
  return incidents;
}

std::vector<Incident> play(const std::vector<Event>& events, double until)
{
  Timeline timeline(kBefore, kAfter);
  return play(timeline, events, until);
}

std::vector<double> firsts(const std::vector<Incident>& incidents)
{
  std::vector<double> out;
  for (const Incident& i : incidents)
    out.push_back(i.first);
  return out;
}
}  // namespace

TEST(IncidentTimeline, WhichDangersOpenAnIncident)
{
  const std::vector<Event> up = {map(0.0)};
  struct Case
  {
    const char* what;
    std::vector<Event> events;
    std::vector<double> firsts;
  };
  const std::vector<Case> cases = {
      {"dangers within `after` are folded into the first",
       up +
           std::vector<Event>{verdict(10.0, 1), verdict(10.2, 0), verdict(10.5, 1), verdict(10.6, 0), verdict(12.0, 1)},
       {10.0, 12.0}},
      {"while the guard holds, the incident that covers its stop is the only one",
       up + std::vector<Event>{verdict(10.0, 1), guard(10.0, 1), verdict(10.2, 0), verdict(12.0, 1), verdict(12.1, 0),
                               verdict(14.0, 1), verdict(14.1, 0), guard(15.0, 0), verdict(16.0, 1)},
       {10.0, 16.0}},
      {"without a guard, a fail-safe hold with a flickering monitor is one incident",
       up + failsafeHold(10.0, 20.0) + failsafeHold(22.0, 23.0),
       {10.0, 22.0}},
      {"a fail-safe hold while the loop comes up is none, also once maps flow",
       failsafeHold(0.0, 2.0) + std::vector<Event>{map(2.0)} + failsafeHold(2.05, 4.0),
       {}},
      {"a monitor's danger during that hold is one",
       failsafeHold(0.0, 2.0) + std::vector<Event>{map(2.0), verdict(2.12, 1), verdict(2.2, 0)},
       {2.12}},
      {"a fail-safe hold after the boot hold is one",
       failsafeHold(0.0, 2.0) + std::vector<Event>{map(2.0)} + failsafeHold(5.0, 6.0),
       {5.0}},
      {"the boot hold lasts as long as the guard it latched",
       failsafeHold(0.0, 2.0) + std::vector<Event>{guard(0.0, 1), map(2.0)} + failsafeHold(5.0, 6.0) +
           std::vector<Event>{guard(7.0, 0)} + failsafeHold(8.0, 9.0),
       {8.0}},
  };
  for (const Case& c : cases)
  {
    const auto incidents = play(c.events, 100.0);
    EXPECT_EQ(firsts(incidents), c.firsts) << c.what;
  }
}

TEST(IncidentTimeline, AnIncidentKnowsItsWindowDangersCauseAndRelease)
{
  const auto monitor = play({map(0.0), verdict(10.0, 1), guard(10.0, 1), verdict(10.1, 0), verdict(10.4, 1),
                             verdict(10.5, 0), guard(10.8, 0)},
                            100.0);
  ASSERT_EQ(monitor.size(), 1u);
  EXPECT_DOUBLE_EQ(monitor[0].start, 10.0 - kBefore);
  EXPECT_DOUBLE_EQ(monitor[0].end, 10.0 + kAfter);
  EXPECT_EQ(monitor[0].dangers, 2);
  EXPECT_EQ(monitor[0].cause, Cause::Monitor);
  EXPECT_EQ(monitor[0].publisher, kMonitor);
  EXPECT_TRUE(monitor[0].reason.empty());
  ASSERT_TRUE(monitor[0].released) << "the guard let go before the incident was written";
  EXPECT_DOUBLE_EQ(*monitor[0].released, 10.8);

  // The watchdog names its reason just after its first danger.
  const auto failsafe =
      play(std::vector<Event>{map(0.0), reason(0.0, "")} + failsafeHold(1.0, 1.1) +
               std::vector<Event>{reason(1.02, "LiDAR clouds: no cloud for 0.62 s")} + failsafeHold(1.1, 3.0),
           100.0);
  ASSERT_EQ(failsafe.size(), 1u);
  EXPECT_DOUBLE_EQ(failsafe[0].start, 0.0) << "never before the clock's start";
  EXPECT_EQ(failsafe[0].cause, Cause::Failsafe);
  EXPECT_EQ(failsafe[0].publisher, kWatchdog);
  EXPECT_EQ(failsafe[0].reason, "LiDAR clouds: no cloud for 0.62 s");
  EXPECT_FALSE(failsafe[0].released);
}

TEST(IncidentTimeline, ARecordingCutShortOrFromAnotherTimeLine)
{
  Timeline timeline(kBefore, kAfter);
  play(timeline, {map(0.0), verdict(10.0, 1), guard(10.0, 1)}, 10.3);
  const auto cut = timeline.finishNow(10.3);
  ASSERT_TRUE(cut);
  EXPECT_DOUBLE_EQ(cut->end, 10.3);
  EXPECT_FALSE(timeline.finishNow(10.4));
  EXPECT_DOUBLE_EQ(timeline.keepFrom(20.0), 20.0 - kBefore);

  // The bag is played again: the old hold does not cover its dangers.
  timeline.restart();
  const auto replayed = play(timeline, {verdict(10.1, 0), verdict(10.2, 1)}, 100.0);
  EXPECT_EQ(firsts(replayed), std::vector<double>{10.2});
}

TEST(MessageBuffer, AWindowStartsWithWhatWasInForce)
{
  incident_rules::MessageBuffer<std::string> buffer;
  const int kMap = 0, kReason = 1, kNone = buffer.kNoState;
  buffer.push(1.0, kMap, "map1");
  buffer.push(1.5, kReason, "reason1");
  buffer.push(2.0, kNone, "a");
  buffer.push(3.0, kMap, "map2");
  buffer.push(4.0, kNone, "b");
  buffer.push(5.0, kNone, "c");
  buffer.trim(2.5);  // map1, reason1 and a leave the buffer

  std::vector<std::pair<double, std::string>> got;
  for (const auto& e : buffer.window(3.5, 4.0))
    got.emplace_back(e.time, e.payload);
  const std::vector<std::pair<double, std::string>> expected = {{3.5, "map2"}, {3.5, "reason1"}, {4.0, "b"}};
  EXPECT_EQ(got, expected);

  EXPECT_FALSE(buffer.jumpsBack(4.5)) << "a small step of the clock";
  EXPECT_TRUE(buffer.jumpsBack(3.0));
  buffer.clear();
  EXPECT_TRUE(buffer.window(0.0, 10.0).empty()) << "nothing of the old time line stays in force";
}
