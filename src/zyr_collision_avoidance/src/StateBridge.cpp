#include "zyr_collision_avoidance/StateBridge.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace
{
typedef std::chrono::steady_clock Clock;

// The longest wait between two looks at ros::ok(): an interrupt ends the
// bridge this promptly even while the server is silent.
const Clock::duration kWaitSlice = std::chrono::milliseconds(50);

timespec toTimespec(Clock::duration d)
{
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::max(d, Clock::duration::zero()));
  timespec t;
  t.tv_sec = static_cast<time_t>(ns.count() / 1000000000);
  t.tv_nsec = static_cast<long>(ns.count() % 1000000000);
  return t;
}
}  // namespace

WakingCallbackQueue::WakingCallbackQueue() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
  if (fd_ < 0)
  {
    throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
  }
}

WakingCallbackQueue::~WakingCallbackQueue()
{
  close(fd_);
}

void WakingCallbackQueue::addCallback(const ros::CallbackInterfacePtr& callback, uint64_t removal_id)
{
  ros::CallbackQueue::addCallback(callback, removal_id);
  const uint64_t one = 1;
  // Only a counter at its maximum refuses the write, and that is readable.
  const ssize_t written = write(fd_, &one, sizeof one);
  (void)written;
}

void WakingCallbackQueue::callQueued()
{
  // Cleared before the calls: a callback queued meanwhile wakes the next poll.
  uint64_t count;
  const ssize_t n = read(fd_, &count, sizeof count);
  (void)n;
  callAvailable();
}

StateBridge::StateBridge(int port) : server(port), gate(kBridgePeriod)
{
  n.setCallbackQueue(&callbacks);
  velocity_pub = n.advertise<zyr_sdk::Velocity>("/zyr_sdk/velocity", 1000);
  attitude_pub = n.advertise<zyr_sdk::AttitudeQuaternion>("/zyr_sdk/attitude_quaternion", 1000);
  rc_pub = n.advertise<zyr_sdk::RCChannels>("/zyr_sdk/rc_channels", 1000);
  pause_sub = n.subscribe("/collision_info_msg", 1000, &StateBridge::pauseCallback, this);
}

StateBridge::~StateBridge()
{
  if (sockfd >= 0)
  {
    close(sockfd);
  }
}

bool StateBridge::connect()
{
  sockfd = server.setupSubscriber();
  connected = sockfd >= 0;
  return connected;
}

bool StateBridge::run()
{
  while (ros::ok())
  {
    const Clock::time_point now = Clock::now();
    const Clock::time_point opens = gate.opensAt(now);
    // While the next publication may not go out yet, the server's bytes wait
    // in the socket; once it may, everything that has come is read and only
    // the newest whole record published.
    const bool holding = opens > now;
    pollfd wait_for[2] = {{callbacks.fd(), POLLIN, 0}, {connected && !holding ? sockfd : -1, POLLIN, 0}};
    const timespec timeout = toTimespec((holding ? opens : now + kWaitSlice) - now);
    if (ppoll(wait_for, 2, &timeout, nullptr) < 0)
    {
      if (errno == EINTR)
      {
        continue;
      }
      server.error("ERROR reading from socket");
      return false;
    }
    if (wait_for[0].revents != 0)
    {
      callbacks.callQueued();
    }
    if (wait_for[1].revents == 0)
    {
      continue;
    }
    const Clock::time_point at = Clock::now();
    TrajectoryRecord record;
    switch (server.takeWaiting(sockfd, record))
    {
      case TrajectoryROSInterface::RECORD_READ:
        publish(record);
        gate.published(at);
        break;
      case TrajectoryROSInterface::CONNECTION_CLOSED:
        // Stale or half-received state must not reach the collision monitor, so
        // nothing is published from here on; status messages are still handled.
        ROS_ERROR("The state server closed the connection; no more vehicle state is published");
        connected = false;
        break;
      case TrajectoryROSInterface::FAILED:
        return false;
      default:
        break;
    }
  }
  return true;
}

void StateBridge::publish(const TrajectoryRecord& record)
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

void StateBridge::sendCommand(const char* command)
{
  // MSG_NOSIGNAL: a server that has gone away must cost a failed send, not the
  // process (SIGPIPE). The result is deliberately not looked at.
  const ssize_t sent = send(sockfd, command, std::strlen(command), MSG_NOSIGNAL);
  (void)sent;
}

void StateBridge::pauseCallback(const std_msgs::UInt8ConstPtr& msg)
{
  ROS_INFO("Entered Callback");
  const PauseStep step = pauseStep(msg->data, isPaused);
  ROS_INFO("%s", step.logLine);
  if (step.command)
  {
    sendCommand(step.command);
  }
}
