// The map's geometry and timing, shared by the mapper, which builds the map
// with them, and the watchdog, which judges the clouds and the maps by them.
#ifndef ZYR_COLLISION_AVOIDANCE_MAP_CONSTANTS_H
#define ZYR_COLLISION_AVOIDANCE_MAP_CONSTANTS_H

#include <cstdint>

namespace occupancy_mapping
{
// Edge of a voxel of the map, metres.
constexpr double kResolution = 0.3;
// Points farther than this from the vertical axis through the world origin
// are left out, metres.
constexpr double kInsertionRadius = 30.0;
// A tree collects the clouds of this window before it is published, in
// nanoseconds of the ROS clock (0.12 s).
constexpr std::int64_t kWindowNanoseconds = 120000000;
}  // namespace occupancy_mapping

#endif  // ZYR_COLLISION_AVOIDANCE_MAP_CONSTANTS_H
