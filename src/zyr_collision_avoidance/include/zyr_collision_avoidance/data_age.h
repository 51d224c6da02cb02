// Whether data are young enough to act on, and a throttle for the lines that
// report they are not. Free of ROS: the ages come from age_clock.h in the
// nodes and from plain numbers in the unit tests.
#ifndef ZYR_COLLISION_AVOIDANCE_DATA_AGE_H
#define ZYR_COLLISION_AVOIDANCE_DATA_AGE_H

#include <limits>

namespace data_age
{
// An age in seconds that can be vouched for: measured (a clock that ran
// backwards, as a replayed bag that starts over does, gives a negative one;
// a NaN is no measurement) and no older than `bound`.
inline bool fresh(double age, double bound)
{
  return age >= 0.0 && age <= bound;
}

// Lets one report through per period, on the caller's clock: the first at
// once, the next once the period has passed, and again at once when the
// clock ran backwards, so that a clock that steps never silences a report.
class Throttle
{
public:
  explicit Throttle(double period = 1.0) : period_(period) {}

  bool due(double now)
  {
    if (now - last_ < period_ && now >= last_)
      return false;
    last_ = now;
    return true;
  }

private:
  double period_;
  double last_ = -std::numeric_limits<double>::infinity();
};
}  // namespace data_age

#endif  // ZYR_COLLISION_AVOIDANCE_DATA_AGE_H
