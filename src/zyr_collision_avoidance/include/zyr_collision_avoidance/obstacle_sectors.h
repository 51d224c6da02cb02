// Obstacle distances around the aircraft for a ground station's radar view:
// 72 horizontal sectors of 5 degrees about the nose, each holding the
// horizontal distance from the aircraft (the origin of "world") to the
// nearest occupied voxel within a vertical band around its height.
//
// Bearings run clockwise seen from above, from the nose, as in a
// front-right-down body frame: sector k is centred on k * 5 degrees and spans
// [k * 5 - 2.5, k * 5 + 2.5) degrees. A voxel counts in every sector its
// horizontal footprint reaches, with the distance of its nearest point, so a
// wall close by leaves no gap between the sectors of its voxels.
#ifndef ZYR_COLLISION_AVOIDANCE_OBSTACLE_SECTORS_H
#define ZYR_COLLISION_AVOIDANCE_OBSTACLE_SECTORS_H

#include <octomap/OcTree.h>

#include <Eigen/Geometry>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

namespace obstacle_sectors
{
constexpr int kSectorCount = 72;
constexpr double kSectorWidth = 2.0 * M_PI / kSectorCount;  // radians
// Nearer obstacles are reported at this distance: still an obstacle, and a
// range a receiver takes as valid.
constexpr float kRangeMin = 0.3f;
// A sector without an obstacle within range gets range_max plus this, which
// receivers read as "no obstacle".
constexpr float kNoObstacleMargin = 1.0f;

using Ranges = std::array<float, kSectorCount>;

// The aircraft's heading in "world": unit horizontal vectors towards its nose
// and towards its right.
struct Heading
{
  double forwardX = 1.0, forwardY = 0.0;
  double rightX = 0.0, rightY = -1.0;
};

// The heading of a body frame whose x is the nose and y the right, turned by
// `worldFromDrone` into a world frame whose z is vertical (up or down). False
// when the nose points straight up or down or the rotation is not finite.
bool headingOf(const Eigen::Quaterniond& worldFromDrone, Heading* heading);

// The sector of a bearing in radians, clockwise from the nose (any value).
int sectorOf(double bearing);

// Every range "unknown" (NaN): no map, a stale one, no heading, or a hold.
Ranges unknownRanges();

class SectorRanges
{
public:
  // `band`: half-height of the vertical band about the aircraft, metres;
  // `rangeMax`: farther obstacles count as none.
  SectorRanges(const Heading& heading, double band, double rangeMax);

  // One occupied voxel (a pruned leaf too): centre in "world", edge length.
  void addVoxel(double x, double y, double z, double edge);

  // The nearest distance per sector, at least kRangeMin; rangeMax +
  // kNoObstacleMargin where nothing is within rangeMax.
  Ranges ranges() const;

private:
  double bearing(double x, double y) const;
  void mark(long sector, double distance);
  // A voxel next to the aircraft, seen under a wide angle: its corners' bearings.
  void addWideVoxel(double x, double y, double h, double distance);

  Heading heading_;
  double band_;
  double rangeMax_;
  std::array<double, kSectorCount> nearest_;
  // Per boundary j, between sectors j - 1 and j: its normal towards sector j
  // in "world", and that normal's |x| + |y|.
  std::array<double, kSectorCount> normalX_, normalY_, normalL1_;
};

// Adds the occupied leaves of a map's compact binary stream. False for a
// stream that is cut short or malformed: what was added is then worthless.
bool addBinaryMap(const std::vector<std::int8_t>& data, double resolution, SectorRanges* sectors);

// Adds the occupied leaves of a decoded tree.
void addTree(const octomap::OcTree& tree, SectorRanges* sectors);
}  // namespace obstacle_sectors

#endif  // ZYR_COLLISION_AVOIDANCE_OBSTACLE_SECTORS_H
