// Bounded waits for tests: every wait of a test ends, so that something that
// never happens fails the test instead of hanging it.
#ifndef ZYR_TEST_SUPPORT_WAIT_H
#define ZYR_TEST_SUPPORT_WAIT_H

#include <chrono>
#include <thread>

namespace test_support
{
// Long enough for a sanitizer build on a busy machine.
constexpr double kWait = 10.0;

// A moment `seconds` from now. As a predicate it answers "keep waiting?":
// true until the moment has passed.
class Deadline
{
public:
  explicit Deadline(double seconds)
      : end_(std::chrono::steady_clock::now() +
             std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds)))
  {
  }
  bool operator()() const
  {
    return std::chrono::steady_clock::now() < end_;
  }

private:
  std::chrono::steady_clock::time_point end_;
};

// Checks `done` every `poll` seconds until it holds (true) or `seconds` have
// passed (false). `done` may have side effects, such as sending a message
// again or spinning a callback queue: it runs once per poll.
template <class Predicate>
bool waitFor(Predicate&& done, double seconds = kWait, double poll = 0.005)
{
  const Deadline deadline(seconds);
  while (!done())
  {
    if (!deadline())
      return false;
    std::this_thread::sleep_for(std::chrono::duration<double>(poll));
  }
  return true;
}

// The one kind of fixed pause a test may take: before asserting that
// something did NOT happen, so that a late arrival has had its chance to show.
inline void settle(double seconds = 0.5)
{
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}
}  // namespace test_support

#endif  // ZYR_TEST_SUPPORT_WAIT_H
