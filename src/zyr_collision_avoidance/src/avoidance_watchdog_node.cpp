// Hosts one AvoidanceWatchdog as the node "avoidance_watchdog".
#include <ros/ros.h>

#include "zyr_collision_avoidance/avoidance_watchdog.h"

int main(int argc, char** argv)
{
  ros::init(argc, argv, "avoidance_watchdog");
  ros::NodeHandle nh;
  AvoidanceWatchdog watchdog(nh, AvoidanceWatchdog::readOptions(ros::NodeHandle("~")));
  ros::spin();
  return 0;
}
