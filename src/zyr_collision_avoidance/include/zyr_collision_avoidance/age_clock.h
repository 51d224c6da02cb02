// The clock that the nodes measure the age of their inputs with.
//
// On a live aircraft it is the monotonic clock: a step of the wall clock (an
// NTP correction, a GPS time fix) must neither make fresh data look old nor
// old data look fresh. When the node runs on a recorded clock (/use_sim_time,
// a bag replayed with its clock) it is ROS time instead: the data then arrive
// on that clock, and a replay at any rate, or paused, ages them as they aged
// in flight. Wall time would call every map stale in a replay at a quarter of
// the speed, and none in one at four times.
#ifndef ZYR_COLLISION_AVOIDANCE_AGE_CLOCK_H
#define ZYR_COLLISION_AVOIDANCE_AGE_CLOCK_H

#include <ros/time.h>

#include <chrono>

namespace data_age
{
// Seconds since an arbitrary origin that stays fixed for the process.
inline double clockSeconds()
{
  if (ros::Time::isSimTime())
    return ros::Time::now().toSec();
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
}  // namespace data_age

#endif  // ZYR_COLLISION_AVOIDANCE_AGE_CLOCK_H
