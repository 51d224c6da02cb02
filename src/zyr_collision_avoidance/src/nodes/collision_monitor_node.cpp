// Hosts one CollisionDetector as the node "collision_monitor".
#include <ros/ros.h>

#include <stdexcept>

#include "zyr_collision_avoidance/collision_monitor.h"

int main(int argc, char** argv)
{
  keepFreedMapMemory();
  ros::init(argc, argv, "collision_monitor");
  CollisionDetector detector;
  ros::spinOnce();
  try
  {
    ros::spin();
  }
  catch (const std::runtime_error& e)
  {
    ROS_ERROR("collision_monitor exception: %s", e.what());
    return -1;
  }
  return 0;
}
