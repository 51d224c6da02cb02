#!/usr/bin/python3
"""incident_recorder through the ROS graph: a scripted danger, played here on
the topics of the monitor, the guard and the SDK node, must leave exactly one
incident folder whose bag, summary and picture agree with what was sent; a
fail-safe hold of a stand-in watchdog (a node of its own) is no incident while
the loop comes up, and one that names its reason afterwards.

The recorders that listen: one started here with a fresh output folder
(keeping 1.0 s before and 0.8 s after a danger, at most one incident), one
started by incident_recorder.test whose output folder cannot be created (so
each incident it tries is one Error line), and, where the test runs as root,
one writing to a small tmpfs that the test fills up.
"""
import errno
import json
import math
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import unittest

import rosbag
import roslib.packages
import rospy
from geometry_msgs.msg import Point, TransformStamped, Vector3
from octomap_msgs.msg import Octomap
from rosgraph_msgs.msg import Log
from sensor_msgs.msg import LaserScan
from std_msgs.msg import String, UInt8
from tf2_msgs.msg import TFMessage
from visualization_msgs.msg import Marker, MarkerArray
from zyr_sdk.msg import RCChannels, Velocity

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from incident_test_support import encode_octree, png_size  # noqa: E402

PKG = "zyr_incident_recorder"
BEFORE, AFTER = 1.0, 0.8
UNWRITABLE = "/incident_recorder_unwritable"
FULL = "/incident_recorder_full"
WATCHDOG = "/fake_watchdog"
REASON = "LiDAR clouds: no cloud for 0.62 s"
TMPFS_KB = 512  # some five incidents of this test
RATE = 50.0  # Hz of the fast topics; verdicts, markers and debug at a fifth of it, maps at a tenth
VELOCITY = (2.0, 1.0, 0.0)
STICK = (0.5, 0.0, 0.0)
FAR = (20.0, 10.0, 0.0)  # probe direction times range
HIT = (9.15, 0.15, 0.15)
WALL = [(30, j, k) for j in range(-5, 6) for k in range(-3, 3)]  # 66 voxels at x = 9.0 .. 9.3 m
WAIT = 25.0  # seconds at most for anything the recorders do


def wait_for(condition, timeout=WAIT, step=0.05):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(step)
    return condition()


def point(x, y, z):
    return Point(x=x, y=y, z=z)


