// guarded_flight: lets the pilot fly with the sticks while the collision
// monitor watches the way ahead. Each stick message becomes one blocking
// attitude-control call to the SDK node, unless GPS is poor or the latched
// collision status is DANGER, or the message is garbage. On SIGINT the node
// stops commanding and hands SDK control back before it stops.
#include <fcntl.h>
#include <ros/ros.h>
#include <std_msgs/UInt8.h>
#include <unistd.h>
#include <zyr_sdk/AttitudeControl.h>
#include <zyr_sdk/GlobalPosition.h>
#include <zyr_sdk/RCChannels.h>
#include <zyr_sdk/SDKPermissionControl.h>
#include <zyr_sdk/Velocity.h>

#include <Eigen/Core>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>

#include "zyr_collision_avoidance/guarded_flight_logic.h"

namespace logic = guarded_flight_logic;

// GPS starts unhealthy: until the first global-position message there is no
// measured height, and a centred throttle would order the aircraft to hold a
// height that was never measured.
bool gpsHealthy = false;
uint8_t collision_status = logic::kStatusClear;
zyr_sdk::GlobalPosition currentPos;
Eigen::Vector3f horizontalVelocity(0.0f, 0.0f, 0.0f);

ros::Publisher debug_guardedflight_pub;
ros::ServiceClient movement_control_service;
ros::ServiceClient sdk_permission_control_service;

namespace
{
// SIGINT may arrive while the spin thread sits in an attitude-control call
// that the SDK node never answers, and a signal handler must not call into
// roscpp anyway. The handler therefore only writes a byte into this pipe; the
// release thread reads it and makes the release request and the shutdown.
int sigint_pipe[2] = {-1, -1};
const char kSigintByte = 'i';
const char kQuitByte = 'q';
std::atomic<bool> sigint_seen(false);
static_assert(ATOMIC_BOOL_LOCK_FREE == 2, "the SIGINT handler needs a lock-free flag");

// A hung SDK node does not answer the release either. After this many seconds
// the node shuts down without the answer; the shutdown drops the connection,
// which ends the pending call.
const double kReleaseTimeoutSeconds = 2.0;

// Once SIGINT has been seen no attitude-control call starts. A call that
// started just before may not have reached the SDK node yet; the release waits
// for it, up to this long, so that the release is never overtaken by it. A
// call the SDK node does not answer is left behind after that.
std::mutex command_mutex;
std::condition_variable command_finished;
bool command_in_flight = false;
const double kCommandInFlightWaitSeconds = 0.25;

// True, and the call counted as in flight, unless SIGINT has been seen.
bool beginCommand()
{
  std::lock_guard<std::mutex> lock(command_mutex);
  if (sigint_seen)
  {
    return false;
  }
  command_in_flight = true;
  return true;
}

void endCommand()
{
  {
    std::lock_guard<std::mutex> lock(command_mutex);
    command_in_flight = false;
  }
  command_finished.notify_all();
}
}  // namespace

bool sdk_permission_control(unsigned char control)
{
  zyr_sdk::SDKPermissionControl srv;
  srv.request.control_enable = control;
  return sdk_permission_control_service.call(srv) && srv.response.result;
}

bool movement_control(unsigned char flag, float pitch, float roll, float z, float yaw)
{
  zyr_sdk::AttitudeControl srv;
  srv.request.flag = flag;
  srv.request.x = pitch;
  srv.request.y = roll;
  srv.request.z = z;
  srv.request.yaw = yaw;
  return movement_control_service.call(srv) && srv.response.result;
}

void stickCallback(zyr_sdk::RCChannels msg)
{
  // Counts every stick message, gated or not; the command line is logged
  // only when a message due for it also gets past the gates.
  static int32_t counter = 0;
  logic::countStickMessage(counter);

  if (!gpsHealthy)
  {
    ROS_INFO("Poor GPS, quit callback");
    return;
  }
  if (collision_status == logic::kStatusDanger)
  {
    ROS_INFO("collision_status == DANGER, no remapping");
    return;
  }

  if (!logic::commandInputsUsable(msg.roll, msg.pitch, msg.yaw, msg.throttle, currentPos.height))
  {
    ROS_WARN_THROTTLE(1.0,
                      "Stick message out of range or not finite, or no finite height to hold (roll=%f, pitch=%f, "
                      "yaw=%f, throttle=%f, height=%f): no command sent",
                      msg.roll, msg.pitch, msg.yaw, msg.throttle, currentPos.height);
    return;
  }

  const logic::AttitudeCommand command =
      logic::remapSticks(msg.roll, msg.pitch, msg.yaw, msg.throttle, currentPos.height);
  // SDK control is being handed back: the sticks no longer command anything.
  if (!beginCommand())
  {
    return;
  }
  if (counter == 0)
  {
    ROS_INFO("sending flag=%d, pitch=%f, roll=%f, z=%f, yaw=%f", command.flag, command.pitch, command.roll, command.z,
             command.yaw);
  }
  movement_control(command.flag, command.pitch, command.roll, command.z, command.yaw);
  endCommand();
}

