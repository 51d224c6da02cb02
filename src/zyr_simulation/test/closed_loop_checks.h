// Judging a closed-loop flight from what the programs themselves stamped.
#ifndef ZYR_SIMULATION_TEST_CLOSED_LOOP_CHECKS_H
#define ZYR_SIMULATION_TEST_CLOSED_LOOP_CHECKS_H

#include <algorithm>
#include <vector>

namespace closed_loop
{
// guarded_flight logs "collision_status == DANGER, no remapping" for each stick message (50 Hz) that it holds back.
// Two such lines less than this far apart lie within one latched danger: releasing it and latching it again takes
// at least sixteen verdicts (0.8 s).
const double kGatedGap = 0.2;

// Attitude requests that the SDK node stand-in received while guarded_flight held a latched danger. Judged on the
// two programs' own stamps only (both on this machine's clock), so a slow observer cannot shift the verdict: a
// request stamped between two of the gated lines less than kGatedGap apart came while the danger was latched.
// Seconds, any order.
inline int commandsDuringDanger(const std::vector<double>& request_stamps, std::vector<double> gated_stamps)
{
  std::sort(gated_stamps.begin(), gated_stamps.end());
  int count = 0;
  for (double s : request_stamps)
  {
    const auto after = std::upper_bound(gated_stamps.begin(), gated_stamps.end(), s);
    if (after != gated_stamps.begin() && after != gated_stamps.end() && *after - *(after - 1) < kGatedGap)
      ++count;
  }
  return count;
}
}  // namespace closed_loop

#endif
