// How the mapper turns point clouds into hits, free of ROS so that it can be
// exercised and measured without a master: which clouds can be read safely,
// the tree with the mapper's sensor model, the insertion of every point within
// 30 m as a hit, and when a tree's 0.12 s window has passed.
#ifndef ZYR_COLLISION_AVOIDANCE_CLOUD_INSERTION_H
#define ZYR_COLLISION_AVOIDANCE_CLOUD_INSERTION_H

#include <octomap/OcTree.h>
#include <sensor_msgs/PointCloud2.h>

#include <cstdint>
#include <string>

#include "zyr_collision_avoidance/map_constants.h"

namespace occupancy_mapping
{
/// Why the cloud's layout cannot be read safely (fields, strides, sizes), or
/// an empty string when it can. Neither the transform nor the insertion may be
/// handed a cloud for which this is not empty: both read the point data
/// without bounds checks.
std::string cloudLayoutProblem(const sensor_msgs::PointCloud2& cloud);

/// True when the transform would misread a readable cloud: rows padded beyond
/// width * point_step (it walks the points as if packed), or a float it loads
/// ("x", "y", "z", "distance", "vp_x" to "vp_z") at an address that is not a
/// multiple of 4 (undefined behaviour). Such a cloud is to go on as
/// packedXyz(). `cloud` must have passed cloudLayoutProblem().
bool needsPacking(const sensor_msgs::PointCloud2& cloud);

/// The points of `cloud` as a plain cloud with the same header, height, width,
/// endianness and density: float32 "x", "y", "z" at offsets 0, 4 and 8 of
/// 12-byte points, rows without padding. The coordinates are copied byte for
/// byte. `cloud` must have passed cloudLayoutProblem().
sensor_msgs::PointCloud2 packedXyz(const sensor_msgs::PointCloud2& cloud);

/// A new, empty tree with the mapper's sensor model, or null when none could
/// be allocated. The caller owns it.
octomap::OcTree* newSensorModelTree(double resolution = kResolution);

/// Adds one hit for every point within kInsertionRadius horizontally of the
/// world origin. `cloud` must have passed cloudLayoutProblem().
void insertHits(const sensor_msgs::PointCloud2& cloud, octomap::OcTree& tree);

/// True once a tree started `elapsedNanoseconds` ago (ROS clock) has had its
/// window: strictly more than 0.12 s.
inline bool windowElapsed(std::int64_t elapsedNanoseconds)
{
  return elapsedNanoseconds > kWindowNanoseconds;
}
}  // namespace occupancy_mapping

#endif  // ZYR_COLLISION_AVOIDANCE_CLOUD_INSERTION_H
