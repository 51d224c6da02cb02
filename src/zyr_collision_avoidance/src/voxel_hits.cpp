#include "zyr_collision_avoidance/voxel_hits.h"

#include <octomap/OcTree.h>

#include <cstddef>
#include <cstring>
#include <vector>

namespace occupancy_mapping
{
namespace
{
// A voxel key packs into a 48-bit Morton code: bit 3b holds bit b of the x
// key, bit 3b + 1 that of y, bit 3b + 2 that of z. The three bits of a level
// are then the library's child index there (x + 2y + 4z), so ascending codes
// list voxels in the tree's depth-first order, and the voxels below any node
// form one contiguous range. Writing in that order also keeps the tree walks
// in cache.
std::uint64_t spreadBits(std::uint64_t v)
{
  v = (v | v << 16) & 0x001f0000ff0000ffULL;
  v = (v | v << 8) & 0x100f00f00f00f00fULL;
  v = (v | v << 4) & 0x10c30c30c30c30c3ULL;
  v = (v | v << 2) & 0x1249249249249249ULL;
  return v;
}

std::uint16_t gatherBits(std::uint64_t v)
{
  v &= 0x1249249249249249ULL;
  v = (v ^ (v >> 2)) & 0x10c30c30c30c30c3ULL;
  v = (v ^ (v >> 4)) & 0x100f00f00f00f00fULL;
  v = (v ^ (v >> 8)) & 0x001f0000ff0000ffULL;
  v = (v ^ (v >> 16)) & 0x001f00000000ffffULL;
  return static_cast<std::uint16_t>(v);
}

// Each entry of the grouping buffer: a voxel's code above the number of
// consecutive points that fell into it (at most 0xffff, then a new entry).
constexpr unsigned kCountBits = 16;
constexpr std::uint64_t kCountMask = (std::uint64_t(1) << kCountBits) - 1;

// The tree's key for one coordinate already multiplied by the inverse
// resolution, as coordToKeyChecked computes it, or false where that refuses
// the coordinate. The library casts floor() to int before its range test,
// which is undefined for NaN and far-out values: x86 gives INT_MIN, which
// the test then rejects, while aarch64 turns NaN into 0 and accepts it at
// height 0. Testing the range first rejects them on every platform.
bool coordinateKey(double scaled, int halfRange, std::uint16_t& key)
{
  if (!(scaled >= -halfRange && scaled < halfRange))
    return false;
  int floored = static_cast<int>(scaled);  // truncates towards zero
  if (static_cast<double>(floored) > scaled)
    --floored;
  key = static_cast<std::uint16_t>(floored + halfRange);
  return true;
}

// Sorts the entries by voxel code: least significant digit first, 8 bits a
// pass. A digit that every entry shares (the high bits of a scan's narrow
// height band) costs no pass.
void sortByVoxel(std::vector<std::uint64_t>& entries, std::vector<std::uint64_t>& scratch)
{
  constexpr unsigned kPasses = 6;
  if (entries.size() < 2)
    return;
  std::size_t counts[kPasses][256] = {};
  for (const std::uint64_t entry : entries)
    for (unsigned pass = 0; pass < kPasses; ++pass)
      ++counts[pass][(entry >> (kCountBits + 8 * pass)) & 0xff];
  scratch.resize(entries.size());
  for (unsigned pass = 0; pass < kPasses; ++pass)
  {
    const unsigned shift = kCountBits + 8 * pass;
    std::size_t* slot = counts[pass];
    if (slot[(entries.front() >> shift) & 0xff] == entries.size())
      continue;
    std::size_t start = 0;
    for (unsigned digit = 0; digit < 256; ++digit)
    {
      const std::size_t count = slot[digit];
      slot[digit] = start;
      start += count;
    }
    for (const std::uint64_t entry : entries)
      scratch[slot[(entry >> shift) & 0xff]++] = entry;
    entries.swap(scratch);
  }
}

// Gives the nodes on the paths to the voxels [first, last) (ascending codes,
// all below `node`) the form that updateNode with lazy evaluation off leaves
// on its way up, children before parents: a node whose eight children are
// equal leaves is pruned into one leaf, any other takes its largest child
// value.
void settle(octomap::OcTree& tree, octomap::OcTreeNode* node, unsigned depth, const std::uint64_t* first,
            const std::uint64_t* last)
{
  const unsigned treeDepth = tree.getTreeDepth();
  if (depth == treeDepth || !tree.nodeHasChildren(node))
    return;
  const unsigned shift = 3 * (treeDepth - 1 - depth);
  while (first != last)
  {
    const unsigned child = (*first >> shift) & 7;
    const std::uint64_t* end = first + 1;
    while (end != last && ((*end >> shift) & 7) == child)
      ++end;
    if (tree.nodeChildExists(node, child))
      settle(tree, tree.getNodeChild(node, child), depth + 1, first, end);
    first = end;
  }
  if (!tree.pruneNode(node))
    node->updateOccupancyChildren();
}
}  // namespace

// Why the tree comes out as the per-point loop leaves it, whatever the order
// in which voxels are written:
// - A hit changes the value of no voxel but its own. Expanding a pruned leaf
//   gives all eight children the leaf's value, pruning gives the parent the
//   children's common value, and creating a node leaves its siblings unknown.
//   So the value a voxel starts from (its deepest node on the key's path, as
//   search() finds it, or a new node's value) is the same whenever the loop
//   reaches it, and its final value is its hits applied one by one to that
//   value, with updateNode's early abort and its clamping after every
//   addition. That float is computed here and written once.
// - Writes create and expand the same nodes as updateNode does (the library
//   shares that descent). Every node on a changed path ends as its last
//   settling leaves it; in the loop that comes after the last hit below it,
//   when its children are final, and here the children-first pass runs after
//   all writes. A prune in between that a later hit undoes by expanding gives
//   back the same eight children.
void addHitsByVoxel(const CloudPoints& points, double maxHorizontalSquared, octomap::OcTree& tree)
{
  // Both as the library derives them for its keys.
  const double inverseResolution = 1.0 / tree.getResolution();
  const int halfRange = 1 << (tree.getTreeDepth() - 1);

  // Runs of consecutive points in one voxel are counted at once: LiDAR points
  // arrive in scan order, so this leaves the sort a fifth of the points.
  std::vector<std::uint64_t> entries;
  std::uint64_t previous = ~std::uint64_t(0);
  for (std::uint32_t row = 0; row < points.height; ++row)
  {
    for (std::uint32_t column = 0; column < points.width; ++column)
    {
      const std::uint8_t* point =
          points.data + std::size_t(row) * points.rowStep + std::size_t(column) * points.pointStep;
      float x, y, z;
      std::memcpy(&x, point + points.offsetX, sizeof x);
      std::memcpy(&y, point + points.offsetY, sizeof y);
      const double dx = x, dy = y;
      if (!(dx * dx + dy * dy <= maxHorizontalSquared))
        continue;
      std::memcpy(&z, point + points.offsetZ, sizeof z);
      std::uint16_t kx, ky, kz;
      if (!coordinateKey(inverseResolution * dx, halfRange, kx) ||
          !coordinateKey(inverseResolution * dy, halfRange, ky) ||
          !coordinateKey(inverseResolution * double(z), halfRange, kz))
        continue;
      const std::uint64_t packed = kx | std::uint64_t(ky) << 16 | std::uint64_t(kz) << 32;
      if (packed == previous && (entries.back() & kCountMask) != kCountMask)
      {
        ++entries.back();
      }
      else
      {
        const std::uint64_t code = spreadBits(kx) | spreadBits(ky) << 1 | spreadBits(kz) << 2;
        entries.push_back(code << kCountBits | 1);
        previous = packed;
      }
    }
  }
  std::vector<std::uint64_t> scratch;
  sortByVoxel(entries, scratch);

  const float hit = tree.getProbHitLog();
  const float lower = tree.getClampingThresMinLog();
  const float upper = tree.getClampingThresMaxLog();
  const float newNodeValue = octomap::OcTreeNode().getLogOdds();
  // In a tree without nodes every voxel starts as a new node, whatever the
  // writes before it (see above); the first cloud of a window needs no search.
  const bool wasEmpty = tree.getRoot() == nullptr;
  // The codes of the voxels written go to the front of `entries`, behind the
  // entries already read.
  std::size_t written = 0;
  for (std::size_t i = 0; i < entries.size();)
  {
    const std::uint64_t code = entries[i] >> kCountBits;
    std::uint64_t hits = 0;
    for (; i < entries.size() && entries[i] >> kCountBits == code; ++i)
      hits += entries[i] & kCountMask;

    const octomap::OcTreeKey key(gatherBits(code), gatherBits(code >> 1), gatherBits(code >> 2));
    const octomap::OcTreeNode* node = wasEmpty ? nullptr : tree.search(key);
    bool known = node != nullptr;
    float logOdds = known ? node->getLogOdds() : newNodeValue;
    bool changed = false;
    for (; hits > 0; --hits)
    {
      // updateNode leaves a known voxel at its clamping threshold alone;
      // otherwise it adds the hit and clamps.
      if (known && ((hit >= 0 && logOdds >= upper) || (hit <= 0 && logOdds <= lower)))
        break;
      logOdds += hit;
      if (logOdds < lower)
        logOdds = lower;
      else if (logOdds > upper)
        logOdds = upper;
      known = true;
      changed = true;
    }
    if (changed)
    {
      tree.setNodeValue(key, logOdds, true);
      entries[written++] = code;
    }
  }
  if (written > 0)
    settle(tree, tree.getRoot(), 0, entries.data(), entries.data() + written);
}
}  // namespace occupancy_mapping
