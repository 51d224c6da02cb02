// Hosts one AttitudeFrames as the node "attitude_frames".
#include <ros/ros.h>

#include <stdexcept>

#include "zyr_collision_avoidance/attitude_frames.h"

int main(int argc, char** argv)
{
  ros::init(argc, argv, "attitude_frames");
  ros::NodeHandle nh;
  try
  {
    AttitudeFrames frames(nh, AttitudeFrames::readMounting(ros::NodeHandle("~")));
    ros::spin();
  }
  catch (const std::invalid_argument& e)
  {
    ROS_FATAL("attitude_frames: %s", e.what());
    return 1;
  }
  return 0;
}
