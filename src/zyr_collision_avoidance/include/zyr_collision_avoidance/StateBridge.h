// state_bridge: relays vehicle-state records from the local state server onto
// the SDK node's topics, and tells the server to pause while the collision
// status reports danger.
//
// One thread does everything: it waits in one poll for the server's bytes and
// for status messages, publishes a record as soon as it is whole (the newest
// of what is waiting, at most once per 10 ms on average) and runs pauseCallback
// as soon as a status arrives.
#ifndef ZYR_COLLISION_AVOIDANCE_STATE_BRIDGE_H
#define ZYR_COLLISION_AVOIDANCE_STATE_BRIDGE_H

#include <ros/callback_queue.h>
#include <ros/ros.h>
#include <std_msgs/UInt8.h>

#include <string>

#include "zyr_collision_avoidance/TrajectoryTCPInterface.h"
#include "zyr_collision_avoidance/trajectory_record.h"

// The node's callbacks, queued apart from ROS's global queue so that each one
// queued also makes an eventfd readable: the loop can then wait for a status
// message and for the server's bytes in the same poll.
class WakingCallbackQueue : public ros::CallbackQueue
{
public:
  WakingCallbackQueue();
  ~WakingCallbackQueue() override;
  WakingCallbackQueue(const WakingCallbackQueue&) = delete;
  WakingCallbackQueue& operator=(const WakingCallbackQueue&) = delete;

  void addCallback(const ros::CallbackInterfacePtr& callback, uint64_t removal_id = 0) override;
  // Readable while callbacks may be queued.
  int fd() const
  {
    return fd_;
  }
  // Runs the callbacks queued so far.
  void callQueued();

private:
  int fd_;
};

class StateBridge
{
public:
  // Advertises the SDK node's topics and subscribes to the collision status;
  // connects to nothing yet.
  explicit StateBridge(int port = kStateServerPort);
  // Closes the connection to the state server.
  ~StateBridge();
  StateBridge(const StateBridge&) = delete;
  StateBridge& operator=(const StateBridge&) = delete;

  // Connects to the state server; false, with failure() set, when it cannot.
  bool connect();
  // Relays records until ROS shuts down (true) or the connection fails
  // (false, with failure() set). After the server has closed its end nothing
  // more is published, and status messages are still handled.
  bool run();
  // The failed system call and the system's text for it, as perror prints it.
  const std::string& failure() const
  {
    return server.failure();
  }

  void pauseCallback(const std_msgs::UInt8ConstPtr& msg);

private:
  void publish(const TrajectoryRecord& record);
  void sendCommand(const char* command);

  WakingCallbackQueue callbacks;  // first in, last out: the subscription needs it to the end
  ros::NodeHandle n;
  ros::Publisher velocity_pub;
  ros::Publisher attitude_pub;
  ros::Publisher rc_pub;
  ros::Subscriber pause_sub;
  TrajectoryROSInterface server;
  PublicationGate gate;
  int sockfd = -1;
  bool connected = false;
  bool isPaused = false;
  int rcPubFlip = 0;  // lets the RC channels out on every second publication
};

#endif  // ZYR_COLLISION_AVOIDANCE_STATE_BRIDGE_H
