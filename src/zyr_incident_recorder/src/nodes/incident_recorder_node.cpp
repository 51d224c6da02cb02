// Hosts one IncidentRecorder as the node "incident_recorder".
#include <malloc.h>
#include <ros/ros.h>

#include "zyr_incident_recorder/incident_recorder.h"

int main(int argc, char** argv)
{
  // The rolling buffer takes in and lets go of maps (hundreds of kB each) and,
  // with ~clouds, clouds of a few MB, several times a second: keep the freed
  // memory for the next ones instead of faulting in fresh pages each time.
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 128 << 20);
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
