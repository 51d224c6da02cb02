#include "zyr_collision_avoidance/attitude_frames.h"

#include <cmath>

#include "zyr_collision_avoidance/attitude_conversion.h"

AttitudeFrames::Mounting AttitudeFrames::readMounting(const ros::NodeHandle& privateHandle)
{
  Mounting m;
  m.frame = privateHandle.param("lidar_frame", m.frame);
  if (m.frame.empty() || m.frame == "world" || m.frame == "drone")
    throw std::invalid_argument("~lidar_frame must name the LiDAR's own frame, not \"" + m.frame + "\"");
  const struct
  {
    const char* name;
    double* value;
  } numbers[] = {{"lidar_x", &m.x},       {"lidar_y", &m.y},         {"lidar_z", &m.z},
                 {"lidar_roll", &m.roll}, {"lidar_pitch", &m.pitch}, {"lidar_yaw", &m.yaw}};
  for (const auto& n : numbers)
  {
    *n.value = privateHandle.param(n.name, *n.value);
    if (!std::isfinite(*n.value))
      throw std::invalid_argument(std::string("~") + n.name + " must be a finite number");
  }
  return m;
}

AttitudeFrames::AttitudeFrames(ros::NodeHandle& nh, const Mounting& mounting) : transforms_(2)
{
  geometry_msgs::TransformStamped& body = transforms_[0];
  body.header.frame_id = "world";
  body.child_frame_id = "drone";
  body.transform.rotation.w = 1.0;

  geometry_msgs::TransformStamped& lidar = transforms_[1];
  lidar.header.frame_id = "drone";
  lidar.child_frame_id = mounting.frame;
  lidar.transform.translation.x = mounting.x;
  lidar.transform.translation.y = mounting.y;
  lidar.transform.translation.z = mounting.z;
  const Eigen::Quaterniond q = attitude_conversion::mountingRotation(mounting.roll, mounting.pitch, mounting.yaw);
  lidar.transform.rotation.w = q.w();
  lidar.transform.rotation.x = q.x();
  lidar.transform.rotation.y = q.y();
  lidar.transform.rotation.z = q.z();

  ros::NodeHandle inlined(nh);
  inlined.setCallbackQueue(&inlineCallbacks_);
  attitudeSub_ = inlined.subscribe("zyr_sdk/attitude_quaternion", 20, &AttitudeFrames::onAttitude, this);
  ROS_INFO(
      "attitude_frames: world -> drone from zyr_sdk/attitude_quaternion; drone -> %s at (%.3f, %.3f, %.3f) m, "
      "roll %.4f pitch %.4f yaw %.4f rad",
      mounting.frame.c_str(), mounting.x, mounting.y, mounting.z, mounting.roll, mounting.pitch, mounting.yaw);
}

void AttitudeFrames::onAttitude(const zyr_sdk::AttitudeQuaternionConstPtr& msg)
{
  Eigen::Quaterniond q;
  if (!attitude_conversion::worldFromAttitude(msg->q0, msg->q1, msg->q2, msg->q3, &q))
  {
    ROS_WARN_THROTTLE(1.0, "attitude_frames: dropped an attitude that is no rotation (%g, %g, %g, %g)", msg->q0,
                      msg->q1, msg->q2, msg->q3);
    return;
  }
  const ros::Time stamp = msg->header.stamp.isZero() ? ros::Time::now() : msg->header.stamp;
  // A clock that went back by more than a moment was restarted (a replay
  // from its start): the listeners drop their history then, and so does this.
  if (stamp <= lastStamp_ && stamp + ros::Duration(1.0) > lastStamp_)
  {
    ROS_WARN_THROTTLE(1.0, "attitude_frames: dropped an attitude stamped %.6f, not after the last one (%.6f)",
                      stamp.toSec(), lastStamp_.toSec());
    return;
  }
  lastStamp_ = stamp;
  for (auto& t : transforms_)
    t.header.stamp = stamp;
  auto& r = transforms_[0].transform.rotation;
  r.w = q.w();
  r.x = q.x();
  r.y = q.y();
  r.z = q.z();
  broadcaster_.sendTransform(transforms_);
}
