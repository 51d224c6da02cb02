// The health watchdog beside the real mapper and monitor (avoidance_watchdog.test):
// when the LiDAR goes silent it reports the error on /diagnostics and, with its
// fail-safe, holds the aircraft with danger verdicts until the clouds come back;
// without the fail-safe it only reports. Both tell on their fail-safe topic why
// it holds (or would hold), and "" once it does not.
#include <diagnostic_msgs/DiagnosticArray.h>
#include <gtest/gtest.h>
#include <ros/ros.h>
#include <std_msgs/String.h>
#include <std_msgs/UInt8.h>

#include <map>
#include <mutex>
#include <string>

#include "chain_world.h"
#include "zyr_test_support/inbox.h"
#include "zyr_test_support/rostest_main.h"

using diagnostic_msgs::DiagnosticArray;
using diagnostic_msgs::DiagnosticStatus;
using test_support::Inbox;

namespace
{
// Counts the verdicts on collision_info_msg per publishing node.
class VerdictsBy
{
public:
  explicit VerdictsBy(ros::NodeHandle& nh)
  {
    sub_ = nh.subscribe("collision_info_msg", 1000, &VerdictsBy::on, this);
  }
  std::size_t count(const std::string& node) const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = counts_.find(node);
    return it == counts_.end() ? 0 : it->second;
  }

private:
  void on(const ros::MessageEvent<const std_msgs::UInt8>& event)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counts_[event.getPublisherName()];
  }
  mutable std::mutex mutex_;
  std::map<std::string, std::size_t> counts_;
  ros::Subscriber sub_;
};

// The level of `status` ("<node>: <stage>") in the latest array that carries it,
// with the array's stamp; -1 while none has come.
int latestLevel(const std::vector<DiagnosticArray>& arrays, const std::string& status, double* stamp = nullptr)
{
  for (auto a = arrays.rbegin(); a != arrays.rend(); ++a)
    for (const DiagnosticStatus& s : a->status)
      if (s.name == status)
      {
        if (stamp)
          *stamp = a->header.stamp.toSec();
        return s.level;
      }
  return -1;
}

// Whether the latest fail-safe state is empty ("" while it does not hold).
bool released(const std::vector<std_msgs::String>& states)
{
  return !states.empty() && states.back().data.empty();
}

bool allOk(const std::vector<DiagnosticArray>& arrays, const std::string& node)
{
  for (const char* stage : {": LiDAR clouds", ": Occupancy map", ": Collision verdicts", ": Nodes"})
    if (latestLevel(arrays, node + stage) != DiagnosticStatus::OK)
      return false;
  return true;
}
}  // namespace

TEST(AvoidanceWatchdog, SilentLidarIsAnErrorAndTheFailSafeHoldsUntilTheCloudsReturn)
{
  ros::NodeHandle nh;
  Inbox<DiagnosticArray> diagnostics(nh, "/diagnostics");
  VerdictsBy verdicts(nh);
  const auto held = [&verdicts] { return verdicts.count("/avoidance_watchdog"); };
  Inbox<test_support::Log> log(nh, "/rosout", test_support::fromNode("/avoidance_watchdog"));
  Inbox<std_msgs::String> failsafe(nh, "/zyr_collision_avoidance/failsafe");
  Inbox<std_msgs::String> wouldHold(nh, "/passive_watchdog/failsafe");
  chain_test::World world;  // hovering: the monitor says clear

  ASSERT_TRUE(
      diagnostics.waitUntil([](const std::vector<DiagnosticArray>& a) { return allOk(a, "avoidance_watchdog"); }, 40.0))
      << "the chain never came up healthy";
  // The hold from the start (no cloud yet) is over.
  ASSERT_TRUE(log.waitForMatch(
      [](const test_support::Log& l) { return l.msg.find("fail-safe off") != std::string::npos; }, nullptr, 0, 5.0));
  const std::size_t heldAtStart = held();
  EXPECT_GT(heldAtStart, 0u) << "no danger from the watchdog before the first cloud";
  test_support::settle(0.5);
  EXPECT_EQ(heldAtStart, held()) << "the fail-safe goes on with every stage healthy";
  ASSERT_TRUE(failsafe.waitUntil(released, 5.0));
  ASSERT_TRUE(wouldHold.waitUntil(released, 5.0));
  const std::size_t statesBefore = failsafe.size();

  // The LiDAR goes silent: within a second the watchdog says so and holds the aircraft.
  const std::size_t logBefore = log.size();
  world.setLidar(false);
  const double lastCloud = world.lastCloud();
  double errorAt = 0.0;
  ASSERT_TRUE(diagnostics.waitUntil(
      [&](const std::vector<DiagnosticArray>& a)
      { return latestLevel(a, "avoidance_watchdog: LiDAR clouds", &errorAt) == DiagnosticStatus::ERROR; }));
  EXPECT_LE(errorAt - lastCloud, 1.0) << "reported stamped " << errorAt - lastCloud << " s after the last cloud";
  ASSERT_TRUE(test_support::waitFor([&] { return held() >= heldAtStart + 5; }))
      << "no danger while the LiDAR is silent";
  EXPECT_TRUE(
      diagnostics.waitUntil([](const std::vector<DiagnosticArray>& a)
                            { return latestLevel(a, "passive_watchdog: LiDAR clouds") == DiagnosticStatus::ERROR; }));
  const auto holdsForTheLidar = [](const std::vector<std_msgs::String>& states)
  { return !states.empty() && states.back().data.find("LiDAR clouds: no cloud for 0.") == 0; };
  EXPECT_TRUE(failsafe.waitUntil(holdsForTheLidar, 5.0));
  EXPECT_TRUE(wouldHold.waitUntil(holdsForTheLidar, 5.0)) << "the passive watchdog tells what it would do";

  // Back: healthy again, and the danger verdicts stop.
  world.setLidar(true);
  ASSERT_TRUE(diagnostics.waitUntil(
      [](const std::vector<DiagnosticArray>& a) { return allOk(a, "avoidance_watchdog"); }, 15.0));
  const std::size_t heldInAll = held();
  test_support::settle(0.5);
  EXPECT_EQ(heldInAll, held());
  ASSERT_TRUE(failsafe.waitUntil(released, 5.0));
  // Told when the stages it held for changed (the LiDAR, then the map with it, ...), not at each tick.
  EXPECT_LE(failsafe.size() - statesBefore, 6u);

  // One Error line when it began, one Info line when it ended.
  const std::vector<test_support::Log> lines = log.all();
  const std::vector<test_support::Log> episode(lines.begin() + static_cast<long>(logBefore), lines.end());
  const std::vector<std::string> errors = test_support::textsAt(episode, test_support::Log::ERROR);
  const std::vector<std::string> infos = test_support::textsAt(episode, test_support::Log::INFO);
  ASSERT_EQ(1u, errors.size());
  EXPECT_EQ(0u, errors[0].find("avoidance_watchdog: fail-safe on (LiDAR clouds: no cloud for")) << errors[0];
  ASSERT_EQ(1u, infos.size());
  EXPECT_EQ(0u, infos[0].find("avoidance_watchdog: fail-safe off")) << infos[0];

  // The watchdog without its fail-safe saw the same and published nothing.
  EXPECT_EQ(0u, verdicts.count("/passive_watchdog"));
}

int main(int argc, char** argv)
{
  return test_support::runRostest(argc, argv, "avoidance_watchdog_test", 2);
}
