// The forward probe of the collision monitor, free of ROS so that it can be
// exercised and measured without a master: which way and how far to look for
// the latest motion, the fan of 60 rays, and the decision taken from them.
// The monitor casts exactly the rays built here, and its ray markers draw
// exactly the same rays.
#ifndef ZYR_COLLISION_AVOIDANCE_COLLISION_PROBE_H
#define ZYR_COLLISION_AVOIDANCE_COLLISION_PROBE_H

#include <octomap/OcTree.h>

#include <Eigen/Core>
#include <array>
#include <cstdint>

namespace collision_probe
{
constexpr int kColumns = 10;  // lateral samples, outer loop
constexpr int kRows = 6;      // vertical samples, inner loop
constexpr int kRayCount = kColumns * kRows;
// More than this many hits is a collision.
constexpr int kTolerableHits = 3;
// A direction shorter than this gives no heading to probe along.
constexpr double kMinDirectionLength = 0.01;

// Look-ahead: 10 s of flight at the current speed, within 15..25 m; at rest,
// 20 m along the sticks.
constexpr double kSecondsAhead = 10.0;
constexpr double kMinRange = 15.0;
constexpr double kMaxRange = 25.0;
constexpr double kStickRange = 20.0;

// Voxel edges of a map worth querying, metres. A tree of 16 levels reaches
// 2^15 voxels from its centre, so a finer one cannot hold an obstacle at the
// longest look-ahead; a voxel coarser than the upper bound is wider than the
// whole fan.
constexpr double kMinMapResolution = kMaxRange / 32768.0;
constexpr double kMaxMapResolution = 10.0;
// A map received longer ago than this (seconds) gives no verdict, nor
// obstacle distances for the ground station. The mapper
// publishes one per 0.12 s window while clouds come, so this is about four
// windows missed: the LiDAR or the mapper has stopped, and "world", which
// moves with the aircraft, no longer matches the map.
constexpr double kMapMaxAgeSeconds = 0.5;

// Where to probe for the latest motion, and the figures the monitor reports
// with each query.
struct Probe
{
  Eigen::Vector3f direction = Eigen::Vector3f::Zero();  // horizontal, not normalised
  double range = 0.0;                                   // metres
  bool alongVelocity = false;                           // else along the sticks
  Eigen::Vector3f velocity = Eigen::Vector3f::Zero();   // horizontal part of the velocity
  Eigen::Vector3f stick = Eigen::Vector3f::Zero();      // horizontal part of the stick vector
  float speed = 0.0f;                                   // |velocity|
  float stickLength = 0.0f;                             // |stick|
  // Why no verdict can be given for this motion, or null when one can. A
  // query that cannot be made must not pass for a clear one.
  const char* problem = nullptr;
};

// Above the slow-flight speed the probe follows the horizontal velocity for
// kSecondsAhead of flight, clamped to kMinRange..kMaxRange; otherwise it
// follows the horizontal stick vector for kStickRange. Both vectors are in
// "world". The probe has a problem when the velocity has a component that is
// not finite, when at rest the stick vector was built from garbage
// (`stickUsable` false), or when queryProblem() finds one with its direction
// and range. A zero stick vector (hovering with centred sticks) is no
// problem: it probes nothing and is clear.
Probe chooseProbe(const Eigen::Vector3f& velocity, const Eigen::Vector3f& stick, bool stickUsable = true);

// Why a forward query along `direction` for `range` metres cannot be made,
// or null when it can: a direction with a component or a length that is not
// finite (its square overflowing single precision), or a range that is not a
// positive finite length. A direction too short to give a heading can be
// queried: it is clear.
const char* queryProblem(const Eigen::Vector3f& direction, double range);

// The pilot's sticks as a point in the body frame "drone" (x forward, y right,
// z down): (pitch, roll, -throttle) scaled so that full deflection reaches 3 m
// forward or sideways and 2 m up.
Eigen::Vector3f stickPointInBody(float roll, float pitch, float throttle);

// Whether the stick vector may be built from these channels: each within
// full scale (a NaN is not).
bool stickValuesUsable(float roll, float pitch, float throttle);

// Whether a map of this voxel edge is worth decoding: finite and within
// kMinMapResolution..kMaxMapResolution.
bool mapResolutionUsable(double resolution);

struct Segment
{
  Eigen::Vector3f start;
  Eigen::Vector3f end;
};

struct Fan
{
  // False when the direction is too short or not finite (or the range is not
  // a positive finite length): there is nothing to probe and no ray is cast.
  bool usable = false;
  Eigen::Vector3f far = Eigen::Vector3f::Zero();   // unit direction times range
  Eigen::Vector3f side = Eigen::Vector3f::Zero();  // horizontal, at right angles to far
  Eigen::Vector3f up = Eigen::Vector3f::Zero();    // far x side, normalised
  // Ray 6*j + k pairs column j with row k (j outer, k inner).
  std::array<Segment, kRayCount> rays{};
};

// Offsets of the grid in metres: lower bound + index * (span / count),
// computed in double and converted to float. The last sample of each axis
// stops one step short of the upper bound, so the grid is not symmetric.
float startColumnOffset(int j);
float startRowOffset(int k);
float endColumnOffset(int j);
float endRowOffset(int k);

// True if `direction` gives a heading: finite and at least 0.01 long.
bool directionUsable(const Eigen::Vector3f& direction);

// Builds the 60 probe segments around the world origin for a heading and a
// look-ahead range in metres. A heading with no horizontal component gets the
// world y axis as its side vector, so nothing divides by zero.
Fan buildFan(const Eigen::Vector3f& direction, double range);

struct Verdict
{
  std::uint8_t status = 0;                                        // 0 clear, 1 collision
  octomath::Vector3 collisionPoint = octomath::Vector3(0, 0, 0);  // end of the deciding hit, else zero
  int hits = 0;
  int raysCast = 0;
};

// Casts the fan's rays in order through `tree`, each only along its own
// segment and with unknown cells taken as free, and stops at the hit that
// makes the count exceed kTolerableHits.
Verdict castFan(const octomap::OcTree& tree, const Fan& fan);
}  // namespace collision_probe

#endif  // ZYR_COLLISION_AVOIDANCE_COLLISION_PROBE_H
