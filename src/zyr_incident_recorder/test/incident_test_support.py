"""Helpers shared by the incident recorder's tests: synthetic maps and PNG sizes."""
import struct

TREE_DEPTH = 16


def encode_octree(voxels):
    """The compact binary stream of a tree whose occupied cells are `voxels`,
    integer (i, j, k) indices of voxels of the finest size (voxel i spans
    i..i+1 resolutions along its axis). No pruning: every voxel is a leaf of
    its own. Written here from the format, independently of the decoders."""
    keys = [(i + 32768, j + 32768, k + 32768) for i, j, k in set(voxels)]
    out = bytearray()

    def node(keys, depth):
        shift = TREE_DEPTH - 1 - depth
        children = {}
        for key in keys:
            child = ((key[0] >> shift) & 1) | (((key[1] >> shift) & 1) << 1) | (((key[2] >> shift) & 1) << 2)
            children.setdefault(child, []).append(key)
        leaf = depth + 1 == TREE_DEPTH
        codes = 0
        for child in children:
            codes |= (2 if leaf else 3) << (2 * child)
        out.extend((codes & 0xFF, codes >> 8))
        if not leaf:
            for child in sorted(children):
                node(children[child], depth + 1)

    if keys:
        node(keys, 0)
    return bytes(out)


def png_size(path):
    """(width, height) from a PNG file's header."""
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("%s is not a PNG file" % path)
    return struct.unpack(">II", head[16:24])
