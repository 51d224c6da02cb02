// Conversions between octomap trees and octomap_msgs/Octomap.
//
// The message arrives from another process, so its payload is treated as
// untrusted: the octree library's stream readers recurse without a depth limit
// and read past the end of a short stream into uninitialised bytes. Every
// payload is therefore walked once here, iteratively and bounded by the tree
// depth, before the library is allowed to read it. A payload that does not
// describe exactly one well-formed tree converts to no tree at all.
#ifndef OCTOMAP_MSGS_CONVERSIONS_H
#define OCTOMAP_MSGS_CONVERSIONS_H

#include <octomap/ColorOcTree.h>
#include <octomap/OcTree.h>
#include <octomap/OcTreeStamped.h>
#include <octomap_msgs/Octomap.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

namespace octomap_msgs
{
namespace detail
{
// Deepest level of the library's trees: nodes at this depth are leaf voxels
// and can have no children.
constexpr unsigned kTreeDepth = 16;

// Reads a byte range in place, without copying it into a string first.
class ByteStreamBuf : public std::streambuf
{
public:
  ByteStreamBuf(const char* begin, std::size_t size)
  {
    char* b = const_cast<char*>(begin);
    setg(b, b, b + size);
  }
};

inline unsigned countBits(unsigned char byte)
{
  unsigned n = 0;
  for (; byte; byte &= static_cast<unsigned char>(byte - 1))
    ++n;
  return n;
}

// In the compact stream each child takes two bits, and the pair (1, 1) means
// "has children of its own", which makes the reader descend into it.
inline unsigned countInnerChildren(unsigned char children1to4, unsigned char children5to8)
{
  unsigned n = 0;
  for (unsigned i = 0; i < 4; ++i)
  {
    if (((children1to4 >> (2 * i)) & 3u) == 3u)
      ++n;
    if (((children5to8 >> (2 * i)) & 3u) == 3u)
      ++n;
  }
  return n;
}

struct PendingLevel
{
  unsigned depth;      // depth of the nodes still to be read at this level
  unsigned remaining;  // how many of them
};

// Walks a node stream in the reader's pre-order without building anything.
// `nodeBytes` is what one node record occupies; `childrenOf` tells from those
// bytes how many child records follow it. A record may sit no deeper than
// `deepestRecord`. True only if the stream holds exactly one tree within that
// depth and nothing is left over.
template <class ChildCount>
bool walkNodeStream(const std::vector<int8_t>& data, std::size_t nodeBytes, unsigned deepestRecord,
                    ChildCount childrenOf)
{
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  const std::size_t size = data.size();
  std::size_t pos = 0;
  std::vector<PendingLevel> stack;
  stack.reserve(kTreeDepth + 1);
  stack.push_back({0, 1});  // the root
  while (!stack.empty())
  {
    PendingLevel& level = stack.back();
    if (level.remaining == 0)
    {
      stack.pop_back();
      continue;
    }
    --level.remaining;
    const unsigned depth = level.depth;
    if (size - pos < nodeBytes)
      return false;  // truncated
    const unsigned children = childrenOf(bytes + pos);
    pos += nodeBytes;
    if (children > 0)
    {
      if (depth + 1 > deepestRecord)
        return false;                          // would subdivide a leaf voxel
      stack.push_back({depth + 1, children});  // invalidates `level`
    }
  }
  return pos == size;
}

inline bool binaryStreamIsWellFormed(const std::vector<int8_t>& data)
{
  // Leaves are coded in their parent's record, so the deepest record belongs
  // to a node one level above the leaf voxels.
  return walkNodeStream(data, 2, kTreeDepth - 1,
                        [](const unsigned char* node) { return countInnerChildren(node[0], node[1]); });
}

inline bool fullStreamIsWellFormed(const std::vector<int8_t>& data, std::size_t valueBytes)
{
  // Every node, leaf voxels included, has a record of its own.
  return walkNodeStream(data, valueBytes + 1, kTreeDepth,
                        [valueBytes](const unsigned char* node) { return countBits(node[valueBytes]); });
}

// Bytes that one node's payload occupies in the full stream, for the tree
// types whose layout is known here; 0 for any other type.
inline std::size_t fullNodeValueBytes(const std::string& id)
{
  if (id == "OcTree" || id == "OcTreeStamped")  // the time stamp is not serialised
    return sizeof(float);
  if (id == "ColorOcTree")
    return sizeof(float) + 3;  // log-odds, then r, g, b
  return 0;
}

inline bool isUsableResolution(double resolution)
{
  return std::isfinite(resolution) && resolution > 0.0;
}

// True if the octree library registers the type with its factory. Asking the
// factory itself would print a line on stderr for every unknown id, and the
// id comes from the sender. These are the trees the library registers when it
// is loaded; the counting tree registers under its base's name.
inline bool isKnownTreeType(const std::string& id)
{
  for (const char* known : {"OcTree", "ColorOcTree", "OcTreeStamped", "OcTreeBase"})
    if (id == known)
      return true;
  return false;
}

template <class Tree>
bool writeToMsg(std::ostream& (Tree::*writer)(std::ostream&) const, const Tree& tree, Octomap& msg)
{
  std::stringstream stream;
  if (!(tree.*writer)(stream))
    return false;
  const std::string buffer = stream.str();
  msg.data.assign(buffer.begin(), buffer.end());
  return true;
}
}  // namespace detail

/// Fills `msg` with the tree's compact binary stream (occupied or free per
/// node, no probabilities). The header is left to the caller. False if the
/// stream could not be written.
template <class Tree>
bool binaryMapToMsg(const Tree& tree, Octomap& msg)
{
  msg.id = tree.getTreeType();
  msg.resolution = tree.getResolution();
  msg.binary = true;
  return detail::writeToMsg<Tree>(&Tree::writeBinaryData, tree, msg);
}

/// Fills `msg` with the tree's full node data (probabilities and any payload).
template <class Tree>
bool fullMapToMsg(const Tree& tree, Octomap& msg)
{
  msg.id = tree.getTreeType();
  msg.resolution = tree.getResolution();
  msg.binary = false;
  return detail::writeToMsg<Tree>(&Tree::writeData, tree, msg);
}

/// Decodes a binary message: an octomap::ColorOcTree for the id
/// "ColorOcTree", an octomap::OcTree for every other type the octree library
/// knows. Null for an unknown type, an unusable resolution or a payload that
/// is not exactly one well-formed tree. The caller owns the result.
inline octomap::AbstractOcTree* binaryMsgToMap(const Octomap& msg)
{
  if (!msg.binary || !detail::isUsableResolution(msg.resolution))
    return nullptr;
  const bool color = msg.id == "ColorOcTree";
  if (!detail::isKnownTreeType(msg.id))
    return nullptr;
  // An empty payload is an empty tree; handing it to the reader would make it
  // invent a root from bytes that were never there.
  if (!msg.data.empty() && !detail::binaryStreamIsWellFormed(msg.data))
    return nullptr;

  detail::ByteStreamBuf buffer(reinterpret_cast<const char*>(msg.data.data()), msg.data.size());
  std::istream stream(&buffer);
  if (color)
  {
    auto* tree = new octomap::ColorOcTree(msg.resolution);
    if (!msg.data.empty())
      tree->readBinaryData(stream);
    return tree;
  }
  auto* tree = new octomap::OcTree(msg.resolution);
  if (!msg.data.empty())
    tree->readBinaryData(stream);
  return tree;
}

/// Decodes a full (non-binary) message through the octree library's factory.
/// Null for a type whose node layout is not known here, an unusable
/// resolution or a malformed payload.
inline octomap::AbstractOcTree* fullMsgToMap(const Octomap& msg)
{
  if (msg.binary || !detail::isUsableResolution(msg.resolution))
    return nullptr;
  const std::size_t valueBytes = detail::fullNodeValueBytes(msg.id);
  if (valueBytes == 0)
    return nullptr;
  if (!msg.data.empty() && !detail::fullStreamIsWellFormed(msg.data, valueBytes))
    return nullptr;
  octomap::AbstractOcTree* tree = octomap::AbstractOcTree::createTree(msg.id, msg.resolution);
  if (tree && !msg.data.empty())
  {
    detail::ByteStreamBuf buffer(reinterpret_cast<const char*>(msg.data.data()), msg.data.size());
    std::istream stream(&buffer);
    tree->readData(stream);
  }
  return tree;
}

/// Decodes either kind of message. The caller owns the result, which is null
/// whenever the message does not describe a tree that can be read safely.
inline octomap::AbstractOcTree* msgToMap(const Octomap& msg)
{
  return msg.binary ? binaryMsgToMap(msg) : fullMsgToMap(msg);
}
}  // namespace octomap_msgs

#endif  // OCTOMAP_MSGS_CONVERSIONS_H
