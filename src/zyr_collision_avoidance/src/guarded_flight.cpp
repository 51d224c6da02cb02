#include "zyr_collision_avoidance/guarded_flight.h"

#include <fcntl.h>
#include <unistd.h>
#include <zyr_sdk/AttitudeControl.h>
#include <zyr_sdk/SDKPermissionControl.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <future>

#include "zyr_collision_avoidance/age_clock.h"
#include "zyr_collision_avoidance/guarded_flight_logic.h"

namespace logic = guarded_flight_logic;

namespace
{
// SIGINT may arrive while the spin thread sits in an attitude-control call
// that the SDK node never answers, and a signal handler must not call into
// roscpp anyway. The handler therefore only writes a byte into this pipe; the
// release thread reads it and makes the release request and the shutdown.
// Process-wide, as the signal is; never closed, so that a late signal never
// writes into a descriptor that has been reused.
int sigint_pipe[2] = {-1, -1};
const char kSigintByte = 'i';
const char kQuitByte = 'q';
std::atomic<bool> sigint_seen(false);
static_assert(ATOMIC_BOOL_LOCK_FREE == 2, "the SIGINT handler needs a lock-free flag");

// A hung SDK node does not answer the release either. After this many seconds
// the node shuts down without the answer; the shutdown drops the connection,
// which ends the pending call.
const double kReleaseTimeoutSeconds = 2.0;

// How long the release waits for an attitude-control call already under way;
// a call the SDK node does not answer is left behind after that.
const double kCommandInFlightWaitSeconds = 0.25;
}  // namespace

GuardedFlight::GuardedFlight(ros::NodeHandle& nh) : collision_status(logic::kStatusClear)
{
  releaseOnSigint = pipe2(sigint_pipe, O_CLOEXEC) == 0;
  if (releaseOnSigint)
    signal(SIGINT, &GuardedFlight::mySigintHandler);
  else
    ROS_ERROR("cannot set up the release of SDK control on SIGINT: %s", std::strerror(errno));

  stickSub = nh.subscribe("zyr_sdk/rc_channels", 20, &GuardedFlight::stickCallback, this);
  gpsSub = nh.subscribe("zyr_sdk/global_position", 50, &GuardedFlight::gpsPositionCallback, this);
  velocitySub = nh.subscribe("zyr_sdk/velocity", 20, &GuardedFlight::velocityCallback, this);
  collisionSub = nh.subscribe("collision_info_msg", 10, &GuardedFlight::collisionInfoCallback, this);

  sdk_permission_control_service = nh.serviceClient<zyr_sdk::SDKPermissionControl>("zyr_sdk/sdk_permission_control");
  movement_control_service = nh.serviceClient<zyr_sdk::AttitudeControl>("zyr_sdk/attitude_control");
  debug_guardedflight_pub = nh.advertise<std_msgs::UInt8>("zyr_collision_avoidance/debug_guarded_flight", 20);

  // Started only now, so that it sees the service client set up; a SIGINT
  // that came earlier waits in the pipe.
  if (releaseOnSigint)
    release_thread = std::thread(&GuardedFlight::releaseThread, this);
}

GuardedFlight::~GuardedFlight()
{
  if (release_thread.joinable())
  {
    // Wakes the release thread when ROS shut down without SIGINT (e.g. at the
    // master's request); after a SIGINT it has already finished.
    if (write(sigint_pipe[1], &kQuitByte, 1) == 1)
      release_thread.join();
    else
      release_thread.detach();
  }
  stickSub.shutdown();
  gpsSub.shutdown();
  velocitySub.shutdown();
  collisionSub.shutdown();
}

bool GuardedFlight::sdk_permission_control(unsigned char control)
{
  zyr_sdk::SDKPermissionControl srv;
  srv.request.control_enable = control;
  return sdk_permission_control_service.call(srv) && srv.response.result;
}

bool GuardedFlight::movement_control(unsigned char flag, float pitch, float roll, float z, float yaw)
{
  zyr_sdk::AttitudeControl srv;
  srv.request.flag = flag;
  srv.request.x = pitch;
  srv.request.y = roll;
  srv.request.z = z;
  srv.request.yaw = yaw;
  return movement_control_service.call(srv) && srv.response.result;
}