class Script:
    """Publishes what the monitor, the guard and the SDK node would, at fixed
    rates, with the verdicts and the guard's status taken from a schedule."""

    def __init__(self):
        latched = rospy.Publisher("/tf_static", TFMessage, queue_size=1, latch=True)
        latched.publish(TFMessage([self.transform("drone", "lidar")]))
        self.pubs = {
            "tf": rospy.Publisher("/tf", TFMessage, queue_size=50),
            "velocity": rospy.Publisher("zyr_sdk/velocity", Velocity, queue_size=50),
            "rc": rospy.Publisher("zyr_sdk/rc_channels", RCChannels, queue_size=50),
            "verdict": rospy.Publisher("collision_info_msg", UInt8, queue_size=50),
            "guard": rospy.Publisher("zyr_collision_avoidance/debug_guarded_flight", UInt8, queue_size=50),
            "debug": rospy.Publisher("zyr_collision_avoidance/debug_collision_msg", Vector3, queue_size=50),
            "query": rospy.Publisher("zyr_collision_avoidance/debug_query_msg", String, queue_size=50),
            "fan": rospy.Publisher("zyr_collision_avoidance/raycast_marker_array", MarkerArray, queue_size=50),
            "hit": rospy.Publisher("zyr_collision_avoidance/collision_marker", Marker, queue_size=50),
            "vel_marker": rospy.Publisher("zyr_collision_avoidance/velocity_marker", Marker, queue_size=50),
            "rc_marker": rospy.Publisher("zyr_collision_avoidance/rc_marker", Marker, queue_size=50),
            "map": rospy.Publisher("zyr_collision_avoidance/octomap_binary", Octomap, queue_size=50),
            "scan": rospy.Publisher("zyr_collision_avoidance/obstacle_distance", LaserScan, queue_size=50),
        }
        self.latched = latched
        stream = encode_octree(WALL)
        self.map = Octomap(binary=True, id="OcTree", resolution=0.3,
                           data=list(struct.unpack("<%db" % len(stream), stream)))
        self.map.header.frame_id = "world"
        self.scan = LaserScan(angle_min=0.0, angle_increment=math.radians(5.0), range_min=0.3, range_max=30.0,
                              ranges=[9.0] + [31.0] * 71)
        self.verdict = 0
        self.guard = 0  # None: no guard in the graph
        self.verdicts = []  # (seconds, value) of every verdict sent
        self.guards = []  # (seconds, value) of every guard status sent
        self.lock = threading.Lock()
        self.stop = threading.Event()
        self.failure = None  # why the publishing thread ended early
        self.thread = threading.Thread(target=self.run, daemon=True)

    @staticmethod
    def transform(parent, child):
        t = TransformStamped()
        t.header.stamp = rospy.Time.now()
        t.header.frame_id = parent
        t.child_frame_id = child
        t.transform.rotation.w = 1.0
        return t

    def connected(self, subscribers):
        return all(p.get_num_connections() >= subscribers for p in self.pubs.values()) and \
            self.latched.get_num_connections() >= subscribers

    def set(self, verdict=None, guard=None, no_guard=False):
        with self.lock:
            if verdict is not None:
                self.verdict = verdict
            if guard is not None or no_guard:
                self.guard = guard

    def query(self):
        danger = self.verdict == 1
        self.verdicts.append((rospy.get_time(), self.verdict))
        self.pubs["verdict"].publish(UInt8(self.verdict))
        fan = MarkerArray()
        for i, (a, b) in enumerate([((0, -0.9, -0.3), (19.0, 8.0, -0.9)), ((0, 0, 0), FAR),
                                    ((0, 0.72, 0.2), (18.0, 11.9, 0.6))]):
            fan.markers.append(Marker(id=i, type=Marker.ARROW, action=Marker.ADD, points=[point(*a), point(*b)]))
        fan.markers[0].header.frame_id = "world"
        self.pubs["fan"].publish(fan)
        hit = Marker(type=Marker.SPHERE)
        if danger:
            hit.pose.position = point(*HIT)
        self.pubs["hit"].publish(hit)
        self.pubs["vel_marker"].publish(Marker(type=Marker.ARROW, points=[point(0, 0, 0), point(*VELOCITY)]))
        self.pubs["rc_marker"].publish(Marker(type=Marker.ARROW, points=[point(0, 0, 0), point(*STICK)]))
        distance = math.sqrt(sum(c * c for c in HIT)) if danger else 0.0
        self.pubs["debug"].publish(Vector3(math.hypot(*VELOCITY[:2]), math.hypot(*STICK[:2]), distance))
        if self.guard is not None:
            self.guards.append((rospy.get_time(), self.guard))
            self.pubs["guard"].publish(UInt8(self.guard))

    def run(self):
        try:
            self.publish()
        except Exception:
            self.failure = traceback.format_exc()

    def publish(self):
        tick = 0
        period = 1.0 / RATE
        next_at = time.monotonic()
        while not self.stop.is_set() and not rospy.is_shutdown():
            now = rospy.Time.now()
            self.pubs["tf"].publish(TFMessage([self.transform("world", "drone")]))
            self.pubs["velocity"].publish(Velocity(vx=VELOCITY[0], vy=VELOCITY[1], vz=VELOCITY[2], health_flag=1))
            self.pubs["rc"].publish(RCChannels(pitch=1500.0))
            if tick % 10 == 0:
                self.map.header.stamp = now
                self.pubs["map"].publish(self.map)
                self.pubs["scan"].publish(self.scan)
                self.pubs["query"].publish(String("map"))
            if tick % 5 == 0:
                with self.lock:
                    self.query()
            tick += 1
            next_at += period
            time.sleep(max(0.0, next_at - time.monotonic()))


