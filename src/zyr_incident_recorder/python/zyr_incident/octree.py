"""Reads the compact binary stream of an occupancy octree, as carried by
octomap_msgs/Octomap with `binary` true, without the octree library.

The stream holds one two-byte record per node that has children, in
depth-first order (a node's record, then the records of its children in child
order). Each record gives every one of the node's eight children a two-bit
code, children 0 to 3 in the first byte and 4 to 7 in the second, child i at
bits 2(i mod 4) and 2(i mod 4)+1: 0 unknown, 1 free, 2 occupied, 3 has
children of its own (its record follows). Bit 0 of a child's index puts it in
the upper half of its parent along x, bit 1 along y, bit 2 along z. The root
spans 2^16 voxels along each axis, centred on the origin, so a node at depth d
is 2^(16-d) voxels wide and depth 16 holds single voxels; a leaf higher up
stands for all the voxels inside it.
"""
import math

TREE_DEPTH = 16


class MalformedMap(ValueError):
    """The bytes do not describe exactly one tree."""


def occupied_leaves(data, resolution):
    """The occupied leaves of the tree in `data` (bytes), as (x, y, z, edge)
    tuples: the leaf's centre and edge length in metres. An empty stream is an
    empty tree. Raises MalformedMap for a stream that is cut short, nests
    deeper than the tree, or goes on after the tree."""
    if not (isinstance(resolution, (int, float)) and math.isfinite(resolution) and resolution > 0):
        raise MalformedMap("unusable resolution %r" % (resolution,))
    leaves = []
    if not data:
        return leaves
    data = bytes(data)
    size = len(data)
    pos = 0
    corner = -(1 << (TREE_DEPTH - 1))
    # Nodes whose records are still to be read, per depth: (depth, lowest
    # corners in voxels, the next one last).
    stack = [(0, [(corner, corner, corner)])]
    while stack:
        depth, todo = stack[-1]
        if not todo:
            stack.pop()
            continue
        x0, y0, z0 = todo.pop()
        if pos + 2 > size:
            raise MalformedMap("the stream ends inside the tree (%d bytes)" % size)
        codes = data[pos] | (data[pos + 1] << 8)
        pos += 2
        edge = 1 << (TREE_DEPTH - 1 - depth)  # of the children, in voxels
        inner = []
        for child in range(8):
            code = (codes >> (2 * child)) & 3
            if code < 2:
                continue
            x = x0 + edge if child & 1 else x0
            y = y0 + edge if child & 2 else y0
            z = z0 + edge if child & 4 else z0
            if code == 2:
                half = edge / 2.0
                leaves.append(((x + half) * resolution, (y + half) * resolution, (z + half) * resolution,
                               edge * resolution))
            else:
                inner.append((x, y, z))
        if inner:
            if depth + 1 >= TREE_DEPTH:
                raise MalformedMap("a voxel of the finest size cannot have children")
            inner.reverse()
            stack.append((depth + 1, inner))
    if pos != size:
        raise MalformedMap("%d bytes follow the tree" % (size - pos))
    return leaves