void GuardedFlight::stickCallback(zyr_sdk::RCChannels msg)
{
  // Counts every stick message, gated or not; the command line is logged
  // only when a message due for it also gets past the gates.
  logic::countStickMessage(counter);

  logic::VerdictAge verdict;
  verdict.seen = verdictSeen;
  if (verdictSeen)
    verdict.seconds = data_age::clockSeconds() - lastVerdictAt;
  const logic::StickGate gate = logic::gateStick(gpsHealthy, collision_status, verdict, msg.roll, msg.pitch, msg.yaw,
                                                 msg.throttle, currentPos.height);
  if (gate.latchDanger)
    latchStaleVerdict(verdict.seconds);

  switch (gate.outcome)
  {
    case logic::StickOutcome::kPoorGps:
      ROS_INFO("Poor GPS, quit callback");
      return;
    case logic::StickOutcome::kDanger:
      ROS_INFO("collision_status == DANGER, no remapping");
      return;
    case logic::StickOutcome::kUnusableSticks:
      ROS_WARN_THROTTLE(1.0,
                        "Stick message out of range or not finite, or no finite height to hold (roll=%f, pitch=%f, "
                        "yaw=%f, throttle=%f, height=%f): no command sent",
                        msg.roll, msg.pitch, msg.yaw, msg.throttle, currentPos.height);
      return;
    case logic::StickOutcome::kCommand:
      break;
  }

  const logic::AttitudeCommand command =
      logic::remapSticks(msg.roll, msg.pitch, msg.yaw, msg.throttle, currentPos.height);
  // SDK control is being handed back: the sticks no longer command anything.
  if (!beginCommand())
    return;
  if (counter == 0)
    ROS_INFO("sending flag=%d, pitch=%f, roll=%f, z=%f, yaw=%f", command.flag, command.pitch, command.roll, command.z,
             command.yaw);
  movement_control(command.flag, command.pitch, command.roll, command.z, command.yaw);
  endCommand();
}

void GuardedFlight::latchStaleVerdict(double age)
{
  const bool wasClear = collision_status != logic::kStatusDanger;
  logic::updateCollisionStatus(logic::kStatusDanger, horizontalVelocity.norm(), collision_status, clearance_checker);
  if (staleWarning.due(data_age::clockSeconds()))
    ROS_WARN("No collision verdict for %.2f s (more than %.2f s): DANGER latched, no command sent", age,
             logic::kVerdictMaxAgeSeconds);
  // The watchdog and the incident recorder see the guard stop; a status that
  // was DANGER already is not echoed again for every stick message.
  if (wasClear)
    publishStatus();
}

void GuardedFlight::gpsPositionCallback(zyr_sdk::GlobalPosition msg)
{
  currentPos = msg;
  gpsHealthy = logic::gpsHealthOk(msg.health);
}

void GuardedFlight::velocityCallback(zyr_sdk::Velocity msg)
{
  horizontalVelocity = Eigen::Vector3f(msg.vx, msg.vy, 0.0f);
}

void GuardedFlight::collisionInfoCallback(std_msgs::UInt8 msg)
{
  // Only a verdict vouches for the way ahead; any other value changes nothing.
  if (msg.data == logic::kStatusClear || msg.data == logic::kStatusDanger)
  {
    verdictSeen = true;
    lastVerdictAt = data_age::clockSeconds();
  }
  logic::updateCollisionStatus(msg.data, horizontalVelocity.norm(), collision_status, clearance_checker);
  publishStatus();
}

void GuardedFlight::publishStatus()
{
  std_msgs::UInt8 echo;
  echo.data = collision_status;
  debug_guardedflight_pub.publish(echo);
}

// True, and the call counted as in flight, unless SIGINT has been seen.
bool GuardedFlight::beginCommand()
{
  std::lock_guard<std::mutex> lock(command_mutex);
  if (sigint_seen)
    return false;
  command_in_flight = true;
  return true;
}

void GuardedFlight::endCommand()
{
  {
    std::lock_guard<std::mutex> lock(command_mutex);
    command_in_flight = false;
  }
  command_finished.notify_all();
}

void GuardedFlight::mySigintHandler(int sig)
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

// Runs beside the spin thread, so that neither blocks the other: waits for
// the SIGINT byte, asks the SDK node to release control, then shuts ROS down.
void GuardedFlight::releaseThread()
{
  char byte = 0;
  ssize_t n;
  do
  {
    n = read(sigint_pipe[0], &byte, 1);
  } while (n < 0 && errno == EINTR);
  if (n != 1 || byte != kSigintByte)
    return;
  {
    std::unique_lock<std::mutex> lock(command_mutex);
    command_finished.wait_for(lock, std::chrono::duration<double>(kCommandInFlightWaitSeconds),
                              [this] { return !command_in_flight; });
  }

  // The call runs on a thread of its own so that the shutdown can follow it
  // even when the answer never comes.
  std::packaged_task<bool()> release([this] { return sdk_permission_control(0); });
  std::future<bool> answered = release.get_future();
  std::thread caller(std::move(release));
  answered.wait_for(std::chrono::duration<double>(kReleaseTimeoutSeconds));
  ros::shutdown();
  caller.join();
}
