#include <malloc.h>
#include <ros/ros.h>

#include <stdexcept>

#include "zyr_collision_avoidance/occupancy_mapper.h"

int main(int argc, char** argv)
{
  // Each cloud arrives whole (a few MB with 64 beams), is copied once more by
  // the transform, and each tree is built and freed again eight times a
  // second: keep the freed memory for the next ones instead of handing it back
  // to the system and faulting in fresh pages every time.
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
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
