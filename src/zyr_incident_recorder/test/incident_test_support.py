"""Helpers shared by the incident recorder's tests: synthetic maps, PNG sizes,
and a stand-in for the watchdog's fail-safe (run this file as a program:
incident_test_support.py watchdog SECONDS SUBSCRIBERS REASON)."""
import struct
import sys
import time

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


def fake_watchdog(seconds, subscribers, reason):
    """A node of its own, as the watchdog is: once `subscribers` listen, names
    `reason` on the fail-safe topic (latched), sends danger every 0.1 s for
    `seconds`, then clears the reason."""
    import rospy
    from std_msgs.msg import String, UInt8
    rospy.init_node("fake_watchdog", disable_signals=True)
    danger = rospy.Publisher("collision_info_msg", UInt8, queue_size=10)
    why = rospy.Publisher("zyr_collision_avoidance/failsafe", String, queue_size=1, latch=True)
    deadline = time.monotonic() + 20.0
    while min(danger.get_num_connections(), why.get_num_connections()) < subscribers:
        if time.monotonic() > deadline:
            sys.exit("fake_watchdog: only %d subscribers" % danger.get_num_connections())
        time.sleep(0.05)
    why.publish(String(reason))
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        danger.publish(UInt8(1))
        time.sleep(0.1)
    why.publish(String(""))
    time.sleep(0.5)  # the last messages reach the subscribers before the node goes


if __name__ == "__main__" and sys.argv[1:2] == ["watchdog"]:
    fake_watchdog(float(sys.argv[2]), int(sys.argv[3]), sys.argv[4])
