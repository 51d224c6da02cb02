// Guarded manual flight: lets the pilot fly with the sticks while the
// collision monitor watches the way ahead. Each stick message becomes one
// blocking attitude-control call to the SDK node, unless GPS is poor, the
// latched collision status is DANGER (a verdict gone stale latches it too) or
// the message is garbage. On SIGINT the node stops commanding and hands SDK
// control back before it stops.
#ifndef ZYR_COLLISION_AVOIDANCE_GUARDED_FLIGHT_H
#define ZYR_COLLISION_AVOIDANCE_GUARDED_FLIGHT_H

#include <ros/ros.h>
#include <std_msgs/UInt8.h>
#include <zyr_sdk/GlobalPosition.h>
#include <zyr_sdk/RCChannels.h>
#include <zyr_sdk/Velocity.h>

#include <Eigen/Core>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "zyr_collision_avoidance/data_age.h"

class GuardedFlight
{
public:
  // Installs mySigintHandler (so `nh` must exist already: its creation
  // installs roscpp's own handler, which this one replaces), subscribes,
  // creates the service clients and the debug publisher. One per process.
  explicit GuardedFlight(ros::NodeHandle& nh);
  // Wakes the release thread when ROS shut down without SIGINT and releases
  // the ROS handles while roscpp still runs.
  ~GuardedFlight();
  GuardedFlight(const GuardedFlight&) = delete;
  GuardedFlight& operator=(const GuardedFlight&) = delete;

  void stickCallback(zyr_sdk::RCChannels msg);
  void gpsPositionCallback(zyr_sdk::GlobalPosition msg);
  void velocityCallback(zyr_sdk::Velocity msg);
  void collisionInfoCallback(std_msgs::UInt8 msg);

  // One request each; true only when the call succeeded and the SDK node
  // answered with a non-zero result. Nothing is retried or logged.
  bool sdk_permission_control(unsigned char control);
  bool movement_control(unsigned char flag, float pitch, float roll, float z, float yaw);

  // Writes one byte for the release thread; a second SIGINT ends the process.
  static void mySigintHandler(int sig);

private:
  // DANGER latched because the last verdict is too old, as a 1 would latch it.
  void latchStaleVerdict(double age);
  void publishStatus();
  bool beginCommand();
  void endCommand();
  void releaseThread();

  // GPS starts unhealthy: until the first global-position message there is no
  // measured height, and a centred throttle would order the aircraft to hold
  // a height that was never measured.
  bool gpsHealthy = false;
  uint8_t collision_status;
  zyr_sdk::GlobalPosition currentPos;
  Eigen::Vector3f horizontalVelocity = Eigen::Vector3f::Zero();
  // Clear verdicts counted towards leaving DANGER; a stale verdict restarts it.
  int32_t clearance_checker = 0;
  // Stick messages counted modulo 50, for the command log line.
  int32_t counter = 0;
  // When the last verdict (0 or 1) came, on data_age::clockSeconds().
  bool verdictSeen = false;
  double lastVerdictAt = 0.0;
  data_age::Throttle staleWarning;

  ros::Subscriber stickSub;
  ros::Subscriber gpsSub;
  ros::Subscriber velocitySub;
  ros::Subscriber collisionSub;
  ros::ServiceClient sdk_permission_control_service;
  ros::ServiceClient movement_control_service;
  ros::Publisher debug_guardedflight_pub;

  // Once SIGINT has been seen no attitude-control call starts. A call that
  // started just before may not have reached the SDK node yet; the release
  // waits for it (a while) so that the release is never overtaken by it.
  std::mutex command_mutex;
  std::condition_variable command_finished;
  bool command_in_flight = false;
  bool releaseOnSigint = false;
  std::thread release_thread;
};

#endif  // ZYR_COLLISION_AVOIDANCE_GUARDED_FLIGHT_H
