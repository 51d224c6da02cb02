#include "zyr_collision_avoidance/watchdog/failsafe.h"

namespace watchdog
{
void FailsafeDecision::consider(const std::string& stage, const Report& report)
{
  if (report.level == Level::Error || report.level == Level::Stale)
    held.emplace_back(stage, report.message);
}

std::string FailsafeDecision::reason() const
{
  std::string text;
  for (const auto& stage : held)
    text += (text.empty() ? "" : "; ") + stage.first + ": " + stage.second;
  return text;
}

bool FailsafeAnnouncer::due(const FailsafeDecision& decision)
{
  std::vector<std::string> stages;
  for (const auto& stage : decision.held)
    stages.push_back(stage.first);
  if (announced_ && stages == stages_)
    return false;
  announced_ = true;
  stages_ = stages;
  return true;
}
}  // namespace watchdog
