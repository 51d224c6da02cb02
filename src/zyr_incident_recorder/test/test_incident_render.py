#!/usr/bin/python3
"""The incident picture and the map decoding behind it, without a ROS graph."""
import math
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from incident_test_support import encode_octree, png_size  # noqa: E402
from zyr_incident import radar, render  # noqa: E402
from zyr_incident.octree import MalformedMap, occupied_leaves  # noqa: E402

# Written by the octree library: occupied voxels at (0.1, 0.1, 0.1) and
# (-1.0, 2.0, -0.5), a 2x2x2 block from (3.05, 0.05, 0.05) pruned into one
# 0.6 m leaf, and a free voxel at (5, 5, 5); resolution 0.3 m.
LIBRARY_STREAM = bytes.fromhex(
    "30c0000c000c000c000c000c000c000c000c000c000c000c000c00c0003002000300030003"
    "00030003000300030003000300030003c00f00030003000200030008000300030003000100")


def radar_scan():
    """72 sectors of 5 degrees: a wall 9 m ahead (three sectors), nothing on
    the right but unknown, clear elsewhere (above range_max, or infinite on
    the left)."""
    ranges = [31.0] * 72
    ranges[71], ranges[0], ranges[1] = 9.5, 9.0, 9.5
    for i in range(12, 24):
        ranges[i] = float("nan")
    for i in range(48, 60):
        ranges[i] = float("inf")
    return {"stamp": 0.95, "angle_min": 0.0, "angle_increment": math.radians(5.0), "range_max": 30.0,
            "ranges": ranges}


class IncidentPicture(unittest.TestCase):
    def test_reads_the_occupied_leaves_the_library_wrote(self):
        leaves = sorted(tuple(round(v, 6) for v in leaf) for leaf in occupied_leaves(LIBRARY_STREAM, 0.3))
        self.assertEqual(leaves, [(-1.05, 1.95, -0.45, 0.3), (0.15, 0.15, 0.15, 0.3), (3.3, 0.3, 0.3, 0.6)])

    def test_malformed_streams_are_refused(self):
        for data in (LIBRARY_STREAM[:-1], LIBRARY_STREAM + b"\x00\x00", b"\xff\xff" * 40):
            with self.assertRaises(MalformedMap):
                occupied_leaves(data, 0.3)
        self.assertEqual(occupied_leaves(b"", 0.3), [])
        with self.assertRaises(MalformedMap):
            occupied_leaves(LIBRARY_STREAM, float("nan"))

    def test_draws_a_small_synthetic_map_at_the_fixed_size(self):
        wall = [(30, j, k) for j in range(-5, 6) for k in range(-3, 3)]
        ground = [(i, j, -12) for i in range(-10, 40) for j in range(-10, 10)]
        leaves = occupied_leaves(encode_octree(wall + ground), 0.3)
        self.assertEqual(len(leaves), len(wall) + len(ground))
        summary = {"time_utc": "2024-05-01T12:03:04.250Z", "stamp": 1.0, "dangers": 2, "speed_mps": 2.2,
                   "heading_deg": 26.6, "velocity_mps": [2.0, 1.0, 0.0],
                   "probe": {"direction": [0.894, 0.447, 0.0], "heading_deg": 26.6, "range_m": 22.4},
                   "debug": {"speed_mps": 2.2, "stick_length": 0.5, "collision_distance_m": 9.2},
                   "collision_point": [9.15, 0.15, 0.15], "stick_vector": [0.5, 0.0, 0.0],
                   "guard_withheld_s": None, "map": {"occupied_voxels": len(leaves)}}
        fan = [((0.0, 0.0, 0.0), (20.0, 10.0, 0.0)), ((0.0, -0.9, -0.3), (19.0, 9.0, -0.9))]
        scan = radar_scan()
        failsafe = dict(summary, cause={"source": "failsafe", "publisher": "/avoidance_watchdog",
                                        "reason": "LiDAR clouds: no cloud for 0.62 s", "stages": ["LiDAR clouds"]})
        self.assertIn("fail-safe of /avoidance_watchdog: LiDAR clouds: no cloud for 0.62 s", render.title(failsafe))
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "incident.png")
            for args, kwargs in [((leaves, summary, fan), {"scan": scan}), ((leaves, failsafe), {"scan": scan}),
                                 # with nothing known but the time, the picture is still drawn
                                 (([], {"stamp": 1.0}), {})]:
                render.draw(path, *args, **kwargs)
                self.assertEqual(png_size(path), (1000, 900))

    def test_radar_sectors_tell_obstacles_from_clear_and_unknown(self):
        kinds = [(round(math.degrees(a)), k, d) for a, k, d in radar.sectors(radar_scan())]
        self.assertEqual(kinds[0], (0, radar.OBSTACLE, 9.0))
        self.assertEqual(kinds[18], (90, radar.UNKNOWN, None))
        self.assertEqual(kinds[36], (180, radar.CLEAR, None))
        self.assertEqual(kinds[54], (270, radar.CLEAR, None), "infinity is no obstacle")


if __name__ == "__main__":
    import rosunit
    rosunit.unitrun("zyr_incident_recorder", "test_incident_render", IncidentPicture)
