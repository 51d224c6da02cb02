#include "zyr_collision_avoidance/obstacle_sectors.h"

#include <algorithm>
#include <limits>

#include "zyr_collision_avoidance/octree_stream.h"

namespace obstacle_sectors
{
bool headingOf(const Eigen::Quaterniond& worldFromDrone, Heading* heading)
{
  const Eigen::Quaterniond q = worldFromDrone.normalized();
  if (!q.coeffs().allFinite())
    return false;
  const Eigen::Vector3d nose = q * Eigen::Vector3d::UnitX();
  const Eigen::Vector3d side = q * Eigen::Vector3d::UnitY();
  const double length = std::hypot(nose.x(), nose.y());
  if (!(length > 1e-6))
    return false;
  Heading h;
  h.forwardX = nose.x() / length;
  h.forwardY = nose.y() / length;
  // Right is the horizontal perpendicular on the side of the body's y axis,
  // which settles whether the world's z points up or down.
  h.rightX = h.forwardY;
  h.rightY = -h.forwardX;
  if (h.rightX * side.x() + h.rightY * side.y() < 0.0)
  {
    h.rightX = -h.rightX;
    h.rightY = -h.rightY;
  }
  *heading = h;
  return true;
}

int sectorOf(double bearing)
{
  const long k = static_cast<long>(std::floor(bearing / kSectorWidth + 0.5));
  return static_cast<int>(((k % kSectorCount) + kSectorCount) % kSectorCount);
}

Ranges unknownRanges()
{
  Ranges r;
  r.fill(std::numeric_limits<float>::quiet_NaN());
  return r;
}

SectorRanges::SectorRanges(const Heading& heading, double band, double rangeMax)
    : heading_(heading), band_(band), rangeMax_(rangeMax)
{
  nearest_.fill(std::numeric_limits<double>::infinity());
  for (int j = 0; j < kSectorCount; ++j)
  {
    // Boundary j lies at bearing (j - 1/2) sector widths; a quarter turn
    // clockwise of it points into sector j.
    const double normal = (j - 0.5) * kSectorWidth + M_PI / 2;
    const double f = std::cos(normal), r = std::sin(normal);
    normalX_[j] = f * heading_.forwardX + r * heading_.rightX;
    normalY_[j] = f * heading_.forwardY + r * heading_.rightY;
    normalL1_[j] = std::abs(normalX_[j]) + std::abs(normalY_[j]);
  }
}

double SectorRanges::bearing(double x, double y) const
{
  // Clockwise from the nose: atan2(right, forward).
  return std::atan2(x * heading_.rightX + y * heading_.rightY, x * heading_.forwardX + y * heading_.forwardY);
}

void SectorRanges::mark(long sector, double distance)
{
  double& nearest = nearest_[((sector % kSectorCount) + kSectorCount) % kSectorCount];
  nearest = std::min(nearest, distance);
}

void SectorRanges::addVoxel(double x, double y, double z, double edge)
{
  const double h = edge / 2.0;
  if (z - h > band_ || z + h < -band_)
    return;
  const double dx = std::max(std::abs(x) - h, 0.0);
  const double dy = std::max(std::abs(y) - h, 0.0);
  const double distance = std::hypot(dx, dy);
  if (!(distance <= rangeMax_))
    return;  // too far, or not a number
  if (x * x + y * y <= 16.0 * h * h)
  {
    addWideVoxel(x, y, h, distance);
    return;
  }
  // Seen under less than 45 degrees: from the centre's sector, the footprint
  // reaches across a boundary when one of its corners lies beyond it, that
  // is when the corner nearest that side does.
  const long centre = sectorOf(bearing(x, y));
  mark(centre, distance);
  for (long j = centre; j > centre - kSectorCount / 2; --j)
  {
    const int b = static_cast<int>(((j % kSectorCount) + kSectorCount) % kSectorCount);
    if (!(x * normalX_[b] + y * normalY_[b] - h * normalL1_[b] < 0.0))
      break;
    mark(j - 1, distance);
  }
  for (long j = centre + 1; j < centre + kSectorCount / 2; ++j)
  {
    const int b = static_cast<int>(j % kSectorCount);
    if (!(x * normalX_[b] + y * normalY_[b] + h * normalL1_[b] >= 0.0))
      break;
    mark(j, distance);
  }
}

void SectorRanges::addWideVoxel(double x, double y, double h, double distance)
{
  if (distance == 0.0)
  {
    // The aircraft stands within the voxel's footprint: it is on every side.
    std::fill(nearest_.begin(), nearest_.end(), 0.0);
    return;
  }
  const double centre = bearing(x, y);
  // The footprint leaves out the origin, so it is seen under less than half a
  // turn and its corners lie within half a turn of its centre's bearing.
  double lo = 0.0, hi = 0.0;
  for (const double cx : {x - h, x + h})
    for (const double cy : {y - h, y + h})
    {
      const double offset = std::remainder(bearing(cx, cy) - centre, 2.0 * M_PI);
      lo = std::min(lo, offset);
      hi = std::max(hi, offset);
    }
  const long first = static_cast<long>(std::floor((centre + lo) / kSectorWidth + 0.5));
  const long last = static_cast<long>(std::floor((centre + hi) / kSectorWidth + 0.5));
  for (long k = first; k <= last; ++k)
    mark(k, distance);
}

Ranges SectorRanges::ranges() const
{
  Ranges r;
  for (int k = 0; k < kSectorCount; ++k)
    r[k] = std::isinf(nearest_[k]) ? static_cast<float>(rangeMax_) + kNoObstacleMargin
                                   : std::max(kRangeMin, static_cast<float>(nearest_[k]));
  return r;
}

bool addBinaryMap(const std::vector<std::int8_t>& data, double resolution, SectorRanges* sectors)
{
  return octree_stream::forEachOccupiedLeaf(data, resolution,
                                            [sectors](const octree_stream::Leaf& leaf)
                                            { sectors->addVoxel(leaf.x, leaf.y, leaf.z, leaf.edge); });
}

void addTree(const octomap::OcTree& tree, SectorRanges* sectors)
{
  for (auto it = tree.begin_leafs(), end = tree.end_leafs(); it != end; ++it)
    if (tree.isNodeOccupied(*it))
      sectors->addVoxel(it.getX(), it.getY(), it.getZ(), it.getSize());
}
}  // namespace obstacle_sectors
