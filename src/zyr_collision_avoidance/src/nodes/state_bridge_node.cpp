// Hosts one StateBridge as the node "state_bridge". A state server that cannot
// be reached, or a connection that breaks, ends the program with a failure
// status after the reason on stderr; the launch files start it again.
#include <ros/ros.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "zyr_collision_avoidance/StateBridge.h"

int main(int argc, char** argv)
{
  ros::init(argc, argv, "state_bridge");
  bool ok;
  std::string failure;
  {
    StateBridge bridge;
    ok = bridge.connect() && bridge.run();
    failure = bridge.failure();
  }
  if (ok)
  {
    return 0;
  }
  std::fprintf(stderr, "%s\n", failure.c_str());
  // roscpp's threads stop before the process takes down the globals they use.
  ros::shutdown();
  return EXIT_FAILURE;
}
