// attitude_frames: the tf tree the system needs, from the flight controller's
// own attitude. A node beside the flight programs (it reads parameters).
//
// For each message on "zyr_sdk/attitude_quaternion" it broadcasts, stamped
// with the message's time (the time of arrival when it carries none):
// - "world" -> "drone": no translation (the aircraft stays at the origin of
//   "world"), the rotation of attitude_conversion.h;
// - "drone" -> the LiDAR's frame: the mounting from the private parameters
//   ~lidar_frame, ~lidar_x, ~lidar_y, ~lidar_z (metres, in "drone": front,
//   right, down) and ~lidar_roll, ~lidar_pitch, ~lidar_yaw (radians).
// A quaternion that is no attitude (not finite, norm far from 1) and a stamp
// that does not move on (up to a second back: a clock that went back further
// was restarted) are dropped, with a Warn line at most once a second:
// every listener would otherwise complain of the repeated time, or turn the
// map by a guess.
#ifndef ZYR_COLLISION_AVOIDANCE_ATTITUDE_FRAMES_H
#define ZYR_COLLISION_AVOIDANCE_ATTITUDE_FRAMES_H

#include <geometry_msgs/TransformStamped.h>
#include <ros/ros.h>
#include <tf2_ros/transform_broadcaster.h>
#include <zyr_sdk/AttitudeQuaternion.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "zyr_collision_avoidance/inline_callbacks.h"

class AttitudeFrames
{
public:
  struct Mounting
  {
    std::string frame = "velodyne";
    double x = 0.0, y = 0.0, z = 0.0;           // m, in "drone"
    double roll = 0.0, pitch = 0.0, yaw = 0.0;  // rad
  };

  /// The LiDAR's mounting from the private parameters; throws
  /// std::invalid_argument for an empty frame or a value that is not finite.
  static Mounting readMounting(const ros::NodeHandle& privateHandle);

  AttitudeFrames(ros::NodeHandle& nh, const Mounting& mounting);

  AttitudeFrames(const AttitudeFrames&) = delete;
  AttitudeFrames& operator=(const AttitudeFrames&) = delete;

private:
  void onAttitude(const zyr_sdk::AttitudeQuaternionConstPtr& msg);

  tf2_ros::TransformBroadcaster broadcaster_;
  // A hundred attitudes a second are turned into transforms in the thread
  // that receives them, without waking the spin thread for each.
  InlineCallbacks inlineCallbacks_;  // outlives the subscriber that uses it
  ros::Subscriber attitudeSub_;
  std::vector<geometry_msgs::TransformStamped> transforms_;  // world -> drone, drone -> LiDAR
  ros::Time lastStamp_;
};

#endif  // ZYR_COLLISION_AVOIDANCE_ATTITUDE_FRAMES_H
