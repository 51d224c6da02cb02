// The rotation of the aircraft's body frame "drone" in the frame "world", from
// the attitude the flight controller reports, and the LiDAR's mounting.
//
// Frames:
// - the attitude quaternion (w, x, y, z) turns body vectors, front-right-down,
//   into the aeronautical earth frame north-east-down: v_ned = R(q) v_frd;
// - "world" is east-north-up, its origin at the aircraft, so that maps and
//   velocities have z up and x, y fixed to the ground;
// - "drone" is front-right-down, the body axes themselves: the collision
//   monitor turns the sticks into (pitch, roll, -throttle) in "drone", so roll
//   right must land on the aircraft's right and throttle up above it.
//
// Hence world_from_drone = R_enu_from_ned * R(q), where R_enu_from_ned swaps x
// and y and turns z over: half a turn about the axis (1, 1, 0) / sqrt(2), the
// quaternion (0, sqrt(1/2), sqrt(1/2), 0).
#ifndef ZYR_COLLISION_AVOIDANCE_ATTITUDE_CONVERSION_H
#define ZYR_COLLISION_AVOIDANCE_ATTITUDE_CONVERSION_H

#include <Eigen/Geometry>

namespace attitude_conversion
{
// A reported quaternion whose norm strays further than this from 1 is not an
// attitude: taking it would turn the map by a guess.
constexpr double kNormTolerance = 0.1;

// The rotation of "drone" in "world" for the attitude (q0, q1, q2, q3) =
// (w, x, y, z), normalised; false, and `worldFromDrone` untouched, when a
// component is not finite or the norm is off by more than kNormTolerance.
bool worldFromAttitude(double q0, double q1, double q2, double q3, Eigen::Quaterniond* worldFromDrone);

// A mounting's rotation from roll, pitch and yaw in radians about the parent's
// fixed x, y and z axes, applied in that order: Rz(yaw) Ry(pitch) Rx(roll).
Eigen::Quaterniond mountingRotation(double roll, double pitch, double yaw);
}  // namespace attitude_conversion

#endif  // ZYR_COLLISION_AVOIDANCE_ATTITUDE_CONVERSION_H
