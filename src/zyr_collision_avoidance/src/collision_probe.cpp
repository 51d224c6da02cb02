#include "zyr_collision_avoidance/collision_probe.h"

#include <Eigen/Geometry>
#include <cmath>

#include "zyr_collision_avoidance/motion_constants.h"

namespace collision_probe
{
namespace
{
struct GridAxis
{
  double lower;
  double upper;
  int count;
};

constexpr GridAxis kStartColumn{-0.9, 0.9, kColumns};
constexpr GridAxis kStartRow{-0.3, 0.3, kRows};
constexpr GridAxis kEndColumn{-2.4, 2.4, kColumns};
constexpr GridAxis kEndRow{-0.9, 0.9, kRows};

float gridOffset(const GridAxis& axis, int index)
{
  const double step = (axis.upper - axis.lower) / axis.count;
  return static_cast<float>(axis.lower + index * step);
}

// Side vector for a heading that points straight up or down, where turning
// the heading about the vertical axis gives nothing to normalise.
const Eigen::Vector3f kVerticalHeadingSide(0.0f, 1.0f, 0.0f);
}  // namespace

Probe chooseProbe(const Eigen::Vector3f& velocity, const Eigen::Vector3f& stick, bool stickUsable)
{
  Probe probe;
  probe.velocity = Eigen::Vector3f(velocity.x(), velocity.y(), 0.0f);
  probe.stick = Eigen::Vector3f(stick.x(), stick.y(), 0.0f);
  probe.speed = probe.velocity.norm();
  probe.stickLength = probe.stick.norm();
  // A NaN speed fails this test too and falls back to the sticks.
  if (static_cast<double>(probe.speed) > static_cast<double>(motion_constants::kSlowSpeed))
  {
    double range = kSecondsAhead * probe.speed;
    if (range < kMinRange)
      range = kMinRange;
    if (range > kMaxRange)
      range = kMaxRange;
    probe.direction = probe.velocity;
    probe.range = range;
    probe.alongVelocity = true;
  }
  else
  {
    probe.direction = probe.stick;
    probe.range = kStickRange;
  }
  // The vertical speed plays no part in the probe, but a velocity that is
  // not a number in any component is not one to judge the motion by.
  if (!velocity.allFinite())
    probe.problem = "the velocity is not finite";
  else if (!probe.alongVelocity && !stickUsable)
    probe.problem = "the sticks are out of range or not finite";
  else
    probe.problem = queryProblem(probe.direction, probe.range);
  return probe;
}

const char* queryProblem(const Eigen::Vector3f& direction, double range)
{
  if (!direction.allFinite() || !std::isfinite(direction.norm()))
    return "the direction is not finite or too long for single precision";
  if (!(std::isfinite(range) && range > 0.0))
    return "the look-ahead range is not a positive finite length";
  return nullptr;
}

bool stickValuesUsable(float roll, float pitch, float throttle)
{
  using motion_constants::stickInRange;
  return stickInRange(roll) && stickInRange(pitch) && stickInRange(throttle);
}

bool mapResolutionUsable(double resolution)
{
  // NaN fails both comparisons.
  return resolution >= kMinMapResolution && resolution <= kMaxMapResolution;
}

Eigen::Vector3f stickPointInBody(float roll, float pitch, float throttle)
{
  return Eigen::Vector3f(pitch / motion_constants::kRollPitchDivisor, roll / motion_constants::kRollPitchDivisor,
                         -(throttle / motion_constants::kThrottleDivisor));
}

float startColumnOffset(int j)
{
  return gridOffset(kStartColumn, j);
}

float startRowOffset(int k)
{
  return gridOffset(kStartRow, k);
}

float endColumnOffset(int j)
{
  return gridOffset(kEndColumn, j);
}

float endRowOffset(int k)
{
  return gridOffset(kEndRow, k);
}

bool directionUsable(const Eigen::Vector3f& direction)
{
  // The single-precision length never equals the double 0.01, so "below
  // 0.01" and "0.01 or less" are the same test.
  const float length = direction.norm();
  return std::isfinite(length) && length >= kMinDirectionLength;
}

Fan buildFan(const Eigen::Vector3f& direction, double range)
{
  Fan fan;
  const float reach = static_cast<float>(range);
  if (!directionUsable(direction) || !std::isfinite(reach) || !(reach > 0.0f))
    return fan;

  fan.far = direction.normalized() * reach;
  Eigen::Vector3f side(-fan.far.y(), fan.far.x(), 0.0f);
  const float sideLength = side.norm();
  fan.side = sideLength > 0.0f && std::isfinite(sideLength) ? Eigen::Vector3f(side / sideLength) : kVerticalHeadingSide;
  fan.up = fan.far.cross(fan.side);
  fan.up.normalize();  // leaves a zero vector unchanged

  int id = 0;
  for (int j = 0; j < kColumns; ++j)
  {
    const float a = startColumnOffset(j);
    const float c = endColumnOffset(j);
    for (int k = 0; k < kRows; ++k)
    {
      const float b = startRowOffset(k);
      const float d = endRowOffset(k);
      fan.rays[id].start = a * fan.side + b * fan.up;
      fan.rays[id].end = fan.far + c * fan.side + d * fan.up;
      ++id;
    }
  }
  fan.usable = true;
  return fan;
}

Verdict castFan(const octomap::OcTree& tree, const Fan& fan)
{
  Verdict verdict;
  if (!fan.usable)
    return verdict;
  for (const Segment& ray : fan.rays)
  {
    const Eigen::Vector3f along = ray.end - ray.start;
    const double length = along.norm();
    // The ray cast treats a non-positive range as unlimited and cannot follow
    // a zero direction; such a segment only arises from a degenerate range.
    if (!(length > 0.0) || !std::isfinite(length))
      continue;
    ++verdict.raysCast;
    octomath::Vector3 end;
    const bool hit = tree.castRay(octomath::Vector3(ray.start.x(), ray.start.y(), ray.start.z()),
                                  octomath::Vector3(along.x(), along.y(), along.z()), end, true, length);
    if (hit && ++verdict.hits > kTolerableHits)
    {
      verdict.status = 1;
      verdict.collisionPoint = end;
      return verdict;
    }
  }
  return verdict;
}
}  // namespace collision_probe
