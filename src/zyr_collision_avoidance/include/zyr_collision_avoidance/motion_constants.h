// Stick scaling and the slow-flight threshold, shared by the collision
// monitor and guarded_flight so that both read the pilot's sticks and the
// aircraft's speed the same way.
#ifndef ZYR_COLLISION_AVOIDANCE_MOTION_CONSTANTS_H
#define ZYR_COLLISION_AVOIDANCE_MOTION_CONSTANTS_H

namespace motion_constants
{
// A stick channel runs from -10000 to +10000.
constexpr float kStickFullScale = 10000.0f;

// A channel value outside full scale, or not a number at all, is garbage: no
// command and no probe direction may be built from it.
inline bool stickInRange(float value)
{
  return value >= -kStickFullScale && value <= kStickFullScale;
}

// Divisors in single precision: the nearest floats to 10000/3 and 10000/45,
// so full deflection gives exactly 3.0 (m/s of stick vector, or degrees) and
// 45.0 (degrees per second of yaw).
constexpr float kRollPitchDivisor = 3333.3333f;
constexpr float kYawDivisor = 222.22223f;
// Full throttle gives 2.0.
constexpr float kThrottleDivisor = 5000.0f;

// Horizontal speed (m/s) below which the aircraft counts as at rest: the
// monitor then probes along the sticks, and the guard's latch counts clear
// verdicts towards releasing danger.
constexpr float kSlowSpeed = 0.25f;
}  // namespace motion_constants

#endif  // ZYR_COLLISION_AVOIDANCE_MOTION_CONSTANTS_H
