// What the health watchdog reads from a cloud's points: whether any of them
// would reach the map, and a hash of their bytes, so that a LiDAR that sends
// only NaN, only points out of range, or one old cloud again and again is
// told from one that sees. ROS-free: it reads the point bytes in place, as
// they came off the wire.
#ifndef ZYR_COLLISION_AVOIDANCE_WATCHDOG_CLOUD_CONTENT_H
#define ZYR_COLLISION_AVOIDANCE_WATCHDOG_CLOUD_CONTENT_H

#include <cstddef>
#include <cstdint>

namespace watchdog
{
/// Where a cloud keeps its coordinates: the offsets of its first fields named
/// "x", "y" and "z" when each is one float32 (-1 otherwise), and its strides.
struct PointLayout
{
  std::int64_t x = -1, y = -1, z = -1;
  std::uint32_t height = 0, width = 0, pointStep = 0, rowStep = 0;
};

struct CloudContent
{
  /// x, y and z are float32 fields inside each point, and the data hold height rows of row_step bytes with width
  /// points each: the points could be read. An unreadable cloud has no usable point.
  bool readable = false;
  std::uint64_t points = 0;  // height × width
  /// Points the mapper would insert: finite x, y, z within the insertion radius of the vertical axis, taken in the
  /// cloud's own frame (the watchdog has no tf; the LiDAR sits at the aircraft's centre, give or take its mount).
  std::uint64_t usable = 0;
  /// Points with finite x, y and z, near or far: a LiDAR that returns any sees.
  std::uint64_t finite = 0;
  std::uint64_t dataBytes = 0;
  std::uint64_t hash = 0;  // XXH3 (64 bits) of the data bytes; 0 without data
};

/// The content of `bytes` bytes of point data laid out as `layout`.
CloudContent examineCloud(const PointLayout& layout, const std::uint8_t* data, std::size_t bytes);
}  // namespace watchdog

#endif  // ZYR_COLLISION_AVOIDANCE_WATCHDOG_CLOUD_CONTENT_H
