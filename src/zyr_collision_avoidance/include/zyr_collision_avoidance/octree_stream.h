// Reads the occupied leaves straight out of the compact binary stream of an
// occupancy octree (octomap_msgs/Octomap with `binary` true), without building
// the tree: a map is walked in a fraction of the time the octree library
// needs to rebuild it, and nothing is allocated per node.
//
// The stream holds one two-byte record per node that has children, in
// depth-first order. A record gives each of the node's eight children a
// two-bit code, children 0 to 3 in the first byte and 4 to 7 in the second
// (child i at bits 2(i mod 4) and 2(i mod 4)+1): 0 unknown, 1 free,
// 2 occupied, 3 has children (its record follows). Bits 0, 1 and 2 of a
// child's index put it in the upper half of its parent along x, y and z. The
// root spans 2^16 voxels per axis around the origin; a leaf at depth d is
// 2^(16-d) voxels wide.
#ifndef ZYR_COLLISION_AVOIDANCE_OCTREE_STREAM_H
#define ZYR_COLLISION_AVOIDANCE_OCTREE_STREAM_H

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace octree_stream
{
constexpr unsigned kTreeDepth = 16;

struct Leaf
{
  double x;  // centre, metres
  double y;
  double z;
  unsigned depth;  // kTreeDepth for a single voxel, less for a pruned leaf
  double edge;     // metres
};

/// Calls `visit(const Leaf&)` for every occupied leaf, in stream order. An
/// empty stream is an empty tree. False if the stream is cut short, nests
/// deeper than the tree or goes on after it; the leaves before the fault have
/// been visited then.
template <class Visit>
bool forEachOccupiedLeaf(const std::vector<std::int8_t>& data, double resolution, Visit visit)
{
  struct Node
  {
    std::int32_t x, y, z;  // lowest corner, in voxels
  };
  // Per depth, the nodes whose records are still to come, the next one last.
  std::array<std::vector<Node>, kTreeDepth> pending;
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  const std::size_t size = data.size();
  if (size == 0)
    return true;
  const std::int32_t corner = -(1 << (kTreeDepth - 1));
  pending[0].push_back({corner, corner, corner});
  std::size_t pos = 0;
  int depth = 0;
  while (depth >= 0)
  {
    if (pending[depth].empty())
    {
      --depth;
      continue;
    }
    const Node node = pending[depth].back();
    pending[depth].pop_back();
    if (size - pos < 2)
      return false;
    const unsigned codes = bytes[pos] | (static_cast<unsigned>(bytes[pos + 1]) << 8);
    pos += 2;
    const std::int32_t edge = 1 << (kTreeDepth - 1 - depth);  // of the children, in voxels
    bool inner = false;
    for (unsigned child = 0; child < 8; ++child)
    {
      const unsigned code = (codes >> (2 * child)) & 3u;
      if (code < 2)
        continue;
      const Node c{node.x + ((child & 1u) ? edge : 0), node.y + ((child & 2u) ? edge : 0),
                   node.z + ((child & 4u) ? edge : 0)};
      if (code == 2)
      {
        const double half = edge / 2.0;
        visit(Leaf{(c.x + half) * resolution, (c.y + half) * resolution, (c.z + half) * resolution,
                   static_cast<unsigned>(depth + 1), edge * resolution});
        continue;
      }
      if (depth + 1 >= static_cast<int>(kTreeDepth))
        return false;  // a voxel of the finest size cannot have children
      pending[depth + 1].push_back(c);
      inner = true;
    }
    if (inner)
    {
      // A node's record comes only after its parent's whole subtree is done,
      // so the level below is empty here. Children are read in child order:
      // the first one goes last.
      std::reverse(pending[depth + 1].begin(), pending[depth + 1].end());
      ++depth;
    }
  }
  return pos == size;
}
}  // namespace octree_stream

#endif  // ZYR_COLLISION_AVOIDANCE_OCTREE_STREAM_H
