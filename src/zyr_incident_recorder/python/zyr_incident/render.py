"""Draws incident.png: a top view and a side view of the occupied voxels of the
map the monitor held at the first danger, with the aircraft, the probe fan,
the hit point and the velocity and stick arrows, and a radar of the obstacle
distances around the aircraft just before the danger.

The aircraft sits at the origin of "world", so both views are centred on it.
The side view looks across the probe's heading: its horizontal axis runs
along that heading, and voxels in the probe's corridor are drawn darker than
the rest.
"""
import json
import math
import os
import struct

from zyr_incident.octree import occupied_leaves
from zyr_incident.radar import draw_radar

EXTENT_M = 25.0  # voxels farther than this from the aircraft along any axis are left out
CORRIDOR_M = 3.0  # side view: voxels at most this far beside the probe's heading are in its corridor
# Top view: voxels in this height band around the aircraft (the band the
# mapper shows in rviz, and which holds every probe ray) are coloured by
# height, the ground and whatever lies above in light grey.
BAND_M = (-2.0, 2.0)
FIGURE_INCHES = (10.0, 9.0)
DPI = 100  # so the picture is 1000 x 900 pixels
# The incident's own messages of one query come within this of the verdict.
SAME_QUERY_S = 0.025

FAN_COLOUR = (0.5, 0.5, 0.0)
VELOCITY_COLOUR = (0.5, 0.0, 0.5)
STICK_COLOUR = (0.0, 0.5, 0.5)


def _horizontal_unit(v):
    if v is None:
        return None
    n = math.hypot(v[0], v[1])
    return (v[0] / n, v[1] / n) if n > 1e-9 else None


def side_axis(summary):
    """Unit horizontal vector the side view looks along: the probe's heading,
    else the direction of motion, else world x."""
    probe = summary.get("probe") or {}
    for v in (probe.get("direction"), summary.get("velocity_mps")):
        u = _horizontal_unit(v)
        if u is not None:
            return u
    return (1.0, 0.0)


def _fmt(value, pattern, missing="?"):
    return missing if value is None else pattern % value


def failsafe(summary):
    return (summary.get("cause") or {}).get("source") == "failsafe"


def title(summary):
    probe = summary.get("probe") or {}
    debug = summary.get("debug") or {}
    map_info = summary.get("map") or {}
    withheld = summary.get("guard_withheld_s")
    motion = "speed %s m/s heading %s deg" % (_fmt(summary.get("speed_mps"), "%.2f"),
                                              _fmt(summary.get("heading_deg"), "%.0f"))
    if failsafe(summary):
        cause = summary["cause"]
        why = "fail-safe of %s: %s; %s" % (cause.get("publisher") or "the watchdog",
                                           cause.get("reason") or "reason not received", motion)
    else:
        why = "%s; probe %s m towards %s deg; hit at %s m" % (
            motion, _fmt(probe.get("range_m"), "%.1f"), _fmt(probe.get("heading_deg"), "%.0f"),
            _fmt(debug.get("collision_distance_m") or None, "%.2f"))
    lines = [
        "Incident %s%s" % (summary.get("time_utc", "?"),
                           "" if summary.get("dangers", 1) == 1 else " (%d dangers)" % summary["dangers"]),
        why,
        "guard withheld commands %s; map of %s occupied voxels" % (
            "for %.1f s" % withheld if withheld is not None else "past the end of the recording",
            _fmt(map_info.get("occupied_voxels"), "%d")),
    ]
    return "\n".join(lines)


