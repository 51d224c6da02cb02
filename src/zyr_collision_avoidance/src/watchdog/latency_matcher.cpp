#include "zyr_collision_avoidance/watchdog/latency_matcher.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace watchdog
{
namespace
{
// How long the matcher waits for what completes a cloud's record before it
// lets the cloud go: its "Inserting" line (the mapper's tf filter may hold a
// cloud a while), a line for its cloud, a map, a verdict.
constexpr double kLineWait = 2.0;
constexpr double kEarlyLineWait = 0.25;
constexpr double kMapWait = 5.0;
constexpr double kSampleKeep = 60.0;
// A map stamp further than this from its arrival comes from a clock that is
// not the watchdog's; arrival order decides then.
constexpr double kStampAhead = 0.05;
constexpr double kStampBehind = 1.0;
}  // namespace

void LatencyMatcher::onCloud(double received, double stamp, std::uint32_t width)
{
  expire(received);
  auto line = std::find_if(lines_.begin(), lines_.end(), [&](const Line& l) { return l.width == width; });
  if (line == lines_.end())
  {
    clouds_.push_back(Cloud{received, stamp, width, -1.0, -1.0});
    return;
  }
  // The mapper got to this cloud before the watchdog did. Clouds still without
  // a line are older than it: the mapper skipped them.
  inserted_.push_back(Cloud{received, stamp, width, line->received, -1.0});
  lines_.erase(lines_.begin(), line + 1);
  clouds_.clear();
}

void LatencyMatcher::onInserted(double received, std::uint32_t width)
{
  expire(received);
  auto cloud = std::find_if(clouds_.begin(), clouds_.end(), [&](const Cloud& c) { return c.width == width; });
  if (cloud == clouds_.end())
  {
    lines_.push_back(Line{received, width});
    return;
  }
  // The mapper takes the clouds in order: older clouds still without a line were skipped.
  cloud->inserted = received;
  inserted_.push_back(*cloud);
  clouds_.erase(clouds_.begin(), cloud + 1);
}

void LatencyMatcher::onMap(double received, double stamp)
{
  expire(received);
  const bool stampUsable = stamp <= received + kStampAhead && stamp >= received - kStampBehind;
  const double cut = stampUsable ? stamp : received;
  auto in = std::stable_partition(inserted_.begin(), inserted_.end(), [&](const Cloud& c) { return c.inserted < cut; });
  for (auto it = inserted_.begin(); it != in; ++it)
  {
    it->mapped = received;
    mapped_.push_back(*it);
  }
  inserted_.erase(inserted_.begin(), in);
}

void LatencyMatcher::onVerdict(double received)
{
  expire(received);
  auto answered =
      std::stable_partition(mapped_.begin(), mapped_.end(), [&](const Cloud& c) { return c.mapped < received; });
  for (auto it = mapped_.begin(); it != answered; ++it)
    samples_.emplace_back(received, received - it->stamp);
  mapped_.erase(mapped_.begin(), answered);
  while (!samples_.empty() && samples_.front().first < received - kSampleKeep)
    samples_.pop_front();
}

void LatencyMatcher::expire(double now)
{
  while (!clouds_.empty() && clouds_.front().received < now - kLineWait)
    clouds_.pop_front();
  while (!lines_.empty() && lines_.front().received < now - kEarlyLineWait)
    lines_.pop_front();
  while (!inserted_.empty() && inserted_.front().inserted < now - kMapWait)
    inserted_.pop_front();
  while (!mapped_.empty() && mapped_.front().mapped < now - kMapWait)
    mapped_.pop_front();
}

void LatencyMatcher::forgetUnmapped()
{
  clouds_.clear();
  lines_.clear();
  inserted_.clear();
}

void LatencyMatcher::forgetUnanswered()
{
  mapped_.clear();
}

LatencyMatcher::Figures LatencyMatcher::figures(double now, double window) const
{
  std::vector<double> latencies;
  for (const auto& s : samples_)
    if (s.first > now - window)
      latencies.push_back(s.second);
  Figures f;
  f.samples = latencies.size();
  if (latencies.empty())
    return f;
  std::sort(latencies.begin(), latencies.end());
  const auto rank = [&](double p)
  {
    // Nearest rank: the smallest value with at least p of the samples at or below it.
    const auto r = static_cast<std::size_t>(std::ceil(p * static_cast<double>(latencies.size())));
    return latencies[std::min(latencies.size() - 1, r == 0 ? 0 : r - 1)];
  };
  f.p50 = rank(0.5);
  f.p99 = rank(0.99);
  return f;
}
}  // namespace watchdog
