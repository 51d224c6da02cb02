// Hosts one AvoidanceWatchdog as the node "avoidance_watchdog".
#include <malloc.h>
#include <ros/ros.h>

#include "zyr_collision_avoidance/avoidance_watchdog.h"

int main(int argc, char** argv)
{
  // Every cloud arrives whole (a few MB with 64 beams) and is read in its
  // receive buffer: keep the freed buffers for the next cloud instead of
  // mapping and faulting in fresh pages ten times a second.
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 128 << 20);
  ros::init(argc, argv, "avoidance_watchdog");
  ros::NodeHandle nh;
  AvoidanceWatchdog watchdog(nh, AvoidanceWatchdog::readOptions(ros::NodeHandle("~")));
  ros::spin();
  return 0;
}
