// Hosts one IncidentRecorder as the node "incident_recorder".
#include <ros/ros.h>

#include "zyr_incident_recorder/incident_recorder.h"

int main(int argc, char** argv)
{
  ros::init(argc, argv, "incident_recorder");
  ros::NodeHandle nh;
  IncidentRecorder recorder(nh, IncidentRecorder::readSettings(ros::NodeHandle("~")));
  // Every message only goes into the buffer, so they are taken in batches:
  // waking up for each of some 400 messages a second would cost more than
  // storing them. Reception times are taken on arrival, not here.
  ros::WallRate rate(IncidentRecorder::kBatchesPerSecond);
  while (ros::ok())
  {
    ros::spinOnce();
    rate.sleep();
  }
  return 0;
}
