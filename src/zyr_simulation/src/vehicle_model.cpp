#include "zyr_simulation/vehicle_model.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace zyr_simulation
{
namespace
{
const double kDegToRad = M_PI / 180.0;
const double kGravity = 9.81;

double clampAbs(double value, double limit)
{
  return std::max(-limit, std::min(limit, value));
}

double wrapAngle(double a)
{
  a = std::remainder(a, 2.0 * M_PI);
  return a <= -M_PI ? a + 2.0 * M_PI : a;
}

// East-north-up from north-east-down: x and y swapped, z turned over.
const Eigen::Matrix3d& worldFromEarth()
{
  static const Eigen::Matrix3d m = (Eigen::Matrix3d() << 0, 1, 0, 1, 0, 0, 0, 0, -1).finished();
  return m;
}

// The heading in north-east-down counts from north; yaw 0 is east.
Eigen::Matrix3d earthFromBody(const VehicleState& s)
{
  return (Eigen::AngleAxisd(s.yaw + M_PI / 2, Eigen::Vector3d::UnitZ()) *
          Eigen::AngleAxisd(s.pitch, Eigen::Vector3d::UnitY()) * Eigen::AngleAxisd(s.roll, Eigen::Vector3d::UnitX()))
      .toRotationMatrix();
}
}  // namespace

VehicleModel::VehicleModel(const VehicleParams& params, const Eigen::Vector3d& position, double yaw_deg, double time)
    : params_(params), time_(time)
{
  if (!(params.velocity_lag > 0.0 && params.yaw_lag > 0.0 && params.command_timeout >= 0.0 &&
        params.height_gain >= 0.0 && params.max_speed >= 0.0 && params.max_climb_rate >= 0.0 &&
        params.max_yaw_rate_deg >= 0.0 && params.max_tilt_deg >= 0.0 && params.max_tilt_deg < 90.0 &&
        params.max_step > 0.0))
    throw std::invalid_argument("vehicle: lags and step must be above 0, limits not negative, tilt below 90 degrees");
  if (!position.allFinite() || !std::isfinite(yaw_deg) || !std::isfinite(time))
    throw std::invalid_argument("vehicle: start pose and time must be finite");
  state_.position = position;
  state_.yaw = wrapAngle(yaw_deg * kDegToRad);
}

bool VehicleModel::command(std::uint8_t flag, double x, double y, double z, double yaw_rate_deg, double time)
{
  if (flag != kFlagClimbRate && flag != kFlagHoldHeight)
    return false;
  if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(z) || !std::isfinite(yaw_rate_deg) ||
      !std::isfinite(time))
    return false;
  flag_ = flag;
  cmd_forward_ = clampAbs(x, params_.max_speed);
  cmd_right_ = clampAbs(y, params_.max_speed);
  cmd_z_ = z;
  cmd_yaw_rate_ = clampAbs(yaw_rate_deg, params_.max_yaw_rate_deg) * kDegToRad;
  cmd_time_ = time;
  has_command_ = true;
  return true;
}

bool VehicleModel::commandActive(double time) const
{
  return has_command_ && !crashed_ && time - cmd_time_ <= params_.command_timeout;
}

Eigen::Vector3d VehicleModel::forwardAxis(double yaw)
{
  return Eigen::Vector3d(std::cos(yaw), -std::sin(yaw), 0.0);
}

Eigen::Vector3d VehicleModel::rightAxis(double yaw)
{
  return Eigen::Vector3d(-std::sin(yaw), -std::cos(yaw), 0.0);
}

VehicleModel::Target VehicleModel::target(double time) const
{
  Target t{Eigen::Vector3d::Zero(), 0.0};  // hover
  if (!has_command_ || time >= cmd_time_ + params_.command_timeout)
    return t;
  t.velocity = cmd_forward_ * forwardAxis(state_.yaw) + cmd_right_ * rightAxis(state_.yaw);
  const double climb = flag_ == kFlagClimbRate ? cmd_z_ : params_.height_gain * (cmd_z_ - state_.position.z());
  t.velocity.z() = clampAbs(climb, params_.max_climb_rate);
  t.yaw_rate = cmd_yaw_rate_;
  return t;
}

void VehicleModel::integrate(double dt, const Target& target)
{
  // Exact solution of the first-order lag for a target held over the step.
  const double tau = params_.velocity_lag;
  const double keep = std::exp(-dt / tau);
  const Eigen::Vector3d gap = state_.velocity - target.velocity;
  state_.position += target.velocity * dt + gap * tau * (1.0 - keep);
  state_.velocity = target.velocity + gap * keep;

  const double tau_yaw = params_.yaw_lag;
  const double keep_yaw = std::exp(-dt / tau_yaw);
  const double yaw_gap = state_.yaw_rate - target.yaw_rate;
  state_.yaw = wrapAngle(state_.yaw + target.yaw_rate * dt + yaw_gap * tau_yaw * (1.0 - keep_yaw));
  state_.yaw_rate = target.yaw_rate + yaw_gap * keep_yaw;

  // Lean into the horizontal acceleration the lag asks for: forward acceleration pitches the nose down.
  const Eigen::Vector3d accel = (target.velocity - state_.velocity) / tau;
  const double max_tilt = params_.max_tilt_deg * kDegToRad;
  state_.pitch = clampAbs(-std::atan(accel.dot(forwardAxis(state_.yaw)) / kGravity), max_tilt);
  state_.roll = clampAbs(std::atan(accel.dot(rightAxis(state_.yaw)) / kGravity), max_tilt);
}

void VehicleModel::advanceTo(double time)
{
  if (!std::isfinite(time))
    return;
  while (time_ < time)
  {
    double next = std::min(time, time_ + params_.max_step);
    // The command stops driving exactly at its timeout, not at the end of the step that contains it.
    const double expiry = cmd_time_ + params_.command_timeout;
    if (has_command_ && time_ < expiry && expiry < next)
      next = expiry;
    if (!crashed_)
      integrate(next - time_, target(time_));
    time_ = next;
  }
}

void VehicleModel::resetClock(double time)
{
  if (!std::isfinite(time))
    return;
  time_ = time;
  has_command_ = false;
}

void VehicleModel::setForwardSpeed(double speed)
{
  if (crashed_ || !std::isfinite(speed))
    return;
  const Eigen::Vector3d horizontal = speed * forwardAxis(state_.yaw);
  state_.velocity.x() = horizontal.x();
  state_.velocity.y() = horizontal.y();
}

void VehicleModel::crash()
{
  crashed_ = true;
  has_command_ = false;
  state_.velocity.setZero();
  state_.yaw_rate = 0.0;
  state_.roll = 0.0;
  state_.pitch = 0.0;
}

Eigen::Matrix3d VehicleModel::worldFromBody() const
{
  return worldFromEarth() * earthFromBody(state_);
}

Eigen::Quaterniond VehicleModel::attitude() const
{
  Eigen::Quaterniond q(earthFromBody(state_));
  q.normalize();
  if (q.w() < 0.0)
    q.coeffs() = -q.coeffs();
  return q;
}

}  // namespace zyr_simulation
