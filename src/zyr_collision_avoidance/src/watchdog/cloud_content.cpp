#include "zyr_collision_avoidance/watchdog/cloud_content.h"

#include <cmath>
#include <cstring>
#include <initializer_list>

#include "zyr_collision_avoidance/map_constants.h"

// The hash is compiled in from the header: no library to link or to install.
#define XXH_INLINE_ALL
#include <xxhash.h>

namespace watchdog
{
namespace
{
bool readable(const PointLayout& l, std::size_t bytes)
{
  for (const std::int64_t offset : {l.x, l.y, l.z})
    if (offset < 0 || offset + 4 > static_cast<std::int64_t>(l.pointStep))
      return false;
  const std::uint64_t packedRow = std::uint64_t(l.width) * l.pointStep;
  return l.rowStep >= packedRow && std::uint64_t(l.height) * l.rowStep <= bytes;
}

float floatAt(const std::uint8_t* p)
{
  float value;
  std::memcpy(&value, p, sizeof value);
  return value;
}
}  // namespace

CloudContent examineCloud(const PointLayout& layout, const std::uint8_t* data, std::size_t bytes)
{
  CloudContent c;
  c.points = std::uint64_t(layout.height) * layout.width;
  c.dataBytes = bytes;
  c.hash = bytes > 0 ? XXH3_64bits(data, bytes) : 0;
  c.readable = readable(layout, bytes);
  if (!c.readable)
    return c;
  // The mapper's test, in double as it makes it; a NaN or an infinity fails it.
  const double r2 = occupancy_mapping::kInsertionRadius * occupancy_mapping::kInsertionRadius;
  for (std::uint32_t row = 0; row < layout.height; ++row)
  {
    const std::uint8_t* p = data + std::uint64_t(row) * layout.rowStep;
    for (std::uint32_t i = 0; i < layout.width; ++i, p += layout.pointStep)
    {
      const double x = floatAt(p + layout.x), y = floatAt(p + layout.y);
      if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(floatAt(p + layout.z)))
        continue;
      ++c.finite;
      if (x * x + y * y <= r2)
        ++c.usable;
    }
  }
  return c;
}
}  // namespace watchdog