void gpsPositionCallback(zyr_sdk::GlobalPosition msg)
{
  currentPos = msg;
  gpsHealthy = logic::gpsHealthOk(msg.health);
}

void velocityCallback(zyr_sdk::Velocity msg)
{
  horizontalVelocity = Eigen::Vector3f(msg.vx, msg.vy, 0.0f);
}

void collisionInfoCallback(std_msgs::UInt8 msg)
{
  static int32_t clearance_checker = 0;
  logic::updateCollisionStatus(msg.data, horizontalVelocity.norm(), collision_status, clearance_checker);

  std_msgs::UInt8 echo;
  echo.data = collision_status;
  debug_guardedflight_pub.publish(echo);
}

void mySigintHandler(int sig)
{
  // Only the first SIGINT leads to a release request. A second one, while the
  // release is still pending, ends the node at once as SIGINT does by default:
  // a stuck shutdown must not make Ctrl-C useless. Both calls are
  // async-signal-safe; the raised signal is delivered when this handler returns.
  if (sigint_seen.exchange(true))
  {
    std::signal(sig, SIG_DFL);
    std::raise(sig);
    return;
  }
  const int saved_errno = errno;
  if (write(sigint_pipe[1], &kSigintByte, 1) != 1)
  {
    // Nothing can be reported from here. The node then keeps running and
    // SIGTERM still ends it.
  }
  errno = saved_errno;
}

namespace
{
// Runs beside the spin thread, so that neither blocks the other: waits for
// the SIGINT byte, asks the SDK node to release control, then shuts ROS down.
void releaseThread()
{
  char byte = 0;
  ssize_t n;
  do
  {
    n = read(sigint_pipe[0], &byte, 1);
  } while (n < 0 && errno == EINTR);
  if (n != 1 || byte != kSigintByte)
  {
    return;
  }
  {
    std::unique_lock<std::mutex> lock(command_mutex);
    command_finished.wait_for(lock, std::chrono::duration<double>(kCommandInFlightWaitSeconds),
                              [] { return !command_in_flight; });
  }

  // The call runs on a thread of its own so that the shutdown can follow it
  // even when the answer never comes.
  std::packaged_task<bool()> release([] { return sdk_permission_control(0); });
  std::future<bool> answered = release.get_future();
  std::thread caller(std::move(release));
  answered.wait_for(std::chrono::duration<double>(kReleaseTimeoutSeconds));
  ros::shutdown();
  caller.join();
}
}  // namespace

int main(int argc, char** argv)
{
  ros::init(argc, argv, "guarded_flight");
  ros::NodeHandle nh;
  // After the node handle, so that this replaces roscpp's own SIGINT handler.
  const bool release_on_sigint = pipe2(sigint_pipe, O_CLOEXEC) == 0;
  if (release_on_sigint)
  {
    signal(SIGINT, mySigintHandler);
  }
  else
  {
    ROS_ERROR("cannot set up the release of SDK control on SIGINT: %s", std::strerror(errno));
  }

  ros::Subscriber stick_sub = nh.subscribe("zyr_sdk/rc_channels", 20, stickCallback);
  ros::Subscriber gps_sub = nh.subscribe("zyr_sdk/global_position", 50, gpsPositionCallback);
  ros::Subscriber velocity_sub = nh.subscribe("zyr_sdk/velocity", 20, velocityCallback);
  ros::Subscriber collision_sub = nh.subscribe("collision_info_msg", 10, collisionInfoCallback);

  sdk_permission_control_service = nh.serviceClient<zyr_sdk::SDKPermissionControl>("zyr_sdk/sdk_permission_control");
  movement_control_service = nh.serviceClient<zyr_sdk::AttitudeControl>("zyr_sdk/attitude_control");
  debug_guardedflight_pub = nh.advertise<std_msgs::UInt8>("zyr_collision_avoidance/debug_guarded_flight", 20);

  // Started only now, so that it sees the service client set up; a SIGINT
  // that came earlier waits in the pipe.
  std::thread release_thread;
  if (release_on_sigint)
  {
    release_thread = std::thread(releaseThread);
  }

  ros::spin();

  if (release_thread.joinable())
  {
    // Wakes the release thread when ROS shut down without SIGINT (e.g. at the
    // master's request); after a SIGINT it has already finished.
    if (write(sigint_pipe[1], &kQuitByte, 1) == 1)
    {
      release_thread.join();
    }
    else
    {
      release_thread.detach();
    }
  }

  stick_sub.shutdown();
  gps_sub.shutdown();
  velocity_sub.shutdown();
  collision_sub.shutdown();
  nh.shutdown();
  // Emptied here rather than at exit, while roscpp's own singletons still live.
  debug_guardedflight_pub = ros::Publisher();
  movement_control_service = ros::ServiceClient();
  sdk_permission_control_service = ros::ServiceClient();
  return 0;
}
