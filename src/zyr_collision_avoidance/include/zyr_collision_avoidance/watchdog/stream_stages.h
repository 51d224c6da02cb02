// The watchdog's judgement of the map's inputs and of the map: the LiDAR
// clouds (do they come, do they say anything, does the mapper take them) and
// the occupancy maps the mapper publishes from them.
#ifndef ZYR_COLLISION_AVOIDANCE_WATCHDOG_STREAM_STAGES_H
#define ZYR_COLLISION_AVOIDANCE_WATCHDOG_STREAM_STAGES_H

#include <string>

#include "zyr_collision_avoidance/watchdog/cloud_content.h"
#include "zyr_collision_avoidance/watchdog/common.h"

namespace watchdog
{
/// ERROR when no cloud came for `staleAfter`; also when clouds come but, for
/// longer than that, none held a point the mapper would insert (all NaN, all
/// out of range, or no point at all), or none differed from the cloud before
/// it (a frozen driver republishing one old cloud with fresh stamps: no real
/// LiDAR repeats itself to the bit). An empty cloud is never taken for a
/// repeat: it has nothing to repeat, and counts as a cloud without points.
class LidarStage
{
public:
  explicit LidarStage(const Settings& settings);

  /// True when a cloud arriving at `received` begins a run of clouds: the first, or the first after a gap.
  bool beginsRun(double received) const;
  void onCloud(double received, const CloudContent& content);
  /// The mapper's "Inserting" line for a cloud.
  void onInserted(double received);

  Report report(double now) const;

  const Arrivals& clouds() const
  {
    return clouds_;
  }
  /// Arrival of the first cloud of the current run; -1 before the first.
  double runStart() const
  {
    return runStart_;
  }
  /// The measured interval between clouds, or the expected one while none is measured.
  double scanPeriod() const;

private:
  std::string pointsProblem() const;

  Settings settings_;
  Arrivals clouds_, inserted_;
  CloudContent last_;
  double runStart_ = -1.0;
  double lastUsable_ = -1.0;  // arrival of the latest cloud with a point the mapper would insert
  double lastFresh_ = -1.0;   // arrival of the latest cloud whose data differed from the one before
};

/// ERROR when no map came for `staleAfter` although clouds came that should
/// have closed its window (a dead or stalled mapper), or none `staleAfter`
/// after the first cloud.
class MapStage
{
public:
  explicit MapStage(const Settings& settings);

  void onMap(double received);
  Report report(double now, const LidarStage& lidar) const;
  /// A tree is published at the first cloud more than the window after the one that opened it.
  double expectedRate(const LidarStage& lidar) const;

private:
  Settings settings_;
  Arrivals maps_;
};
}  // namespace watchdog

#endif  // ZYR_COLLISION_AVOIDANCE_WATCHDOG_STREAM_STAGES_H
