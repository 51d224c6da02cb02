#include "zyr_collision_avoidance/attitude_conversion.h"

#include <cmath>

namespace attitude_conversion
{
bool worldFromAttitude(double q0, double q1, double q2, double q3, Eigen::Quaterniond* worldFromDrone)
{
  if (!std::isfinite(q0) || !std::isfinite(q1) || !std::isfinite(q2) || !std::isfinite(q3))
    return false;
  const double norm = std::sqrt(q0 * q0 + q1 * q1 + q2 * q2 + q3 * q3);
  if (!(std::abs(norm - 1.0) <= kNormTolerance))
    return false;
  // (0, a, a, 0) * (w, x, y, z) with a = sqrt(1/2), written out.
  const double a = std::sqrt(0.5) / norm;
  Eigen::Quaterniond q(-a * (q1 + q2), a * (q0 + q3), a * (q0 - q3), a * (q2 - q1));
  *worldFromDrone = q;
  return true;
}

Eigen::Quaterniond mountingRotation(double roll, double pitch, double yaw)
{
  return Eigen::AngleAxisd(yaw, Eigen::Vector3d::UnitZ()) * Eigen::AngleAxisd(pitch, Eigen::Vector3d::UnitY()) *
         Eigen::AngleAxisd(roll, Eigen::Vector3d::UnitX());
}
}  // namespace attitude_conversion
