#include <ros/ros.h>

#include <stdexcept>

#include "zyr_collision_avoidance/occupancy_mapper.h"

int main(int argc, char** argv)
{
  ros::init(argc, argv, "occupancy_mapper_node", 0);
  int result = 0;
  {
    OccupancyGridBuilder mapper(ros::NodeHandle("~"));
    try
    {
      ros::spinOnce();
      ros::spin();
    }
    catch (const std::runtime_error& e)
    {
      ROS_ERROR("occupancy_mapper_node exception: %s", e.what());
      result = -1;
    }
  }
  return result;
}
