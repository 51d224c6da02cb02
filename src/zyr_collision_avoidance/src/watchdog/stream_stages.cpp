#include "zyr_collision_avoidance/watchdog/stream_stages.h"

#include <algorithm>
#include <cmath>

namespace watchdog
{
// ---------------------------------------------------------------- LidarStage
LidarStage::LidarStage(const Settings& settings)
    : settings_(settings), clouds_(settings.rateWindow), inserted_(settings.rateWindow)
{
}

bool LidarStage::beginsRun(double received) const
{
  return !clouds_.any() || received - clouds_.last() > settings_.staleAfter;
}

void LidarStage::onCloud(double received, const CloudContent& content)
{
  const bool first = beginsRun(received);
  if (first)
    runStart_ = received;
  // A run begins with fresh data: what came before the gap is no yardstick.
  const bool fresh =
      first || content.dataBytes == 0 || content.dataBytes != last_.dataBytes || content.hash != last_.hash;
  if (fresh)
    lastFresh_ = received;
  if ((settings_.nearPointsRequired ? content.usable : content.finite) > 0)
    lastUsable_ = received;
  clouds_.add(received);
  last_ = content;
}

void LidarStage::onInserted(double received)
{
  inserted_.add(received);
}

double LidarStage::scanPeriod() const
{
  const double measured = clouds_.meanInterval();
  return measured > 0.0 ? measured : 1.0 / settings_.lidarRate;
}

std::string LidarStage::pointsProblem() const
{
  if (last_.points == 0)
    return "the last clouds hold no point";
  if (!last_.readable)
    return "the points of the last clouds cannot be read (no float32 x, y, z inside each point)";
  if (last_.finite == 0)
    return "every point of the last clouds is NaN";
  return "every point of the last clouds is out of range";
}

Report LidarStage::report(double now) const
{
  Report r;
  r.values = {{"rate (Hz)", fixed(clouds_.rate(now), 1)},
              {"age (s)", ageText(clouds_, now)},
              {"expected rate (Hz)", fixed(settings_.lidarRate, 1)},
              {"points (last cloud)", std::to_string(last_.points)},
              {"points the mapper inserts (last cloud)", std::to_string(last_.usable)},
              {"inserted by the mapper (Hz)", fixed(inserted_.rate(now), 1)},
              {"insertion age (s)", ageText(inserted_, now)}};
  if (!flowing(clouds_, now, settings_.staleAfter, "cloud", r))
    return r;
  // Both measured within the current run: the first cloud of a run counts as fresh.
  const double sinceUsable = now - std::max(lastUsable_, runStart_);
  if (sinceUsable > settings_.staleAfter)
    addError(r, pointsProblem());
  if (now - lastFresh_ > settings_.staleAfter)
    addError(r, "the clouds repeat the same points");
  if (r.level == Level::Error)
    return r;

  if (clouds_.rateSettled(now) && clouds_.rate(now) < kRateTolerance * settings_.lidarRate)
    addWarning(r, format("clouds at %.1f Hz, expected %.1f Hz", clouds_.rate(now), settings_.lidarRate));
  if (last_.points < settings_.minCloudPoints)
    addWarning(r, format("only %.0f points in the last cloud, fewer than %.0f: is the LiDAR blocked?",
                         static_cast<double>(last_.points), settings_.minCloudPoints));
  const double sinceInsertion = inserted_.any() ? inserted_.age(now) : now - runStart_;
  if (now - runStart_ > settings_.staleAfter && sinceInsertion > settings_.staleAfter)
    addWarning(r, format("the mapper has inserted no cloud for %.1f s", sinceInsertion));
  if (r.message.empty())
    r.message = "clouds flowing";
  return r;
}

// ------------------------------------------------------------------ MapStage
MapStage::MapStage(const Settings& settings) : settings_(settings), maps_(settings.rateWindow) {}

void MapStage::onMap(double received)
{
  maps_.add(received);
}

double MapStage::expectedRate(const LidarStage& lidar) const
{
  const double period = lidar.scanPeriod();
  return 1.0 / ((std::floor(kMapWindow / period) + 1.0) * period);
}

Report MapStage::report(double now, const LidarStage& lidar) const
{
  Report r;
  const double expected = expectedRate(lidar);
  r.values = {{"rate (Hz)", fixed(maps_.rate(now), 1)},
              {"age (s)", ageText(maps_, now)},
              {"expected rate (Hz)", fixed(expected, 1)}};
  if (!maps_.any() && lidar.clouds().any() && now - lidar.runStart() > settings_.staleAfter)
  {
    addError(r, format("no map yet, %.2f s after the first cloud", now - lidar.runStart()));
    return r;
  }
  if (!flowing(maps_, now, settings_.staleAfter, "map", r))
  {
    // The mapper publishes a tree when a cloud closes its window: with no
    // such cloud the map has not stopped, the clouds have, and the LiDAR
    // stage says so (and holds the aircraft).
    const bool due = lidar.clouds().any() && lidar.clouds().last() > maps_.last() + kMapWindow;
    if (r.level == Level::Error && !due)
    {
      r = Report{Level::Ok, "", r.values};
      addWarning(r, format("no map for %.2f s: no cloud came to close its window", maps_.age(now)));
    }
    return r;
  }
  if (lidar.clouds().rateSettled(now) && maps_.rateSettled(now) && maps_.rate(now) < kRateTolerance * expected)
    addWarning(r, format("maps at %.1f Hz, expected %.1f Hz", maps_.rate(now), expected));
  if (r.message.empty())
    r.message = "maps flowing";
  return r;
}
}  // namespace watchdog
