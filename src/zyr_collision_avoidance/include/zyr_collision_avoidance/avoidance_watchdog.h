// The health watchdog beside the four flight programs: watches what flows
// between them, reports each stage on /diagnostics at 1 Hz (and at once when a
// level changes), measures the scan-to-verdict latency live, and, with its
// fail-safe on, holds the aircraft with danger verdicts of its own while
// clouds, maps or verdicts have stopped or say nothing. It tells on a latched
// topic whether, and why, the fail-safe holds (or would hold, with the
// fail-safe off); otherwise it only subscribes.
//
// Its ages run on a monotonic clock, so that a step of the wall clock neither
// fires nor silences the fail-safe; on a simulated clock (/use_sim_time, a
// replay with rosbag play --clock) they run on that clock, which alone keeps
// pace with the replayed data (paused, slowed, looped).
#ifndef ZYR_COLLISION_AVOIDANCE_AVOIDANCE_WATCHDOG_H
#define ZYR_COLLISION_AVOIDANCE_AVOIDANCE_WATCHDOG_H

#include <diagnostic_updater/diagnostic_updater.h>
#include <ros/callback_queue_interface.h>
#include <ros/ros.h>
#include <std_msgs/String.h>
#include <std_msgs/UInt8.h>
#include <zyr_sdk/GlobalPosition.h>
#include <zyr_sdk/Velocity.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "zyr_collision_avoidance/inline_callbacks.h"
#include "zyr_collision_avoidance/skimmed_messages.h"
#include "zyr_collision_avoidance/watchdog_state.h"

namespace watchdog
{
/// The watchdog's callbacks only note a time and a few numbers, for some 250
/// messages a second: they run in the thread that received them.
using ::InlineCallbacks;
}  // namespace watchdog

class AvoidanceWatchdog
{
public:
  struct Options
  {
    watchdog::Settings settings;
    bool failsafe = false;
    std::vector<std::string> nodes;  // started beside the watchdog; each must stay registered and answer
  };

  /// The options from the private parameters ~failsafe, ~stale_after,
  /// ~lidar_rate, ~min_cloud_points, ~min_velocity_rate and ~nodes (a list of
  /// names, or one string of names separated by blanks; guarded_flight among
  /// them puts the aircraft under the guard's control); unusable values are
  /// reported and replaced by the defaults.
  static Options readOptions(const ros::NodeHandle& privateHandle);

  /// Latched std_msgs/String: the fail-safe's reason while it holds ("<stage>: <message>", several joined by "; "),
  /// "" while it does not.
  static constexpr const char* kFailsafeTopic = "zyr_collision_avoidance/failsafe";

  AvoidanceWatchdog(ros::NodeHandle& nh, const Options& options);
  ~AvoidanceWatchdog();

  AvoidanceWatchdog(const AvoidanceWatchdog&) = delete;
  AvoidanceWatchdog& operator=(const AvoidanceWatchdog&) = delete;

private:
  void onCloud(const ros::MessageEvent<const watchdog::CloudSummary>& event);
  void onInserted(const ros::MessageEvent<const std_msgs::String>& event);
  void onMap(const ros::MessageEvent<const watchdog::HeaderOnly>& event);
  void onVerdict(const ros::MessageEvent<const std_msgs::UInt8>& event);
  void onVelocity(const ros::MessageEvent<const zyr_sdk::Velocity>& event);
  void onGps(const ros::MessageEvent<const zyr_sdk::GlobalPosition>& event);
  void onGuard(const ros::MessageEvent<const std_msgs::UInt8>& event);
  void tick();
  void announceFailsafe(const watchdog::FailsafeDecision& decision);
  /// Seconds on the watchdog's clock: monotonic, or the simulated clock.
  double clock() const;
  /// A header stamp (ROS clock) on the watchdog's clock, by its age on the ROS clock now.
  double onClock(const ros::Time& stamp, double now) const;

  void report(const watchdog::Report& report, diagnostic_updater::DiagnosticStatusWrapper& status);
  void reportVerdicts(diagnostic_updater::DiagnosticStatusWrapper& status);
  void reportNodes(diagnostic_updater::DiagnosticStatusWrapper& status);

  // Nodes thread: asks the master where each node is and whether it answers.
  void watchNodes();

  Options options_;
  ros::NodeHandle nh_;
  std::string ownName_;
  std::mutex stateMutex_;  // state_ is fed by roscpp's receiving thread and read by the spin thread
  watchdog::HealthState state_;
  diagnostic_updater::Updater updater_;
  watchdog::InlineCallbacks inlineCallbacks_;  // outlives the subscribers that use it
  ros::NodeHandle listenNh_;
  std::vector<ros::Subscriber> subscribers_;
  ros::Publisher failsafePub_;       // danger verdicts on collision_info_msg, with ~failsafe
  ros::Publisher failsafeStatePub_;  // kFailsafeTopic
  watchdog::FailsafeAnnouncer announcer_;
  bool simTime_;
  ros::Timer timer_;              // on the simulated clock
  ros::SteadyTimer steadyTimer_;  // otherwise
  bool failsafeActive_ = false;
  std::vector<watchdog::Level> published_;  // the levels last published, to publish at once on a change
  double nextDiagnostics_ = 0.0;            // watchdog clock

  std::mutex nodesMutex_;
  std::condition_variable nodesWake_;
  bool stopping_ = false;
  bool nodesChecked_ = false;
  std::vector<std::string> nodesGone_;  // with why, e.g. "collision_monitor (does not answer)"
  std::thread nodesThread_;
};

#endif  // ZYR_COLLISION_AVOIDANCE_AVOIDANCE_WATCHDOG_H
