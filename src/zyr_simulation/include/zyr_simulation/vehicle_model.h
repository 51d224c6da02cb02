// A simple multirotor that flies the SDK node's attitude commands.
//
// Frames:
// - scene / "world" axes: fixed to the ground, east-north-up (x east, y north, z up). "world" has the same axes as
//   the scene; only its origin moves along with the aircraft.
// - body ("drone"): x forward, y right, z down.
// - the aeronautical earth frame of the attitude quaternion, as a flight controller reports it: north-east-down.
// Heading (yaw) turns the aircraft to the right, clockwise seen from above, as the yaw stick does; yaw 0 is along
// scene x (east).
//
// Commands: `x` (from the pitch stick) is the forward and `y` (from the roll stick) the rightward velocity in m/s,
// along the heading; flag 74 makes `z` a climb rate in m/s (up positive), flag 90 the height to hold in metres; `yaw`
// is a yaw rate in deg/s. The velocity follows the command with a first-order lag. When no command has arrived for
// longer than the command timeout, the aircraft brakes to a hover at its current height. Its tilt follows from the
// acceleration it makes, as a multirotor has to lean into it.
#ifndef ZYR_SIMULATION_VEHICLE_MODEL_H
#define ZYR_SIMULATION_VEHICLE_MODEL_H

#include <Eigen/Core>
#include <Eigen/Geometry>
#include <cstdint>

namespace zyr_simulation
{
const std::uint8_t kFlagClimbRate = 74;   // 0x4A: z is a climb rate
const std::uint8_t kFlagHoldHeight = 90;  // 0x5A: z is a height to hold

struct VehicleParams
{
  double velocity_lag = 0.5;        // s, time constant of the horizontal and vertical velocity
  double yaw_lag = 0.2;             // s, time constant of the yaw rate
  double command_timeout = 0.3;     // s without a command before it brakes to a hover
  double height_gain = 1.0;         // 1/s, climb rate per metre of height error while holding a height
  double max_speed = 5.0;           // m/s, limit of each horizontal command component
  double max_climb_rate = 3.0;      // m/s, limit of the vertical velocity command
  double max_yaw_rate_deg = 150.0;  // deg/s, limit of the yaw rate command
  double max_tilt_deg = 20.0;       // deg, limit of roll and pitch; 0 keeps the aircraft level
  double max_step = 0.01;           // s, longest integration step
};

struct VehicleState
{
  Eigen::Vector3d position = Eigen::Vector3d::Zero();  // scene coordinates, m
  Eigen::Vector3d velocity = Eigen::Vector3d::Zero();  // world axes, m/s (z up)
  double yaw = 0.0;                                    // heading, rad, positive to the right
  double yaw_rate = 0.0;                               // rad/s
  double roll = 0.0;                                   // rad, positive right side down
  double pitch = 0.0;                                  // rad, positive nose up
};

class VehicleModel
{
public:
  VehicleModel(const VehicleParams& params, const Eigen::Vector3d& position, double yaw_deg, double time);

  // Takes a command that arrived at `time`. Returns false, and changes nothing, for a flag other than 74 or 90 or
  // a value that is not finite.
  bool command(std::uint8_t flag, double x, double y, double z, double yaw_rate_deg, double time);

  // Advances the model to `time` (seconds on the same clock as the commands). Earlier times change nothing.
  void advanceTo(double time);

  // Carries the model over to a clock that jumped (back) to `time`: the state stays, a pending command is dropped.
  void resetClock(double time);

  // Sets the horizontal velocity to `speed` m/s along the heading, as if it had flown in at that speed; the lag and
  // the commands take over from there.
  void setForwardSpeed(double speed);

  // Stops the aircraft where it is, for good (after a collision).
  void crash();
  bool crashed() const
  {
    return crashed_;
  }

  // Whether a command newer than the timeout drives the aircraft at `time`.
  bool commandActive(double time) const;

  const VehicleState& state() const
  {
    return state_;
  }
  double time() const
  {
    return time_;
  }

  // Rotation from body ("drone") axes into world axes.
  Eigen::Matrix3d worldFromBody() const;
  // The attitude as the SDK reports it: body axes in north-east-down (w, x, y, z).
  Eigen::Quaterniond attitude() const;

  // Horizontal unit vectors, world axes, of the aircraft's forward and right at a heading.
  static Eigen::Vector3d forwardAxis(double yaw);
  static Eigen::Vector3d rightAxis(double yaw);

private:
  struct Target
  {
    Eigen::Vector3d velocity;
    double yaw_rate;
  };
  Target target(double time) const;
  void integrate(double dt, const Target& target);

  VehicleParams params_;
  VehicleState state_;
  double time_;
  bool has_command_ = false;
  bool crashed_ = false;
  std::uint8_t flag_ = kFlagHoldHeight;
  double cmd_forward_ = 0.0, cmd_right_ = 0.0, cmd_z_ = 0.0, cmd_yaw_rate_ = 0.0;
  double cmd_time_ = 0.0;
};

}  // namespace zyr_simulation

#endif
