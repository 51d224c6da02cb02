// Hits of a point cloud applied to an occupancy octree once per voxel.
//
// A LiDAR scan puts many points into the same voxel (the 64-beam street scan
// of the test data: about 108,000 points within 30 m, 11,700 voxels). The
// octree library's own loop walks the tree from the root for every point;
// this groups the points by voxel first and walks the tree once per voxel,
// with the same tree as the result.
#ifndef ZYR_COLLISION_AVOIDANCE_VOXEL_HITS_H
#define ZYR_COLLISION_AVOIDANCE_VOXEL_HITS_H

#include <cstdint>

namespace octomap
{
class OcTree;
}

namespace occupancy_mapping
{
/// Where the float32 coordinates of a cloud's points sit in its bytes:
/// `height` rows `rowStep` bytes apart, each of `width` points `pointStep`
/// bytes apart, x, y and z at their byte offsets within a point. Rows may
/// carry padding, and nothing needs to be aligned. Every coordinate read must
/// lie inside the bytes `data` points to.
struct CloudPoints
{
  const std::uint8_t* data;
  std::uint32_t width;
  std::uint32_t height;
  std::uint32_t pointStep;
  std::uint32_t rowStep;
  std::uint32_t offsetX;
  std::uint32_t offsetY;
  std::uint32_t offsetZ;
};

/// Adds one hit for every point with x * x + y * y <= `maxHorizontalSquared`
/// (in double precision, so NaN fails) and leaves the tree exactly as the
/// octree library's loop, `updateNode(point, true, false)` per such point in
/// cloud order, would: the same nodes, log-odds values and pruning, bit for
/// bit, in a fresh tree or in one that holds earlier hits. Points the tree
/// cannot address (NaN or infinite z, outside its key range) are skipped as
/// updateNode skips them. Inner nodes on the changed paths are brought up to
/// date, as with lazy evaluation off.
///
/// The tree must not have change detection enabled: the changed keys the
/// per-point loop would record are not recorded here.
void addHitsByVoxel(const CloudPoints& points, double maxHorizontalSquared, octomap::OcTree& tree);
}  // namespace occupancy_mapping

#endif  // ZYR_COLLISION_AVOIDANCE_VOXEL_HITS_H
