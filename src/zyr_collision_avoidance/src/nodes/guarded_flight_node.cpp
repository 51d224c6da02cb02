// Hosts one GuardedFlight as the node "guarded_flight".
#include <ros/ros.h>

#include "zyr_collision_avoidance/guarded_flight.h"

int main(int argc, char** argv)
{
  ros::init(argc, argv, "guarded_flight");
  ros::NodeHandle nh;
  {
    // After the node handle, so that its SIGINT handler replaces roscpp's.
    GuardedFlight guard(nh);
    ros::spin();
  }
  nh.shutdown();
  return 0;
}