def mount_tmpfs():
    """A tmpfs of TMPFS_KB kB for the recorder that meets a full disk, or the
    reason why there is none."""
    if os.geteuid() != 0:
        return None, "not root: no small filesystem to fill (the full-disk checks are skipped)"
    path = tempfile.mkdtemp(prefix="incidents-full-")
    result = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%dk" % TMPFS_KB, "tmpfs", path],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
    if result.returncode != 0:
        os.rmdir(path)
        return None, "cannot mount a tmpfs (%s): the full-disk checks are skipped" % result.stdout.strip()
    return path, None


def fill(folder):
    """Fills the filesystem of `folder` to the last byte."""
    with open(os.path.join(folder, "filler"), "wb", buffering=0) as f:
        try:
            while f.write(b"\0" * 4096):
                pass
        except OSError as e:
            if e.errno != errno.ENOSPC:
                raise


def incidents(folder):
    return sorted(n for n in os.listdir(folder) if not n.startswith(".") and n != "filler")


def complete(folder, name):
    d = os.path.join(folder, name)
    return all(os.path.exists(os.path.join(d, f)) for f in ("incident.bag", "incident.json", "incident.png"))


class IncidentRecorderTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        rospy.init_node("test_incident_recorder")
        cls.errors = {UNWRITABLE: [], FULL: []}
        cls.errors_lock = threading.Lock()
        rospy.Subscriber("/rosout", Log, cls.on_log, queue_size=200)
        cls.folder = tempfile.mkdtemp(prefix="incidents-")
        exe = roslib.packages.find_node(PKG, "incident_recorder")[0]
        common = ["_before:=%g" % BEFORE, "_after:=%g" % AFTER, "_max_incidents:=1", "_watchdog:=" + WATCHDOG]
        cls.recorders = [subprocess.Popen([exe, "__name:=incident_recorder", "_output_dir:=" + cls.folder] + common)]
        cls.full, cls.no_full = mount_tmpfs()
        if cls.full:
            cls.recorders.append(subprocess.Popen([exe, "__name:=" + FULL[1:], "_output_dir:=" + cls.full] + common))
        else:
            print(cls.no_full, file=sys.stderr)
        cls.listeners = len(cls.recorders) + 1  # and the one of incident_recorder.test
        cls.script = Script()

    @classmethod
    def tearDownClass(cls):
        cls.script.stop.set()
        for recorder in cls.recorders:
            recorder.send_signal(signal.SIGINT)
        for recorder in cls.recorders:
            try:
                recorder.wait(timeout=15)
            except subprocess.TimeoutExpired:
                recorder.kill()
                recorder.wait()
        shutil.rmtree(cls.folder, ignore_errors=True)
        if cls.full:
            subprocess.run(["umount", "-l", cls.full])
            os.rmdir(cls.full)

    @classmethod
    def on_log(cls, m):
        if m.name in cls.errors and m.level == Log.ERROR:
            with cls.errors_lock:
                cls.errors[m.name].append(m.msg)

    def error_count(self, node=UNWRITABLE):
        with self.errors_lock:
            return len(self.errors[node])

    def incidents(self):
        return incidents(self.folder)

    def complete(self, name):
        return complete(self.folder, name)

    def failsafe_hold(self, seconds):
        """The stand-in watchdog holds for `seconds` once every recorder listens."""
        helper = os.path.join(os.path.dirname(os.path.abspath(__file__)), "incident_test_support.py")
        subprocess.run([sys.executable, helper, "watchdog", str(seconds), str(self.listeners), REASON],
                       check=True, timeout=60)

    def rising_edges(self, since):
        """Times of the verdicts sent since `since` that turned 0 into 1."""
        with self.script.lock:
            sent = list(self.script.verdicts)
        return [t for (_, a), (t, b) in zip(sent, sent[1:]) if a == 0 and b == 1 and t >= since]

    def danger(self, burst):
        """A danger (with a second one soon after if `burst`, and a third
        after the incident was written but while the guard still holds), the
        guard latched for 1.5 s. Returns when the first danger went out and
        when the guard let go, in ROS time."""
        s = self.script
        since = rospy.get_time()
        s.set(verdict=1, guard=1)
        self.assertTrue(wait_for(lambda: self.rising_edges(since), 2.0), "the danger was never sent: %s" % s.failure)
        first = self.rising_edges(since)[0]
        if burst:
            time.sleep(0.15)
            s.set(verdict=0)
            time.sleep(0.15)
            s.set(verdict=1)
            time.sleep(0.15)
        s.set(verdict=0)
        if burst:
            time.sleep(max(0.0, first + AFTER + 0.2 - rospy.get_time()))
            s.set(verdict=1)
            time.sleep(0.15)
            s.set(verdict=0)
        time.sleep(max(0.0, first + 1.5 - rospy.get_time()))
        s.set(guard=0)

        def release():
            with s.lock:
                return next((t for t, g in s.guards if t > first and g == 0), None)
        released = wait_for(release, 1.0)
        self.assertIsNotNone(released, "the guard's release was never sent")
        return first, released

    def test_1_a_failsafe_hold_while_the_loop_comes_up_is_no_incident(self):
        s = self.script
        self.assertTrue(wait_for(lambda: s.connected(self.listeners)), "the recorders did not subscribe to every "
                        "topic: %s" % {p.resolved_name: p.get_num_connections() for p in list(s.pubs.values()) +
                                       [s.latched]})
        self.failsafe_hold(1.5)  # no map has come yet
        time.sleep(AFTER + 0.5)
        self.assertEqual(self.incidents(), [])
        self.assertEqual(self.error_count(), 0, "no incident was even tried: %s" % self.errors)

    def test_2_a_danger_leaves_one_incident_that_agrees_with_what_was_sent(self):
        s = self.script
        s.thread.start()
        time.sleep(BEFORE + 0.8)  # a full buffer; /tf_static now lies before it
        if self.full:
            fill(self.full)
        first, released = self.danger(burst=True)

        self.assertTrue(wait_for(lambda: self.incidents() and self.complete(self.incidents()[0])),
                        "no complete incident folder in %s: %s" % (self.folder, self.incidents()))
        time.sleep(1.0)
        names = self.incidents()
        self.assertEqual(len(names), 1, "a burst of dangers, and a danger within the same hold of the guard, "
                         "must make one incident: %s" % names)
        folder = os.path.join(self.folder, names[0])
        summary_path = os.path.join(folder, "incident.json")

        with rosbag.Bag(os.path.join(folder, "incident.bag")) as bag:
            info = bag.get_type_and_topic_info().topics
            start, end = bag.get_start_time(), bag.get_end_time()
            map_count = info["/zyr_collision_avoidance/octomap_binary"].message_count
            cells_count = info["/zyr_collision_avoidance/occupied_cells_vis_array"].message_count
        for topic in ["/tf_static", "/tf", "/collision_info_msg", "/zyr_sdk/velocity", "/zyr_sdk/rc_channels",
                      "/zyr_collision_avoidance/octomap_binary", "/zyr_collision_avoidance/debug_guarded_flight",
                      "/zyr_collision_avoidance/debug_collision_msg", "/zyr_collision_avoidance/debug_query_msg",
                      "/zyr_collision_avoidance/raycast_marker_array", "/zyr_collision_avoidance/collision_marker",
                      "/zyr_collision_avoidance/velocity_marker", "/zyr_collision_avoidance/rc_marker",
                      "/zyr_collision_avoidance/occupied_cells_vis_array",
                      "/zyr_collision_avoidance/obstacle_distance", "/zyr_collision_avoidance/failsafe"]:
            self.assertIn(topic, info, "the bag lacks %s" % topic)
        self.assertNotIn("/velodyne_points", info)
        self.assertAlmostEqual(start, first - BEFORE, delta=0.05)
        self.assertAlmostEqual(end, first + AFTER, delta=0.15)
        self.assertEqual(map_count, cells_count, "every map needs its cells for rviz")

        summary = json.load(open(summary_path))
        self.assertAlmostEqual(summary["stamp"], first, delta=0.05)
        burst = [t for t in self.rising_edges(first) if t < first + AFTER - 0.05]
        self.assertGreaterEqual(len(burst), 2, "the script sent no burst")
        self.assertEqual(summary["dangers"], len(burst))
        self.assertEqual(summary["cause"], {"source": "monitor", "publisher": rospy.get_name(), "reason": None,
                                            "stages": []})
        self.assertAlmostEqual(summary["speed_mps"], math.hypot(2.0, 1.0), places=4)
        self.assertAlmostEqual(summary["heading_deg"], math.degrees(math.atan2(1.0, 2.0)), places=3)
        self.assertAlmostEqual(summary["probe"]["range_m"], math.hypot(*FAR[:2]), places=3)
        self.assertAlmostEqual(summary["probe"]["heading_deg"], math.degrees(math.atan2(FAR[1], FAR[0])), places=3)
        for got, want in zip(summary["collision_point"], HIT):
            self.assertAlmostEqual(got, want, places=4)
        self.assertAlmostEqual(summary["debug"]["collision_distance_m"], math.sqrt(sum(c * c for c in HIT)), places=3)
        self.assertEqual(summary["stick_vector"], list(STICK))
        self.assertEqual(summary["map"]["occupied_voxels"], len(WALL))
        self.assertLessEqual(summary["map"]["received"], summary["stamp"])
        summary = wait_for(lambda: (lambda j: j if j["guard_withheld_s"] is not None else None)(
            json.load(open(summary_path))), 5.0)
        self.assertTrue(summary, "the guard's release never reached incident.json")
        self.assertAlmostEqual(summary["guard_withheld_s"], released - first, delta=0.05)
        self.assertEqual(png_size(os.path.join(folder, "incident.png")), (1000, 900))

        self.assertEqual(self.error_count(), 1, "one Error line for an incident that cannot be written: %s"
                         % self.errors)
        self.assertIn("not written", self.errors[UNWRITABLE][0])
        if self.full:
            self.assertTrue(wait_for(lambda: self.error_count(FULL) == 1), "no Error line on the full disk")
            self.assertIn("not written", self.errors[FULL][0])
            self.assertEqual(os.listdir(self.full), ["filler"], "a partial incident was left behind")
            os.remove(os.path.join(self.full, "filler"))

        # Every recorder goes on: a later danger is a new incident (the older
        # one is removed, one is kept), on the freed disk too, and another
        # Error line from the unwritable folder.
        time.sleep(AFTER)
        second, _ = self.danger(burst=False)
        self.assertTrue(wait_for(lambda: self.error_count() == 2), "the recorder stopped after its failure")
        self.assertTrue(wait_for(lambda: self.incidents() and self.incidents()[0] != names[0] and
                                 self.complete(self.incidents()[0])), "no second incident")
        self.assertEqual(len(self.incidents()), 1, "only the newest incident is kept: %s" % self.incidents())
        if self.full:
            self.assertTrue(wait_for(lambda: incidents(self.full) and complete(self.full, incidents(self.full)[0])),
                            "nothing written once the disk had room again")
            self.assertEqual(self.error_count(FULL), 1)
        self.assertEqual([r.poll() for r in self.recorders], [None] * len(self.recorders))

    def test_3_a_failsafe_hold_without_a_guard_is_one_incident_that_names_its_reason(self):
        self.script.set(verdict=0, no_guard=True)  # the monitor answers "clear" on, between the watchdog's dangers
        time.sleep(AFTER + 0.5)
        tried = self.error_count()
        since = rospy.get_time()
        self.failsafe_hold(2.5)
        time.sleep(AFTER + 0.5)
        self.assertEqual(self.error_count(), tried + 1, "one hold, one incident: %s" % self.errors[UNWRITABLE][tried:])

        def newest():
            names = self.incidents()
            if names and self.complete(names[-1]):
                summary = json.load(open(os.path.join(self.folder, names[-1], "incident.json")))
                return summary if summary["stamp"] > since else None
        summary = wait_for(newest)
        self.assertTrue(summary, "no incident of the fail-safe in %s" % self.folder)
        self.assertEqual(summary["cause"], {"source": "failsafe", "publisher": WATCHDOG, "reason": REASON,
                                            "stages": ["LiDAR clouds"]})
        self.assertIsNone(summary["probe"], "the monitor's query did not cause the stop")
        self.assertIsNone(summary["guard_withheld_s"])


if __name__ == "__main__":
    import rostest
    rostest.rosrun(PKG, "test_incident_recorder", IncidentRecorderTest)
