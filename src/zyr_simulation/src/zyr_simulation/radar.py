"""The ground station's radar view of obstacle_distance's scans: a keeper of
the latest scans of a flight, and a polar plot of them.

A scan holds one range per sector of the aircraft's surroundings, in its
front-right-down frame: the first sector at angle_min from the nose, the
angles growing clockwise seen from above. A range above range_max means no
obstacle, NaN means unknown.
"""
import collections
import math
import threading

import rospy
from sensor_msgs.msg import LaserScan

TOPIC = "/zyr_collision_avoidance/obstacle_distance"


class ScanKeeper:
    """The scans of the last `keep` seconds, with their arrival times on the ROS clock."""

    def __init__(self, keep=5.0, topic=TOPIC):
        self.keep = keep
        self.lock = threading.Lock()
        self.scans = collections.deque()
        self.sub = rospy.Subscriber(topic, LaserScan, self._on_scan, queue_size=100)

    def _on_scan(self, msg):
        now = rospy.get_time()
        with self.lock:
            self.scans.append((now, msg))
            while now - self.scans[0][0] > self.keep:
                self.scans.popleft()

    def at(self, t):
        """The latest scan that arrived at or before ROS time `t`, else the earliest kept one; None without any."""
        with self.lock:
            before = [m for arrived, m in self.scans if arrived <= t]
            if before:
                return before[-1]
            return self.scans[0][1] if self.scans else None

    def latest(self):
        with self.lock:
            return self.scans[-1][1] if self.scans else None

    def close(self):
        self.sub.unregister()


def sectors(scan):
    """(bearing in radians clockwise from the nose, width, range) per sector of a scan."""
    return [(scan.angle_min + i * scan.angle_increment, scan.angle_increment, r) for i, r in enumerate(scan.ranges)]


def nearest(scan):
    """(range, bearing in degrees) of the nearest obstacle in a scan, or None when it shows none."""
    found = [(round(r, 2), round(math.degrees(b), 1)) for b, _, r in sectors(scan)
             if not math.isnan(r) and r <= scan.range_max]
    return min(found) if found else None


def write_radar(path, panels, title):
    """Draws one polar panel per (caption, scan or None), nose up, clockwise, into the PNG at `path`."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.patches import Patch

    fig, axes = plt.subplots(1, len(panels), subplot_kw={"projection": "polar"}, figsize=(5.2 * len(panels), 5.6))
    axes = axes if len(panels) > 1 else [axes]
    for ax, (caption, scan) in zip(axes, panels):
        ax.set_theta_zero_location("N")
        ax.set_theta_direction(-1)
        ax.set_xticks([math.radians(a) for a in range(0, 360, 45)])
        ax.set_xticklabels(["nose", "45", "right", "135", "tail", "225", "left", "315"], fontsize=8)
        if scan is None:
            ax.set_title(caption + "\n(no scan)", fontsize=9)
            ax.set_yticks([])
            continue
        top = scan.range_max
        for bearing, width, r in sectors(scan):
            if math.isnan(r):
                ax.bar(bearing, top, width=width, color="0.6", alpha=0.5, hatch="//", edgecolor="0.4", lw=0)
            elif r > top:
                ax.bar(bearing, top, width=width, color="tab:green", alpha=0.15, lw=0)
            else:
                colour = "tab:red" if r < 5.0 else "tab:orange" if r < 10.0 else "gold"
                ax.bar(bearing, r, width=width, color="tab:green", alpha=0.15, lw=0)
                ax.bar(bearing, min(0.6, top - r), bottom=r, width=width, color=colour, lw=0)
        ax.set_ylim(0, top)
        ax.set_yticks([5, 10, 20, 30] if top >= 30 else [top / 2, top])
        ax.tick_params(axis="y", labelsize=7)
        near = nearest(scan)
        ax.set_title("%s\n%s" % (caption, "nearest %.1f m at %.0f deg" % near if near else "no obstacle within %.0f m" % top),
                     fontsize=9)
    fig.legend(handles=[Patch(color="tab:green", alpha=0.3, label="free"),
                        Patch(color="tab:red", label="obstacle < 5 m"),
                        Patch(color="tab:orange", label="< 10 m"), Patch(color="gold", label="farther"),
                        Patch(facecolor="0.6", alpha=0.5, hatch="//", label="unknown")],
               loc="lower center", ncol=5, fontsize=8, frameon=False)
    fig.suptitle(title, fontsize=10)
    fig.tight_layout(rect=(0, 0.05, 1, 0.95))
    fig.savefig(path, dpi=90)
    plt.close(fig)