def draw(path, leaves, summary, fan=(), extent=EXTENT_M, scan=None):
    """Writes the picture to `path`. `leaves`: (x, y, z, edge) of the occupied
    leaves; `summary`: the incident's JSON fields (missing ones are left out of
    the picture); `fan`: the probe rays as ((x, y, z), (x, y, z)) pairs;
    `scan`: the obstacle distances (see radar.sectors), or None."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np
    from matplotlib.collections import LineCollection, PolyCollection
    from matplotlib.patches import Circle

    v = np.asarray(leaves, dtype=float).reshape(-1, 4)
    v = v[np.all(np.abs(v[:, :3]) <= extent, axis=1)]
    v = v[np.argsort(v[:, 2])]  # the highest voxel of a column is drawn last, on top
    ax_u = side_axis(summary)
    along = v[:, 0] * ax_u[0] + v[:, 1] * ax_u[1]
    beside = -v[:, 0] * ax_u[1] + v[:, 1] * ax_u[0]

    def squares(cx, cy, edge):
        h = edge[:, None] / 2.0
        xs = np.hstack([cx[:, None] - h, cx[:, None] + h, cx[:, None] + h, cx[:, None] - h])
        ys = np.hstack([cy[:, None] - h, cy[:, None] - h, cy[:, None] + h, cy[:, None] + h])
        return np.stack([xs, ys], axis=2)

    def project(p):  # world point -> (along, height) of the side view
        return (p[0] * ax_u[0] + p[1] * ax_u[1], p[2])

    fig = plt.figure(figsize=FIGURE_INCHES, dpi=DPI)
    grid = fig.add_gridspec(2, 2, height_ratios=[3.0, 1.0], width_ratios=[1.0, 2.6], hspace=0.3, wspace=0.15,
                            top=0.88, bottom=0.06, left=0.06, right=0.93)
    top = fig.add_subplot(grid[0, 1])
    side = fig.add_subplot(grid[1, :])
    draw_radar(fig.add_subplot(grid[0, 0], projection="polar"), scan, summary.get("stamp"))

    if len(v):
        band = (v[:, 2] > BAND_M[0]) & (v[:, 2] < BAND_M[1])
        out = v[~band]
        top.add_collection(PolyCollection(squares(out[:, 0], out[:, 1], out[:, 3]), facecolors=[(0.82, 0.82, 0.82)],
                                          edgecolors="none", label="voxels below %g m or above %g m" % BAND_M))
        inside = v[band]
        cells = PolyCollection(squares(inside[:, 0], inside[:, 1], inside[:, 3]), array=inside[:, 2],
                               cmap="viridis", edgecolors="none")
        cells.set_clim(*BAND_M)
        top.add_collection(cells)
        fig.colorbar(cells, ax=top, fraction=0.035, pad=0.02, label="voxel height (m)")
        in_corridor = np.abs(beside) <= CORRIDOR_M
        order = np.argsort(in_corridor)  # corridor voxels on top
        shades = np.where(in_corridor[order], 0.15, 0.75)
        side.add_collection(PolyCollection(squares(along[order], v[order, 2], v[order, 3]),
                                           facecolors=[(s, s, 0.9 if s < 0.5 else s) for s in shades],
                                           edgecolors="none"))

    if fan:
        top.add_collection(LineCollection([[a[:2], b[:2]] for a, b in fan], colors=[FAN_COLOUR], linewidths=0.5,
                                          alpha=0.7, label="probe rays"))
        side.add_collection(LineCollection([[project(a), project(b)] for a, b in fan], colors=[FAN_COLOUR],
                                           linewidths=0.5, alpha=0.7))

    for ax, to_view in ((top, lambda p: (p[0], p[1])), (side, project)):
        ax.add_patch(Circle((0.0, 0.0), 0.5, facecolor="white", edgecolor="black", lw=1.2, zorder=5,
                            label="aircraft"))
        for key, colour, name in (("velocity_mps", VELOCITY_COLOUR, "velocity (m/s)"),
                                  ("stick_vector", STICK_COLOUR, "stick")):
            vec = summary.get(key)
            if vec is None:
                continue
            x, y = to_view((vec[0], vec[1], 0.0))  # the monitor takes only the horizontal parts
            if math.hypot(x, y) > 0.05:
                ax.annotate("", xy=(x, y), xytext=(0.0, 0.0), zorder=6,
                            arrowprops=dict(arrowstyle="-|>", color=colour, lw=2.0))
            ax.plot([], [], color=colour, lw=2.0, label=name)
        hit = summary.get("collision_point")
        if hit is not None and any(abs(c) > 1e-9 for c in hit):
            x, y = to_view(hit)
            ax.plot([x], [y], "o", ms=9, mfc="red", mec="black", zorder=7, label="hit point")
        ax.grid(alpha=0.3)
        ax.set_aspect("equal", adjustable="box")

    margin = 1.0  # a voxel at the edge of the extent is drawn whole
    top.set_xlim(-extent - margin, extent + margin)
    top.set_ylim(-extent - margin, extent + margin)
    top.set_xlabel("world x (m)")
    top.set_ylabel("world y (m)")
    top.set_title("top view", fontsize=9)
    top.legend(loc="upper left", fontsize=8, framealpha=0.85)

    heights = [v[:, 2].min() - 1.0, v[:, 2].max() + 1.0] if len(v) else []
    low = max(-extent, min([-4.0] + heights))
    high = min(extent, max([4.0] + heights))
    side.set_xlim(-extent - margin, extent + margin)
    side.set_ylim(low, high)
    heading = "the probe's heading" if _horizontal_unit((summary.get("probe") or {}).get("direction")) else \
        "the direction of motion"
    side.set_xlabel("along %s (%.0f deg from world x) (m)" % (heading, math.degrees(math.atan2(ax_u[1], ax_u[0]))))
    side.set_ylabel("height (m)")
    side.set_title("side view (dark: within %.0f m of %s)" % (CORRIDOR_M, heading), fontsize=9)

    fig.suptitle(title(summary), fontsize=10)
    tmp = path + ".tmp"
    fig.savefig(tmp, dpi=DPI, format="png")
    plt.close(fig)
    os.replace(tmp, path)


def _octomap_bytes(msg):
    # int8[] comes out of the bag as a sequence of signed numbers
    data = msg.data
    if isinstance(data, (bytes, bytearray)):
        return bytes(data)
    return struct.pack("<%db" % len(data), *data)


def read_incident(folder):
    """The summary, the occupied leaves of the map in use at the first danger,
    the probe fan of that danger's query (none for a fail-safe's danger) and
    the last obstacle distances before it, from an incident folder."""
    import rosbag

    with open(os.path.join(folder, "incident.json")) as f:
        summary = json.load(f)
    first = summary["stamp"]
    leaves, fan, scan = [], [], None
    best_fan = SAME_QUERY_S
    with rosbag.Bag(os.path.join(folder, "incident.bag")) as bag:
        topics = [t for t in bag.get_type_and_topic_info().topics
                  if t.endswith("zyr_collision_avoidance/octomap_binary")
                  or t.endswith("zyr_collision_avoidance/obstacle_distance")
                  or (t.endswith("zyr_collision_avoidance/raycast_marker_array") and not failsafe(summary))]
        map_msg = None
        for topic, msg, t in bag.read_messages(topics=topics):
            t = t.to_sec()
            if topic.endswith("octomap_binary"):
                if t <= first + 1e-6:
                    map_msg = msg
            elif topic.endswith("obstacle_distance"):
                if t <= first + 1e-6:
                    scan = {"stamp": t, "angle_min": msg.angle_min, "angle_increment": msg.angle_increment,
                            "range_max": msg.range_max, "ranges": list(msg.ranges)}
            elif abs(t - first) <= best_fan:
                best_fan = abs(t - first)
                fan = [((m.points[0].x, m.points[0].y, m.points[0].z), (m.points[1].x, m.points[1].y, m.points[1].z))
                       for m in msg.markers if m.action == 0 and len(m.points) >= 2]
    if map_msg is not None:
        leaves = occupied_leaves(_octomap_bytes(map_msg), map_msg.resolution)
    return summary, leaves, fan, scan


def render_folder(folder):
    """Draws incident.png in an incident folder."""
    summary, leaves, fan, scan = read_incident(folder)
    path = os.path.join(folder, "incident.png")
    draw(path, leaves, summary, fan, scan=scan)
    return path
