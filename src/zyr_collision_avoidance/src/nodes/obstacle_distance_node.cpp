// Hosts one ObstacleDistance as the node "obstacle_distance".
#include <ros/ros.h>

#include "zyr_collision_avoidance/obstacle_distance.h"

int main(int argc, char** argv)
{
  ros::init(argc, argv, "obstacle_distance");
  ros::NodeHandle nh;
  ObstacleDistance node(nh, ObstacleDistance::readOptions(ros::NodeHandle("~")));
  ros::spin();
  return 0;
}
