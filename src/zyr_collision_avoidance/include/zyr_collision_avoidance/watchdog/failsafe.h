// The fail-safe's decision, and when it is told: which stages hold the
// aircraft and why, and when that goes out on the watchdog's fail-safe topic.
#ifndef ZYR_COLLISION_AVOIDANCE_WATCHDOG_FAILSAFE_H
#define ZYR_COLLISION_AVOIDANCE_WATCHDOG_FAILSAFE_H

#include <string>
#include <utility>
#include <vector>

#include "zyr_collision_avoidance/watchdog/common.h"

namespace watchdog
{
struct FailsafeDecision
{
  std::vector<std::pair<std::string, std::string>> held;  // (stage, its message) for each stage it holds for

  /// Holds for `stage` when its report is ERROR or STALE (no flying blind from the start).
  void consider(const std::string& stage, const Report& report);
  bool holds() const
  {
    return !held.empty();
  }
  /// "<stage>: <message>" of each stage held for, joined by "; "; empty when it does not hold.
  std::string reason() const;
};

/// Decides when the fail-safe's state is published: the first decision, and
/// then each one that starts or ends a hold or changes the set of stages held
/// for; not for a number that changes in a message.
class FailsafeAnnouncer
{
public:
  bool due(const FailsafeDecision& decision);

private:
  bool announced_ = false;
  std::vector<std::string> stages_;
};
}  // namespace watchdog

#endif  // ZYR_COLLISION_AVOIDANCE_WATCHDOG_FAILSAFE_H
