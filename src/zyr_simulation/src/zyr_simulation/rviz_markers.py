"""What rviz flags in a marker (a warning or an error on its display), and a
watcher that checks every marker the system sends for rviz during a flight.

rviz flags a marker it is asked to add when it is fully transparent, when its
orientation is not a unit quaternion, when a number in it is not finite, when
a scale it needs is zero, and an arrow of other than 0 or 2 points. A DELETE
or DELETEALL is never flagged.
"""
import math
import threading

import rospy
from visualization_msgs.msg import Marker, MarkerArray

# What the system draws for rviz: the monitor's markers and the mapper's cells.
MARKER_TOPICS = [
    ("/zyr_collision_avoidance/velocity_marker", Marker),
    ("/zyr_collision_avoidance/rc_marker", Marker),
    ("/zyr_collision_avoidance/collision_marker", Marker),
    ("/zyr_collision_avoidance/raycast_marker_array", MarkerArray),
    ("/zyr_collision_avoidance/occupied_cells_vis_array", MarkerArray),
]
UNIT_TOLERANCE = 1e-3


def marker_problems(m):
    """Why rviz would flag marker `m`; empty when it would not."""
    if m.action != Marker.ADD:
        return []
    p, q, s, c = m.pose.position, m.pose.orientation, m.scale, m.color
    numbers = [p.x, p.y, p.z, q.x, q.y, q.z, q.w, s.x, s.y, s.z, c.r, c.g, c.b, c.a]
    numbers += [v for point in m.points for v in (point.x, point.y, point.z)]
    numbers += [v for colour in m.colors for v in (colour.r, colour.g, colour.b, colour.a)]
    if not all(math.isfinite(v) for v in numbers):
        return ["a number that is not finite"]
    problems = []
    if abs(math.sqrt(q.x ** 2 + q.y ** 2 + q.z ** 2 + q.w ** 2) - 1.0) > UNIT_TOLERANCE:
        problems.append("orientation (%g, %g, %g, %g) is not a unit quaternion" % (q.x, q.y, q.z, q.w))
    if c.a == 0.0 and not m.colors:
        problems.append("fully transparent")
    if m.type == Marker.ARROW and m.points:
        if len(m.points) != 2:
            problems.append("an arrow of %d points" % len(m.points))
        if s.x == 0.0 or s.y == 0.0:
            problems.append("an arrow of zero width")
    elif min(s.x, s.y, s.z) == 0.0:
        problems.append("a scale of zero")
    return problems


class MarkerWatch:
    """Checks every marker that arrives on MARKER_TOPICS; read under `lock`."""

    def __init__(self):
        self.lock = threading.Lock()
        self.checked = 0
        self.problems = []  # (topic, marker id, action, what)
        self.subs = [rospy.Subscriber(topic, kind, self._on_message, callback_args=topic, queue_size=100)
                     for topic, kind in MARKER_TOPICS]

    def _on_message(self, msg, topic):
        markers = msg.markers if isinstance(msg, MarkerArray) else [msg]
        with self.lock:
            for m in markers:
                self.checked += 1
                self.problems += [(topic, m.id, m.action, what) for what in marker_problems(m)]

    def close(self):
        for sub in self.subs:
            sub.unregister()
