// state_bridge: relays vehicle-state records from the local state server onto
// the SDK node's topics, and tells the server to pause while the collision
// status reports danger.
#include <ros/ros.h>
#include <std_msgs/UInt8.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "zyr_collision_avoidance/TrajectoryTCPInterface.h"

int sockfd = 0;
bool isPaused = false;

namespace
{
void sendCommand(const char* command)
{
  // MSG_NOSIGNAL: a server that has gone away must cost a failed send, not the
  // process (SIGPIPE). The result is deliberately not looked at.
  const ssize_t sent = send(sockfd, command, std::strlen(command), MSG_NOSIGNAL);
  (void)sent;
}
}  // namespace

void pauseCallback(const std_msgs::UInt8ConstPtr& msg)
{
  ROS_INFO("Entered Callback");
  const PauseStep step = pauseStep(msg->data, isPaused);
  ROS_INFO("%s", step.logLine);
  if (step.command)
  {
    sendCommand(step.command);
  }
}

int main(int argc, char** argv)
{
  ros::init(argc, argv, "state_bridge");
  ros::NodeHandle n;
  ros::Publisher velocity_pub = n.advertise<zyr_sdk::Velocity>("/zyr_sdk/velocity", 1000);
  ros::Publisher attitude_pub = n.advertise<zyr_sdk::AttitudeQuaternion>("/zyr_sdk/attitude_quaternion", 1000);
  ros::Publisher rc_pub = n.advertise<zyr_sdk::RCChannels>("/zyr_sdk/rc_channels", 1000);
  ros::Subscriber pause_sub = n.subscribe("/collision_info_msg", 1000, pauseCallback);
  ros::Rate loop_rate(100);

  TrajectoryROSInterface server(28770);
  sockfd = server.setupSubscriber();

  static int rcPubFlip = 0;
  bool connected = true;
  while (ros::ok())
  {
    if (connected)
    {
      TrajectoryRecord record;
      const TrajectoryROSInterface::ReadStatus status = server.readOnce(sockfd, record);
      if (status == TrajectoryROSInterface::STOPPED)
      {
        continue;
      }
      if (status == TrajectoryROSInterface::CONNECTION_CLOSED)
      {
        // Stale or half-received state must not reach the collision monitor, so
        // nothing is published from here on; status messages are still handled.
        ROS_ERROR("The state server closed the connection; no more vehicle state is published");
        connected = false;
      }
      else
      {
        zyr_sdk::Velocity velocity = velocityFromRecord(record);
        velocity.header.stamp = ros::Time::now();
        zyr_sdk::AttitudeQuaternion attitude = attitudeFromRecord(record);
        attitude.header.stamp = ros::Time::now();
        zyr_sdk::RCChannels rc = rcChannelsFromRecord(record);
        rc.header.stamp = ros::Time::now();

        std::string line;
        if (attitudeLogLine(attitude, velocity, rc, line))
        {
          ROS_INFO("%s", line.c_str());
        }

        velocity_pub.publish(velocity);
        attitude_pub.publish(attitude);
        if (rcPubFlip == 1)
        {
          rc_pub.publish(rc);
          rcPubFlip = 0;
        }
        else
        {
          ++rcPubFlip;
        }
      }
    }
    ros::spinOnce();
    loop_rate.sleep();
  }

  close(sockfd);
  return 0;
}
