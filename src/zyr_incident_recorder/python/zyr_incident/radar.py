"""The obstacle distances around the aircraft as a small radar panel: one
sector per range of a LaserScan in the front-right-down body frame (angles
from the nose, growing clockwise seen from above), drawn nose up.

A range above range_max means "no obstacle" in that sector, NaN "unknown".
"""
import math

OBSTACLE, CLEAR, UNKNOWN = "obstacle", "clear", "unknown"

CLEAR_COLOUR = (0.80, 0.92, 0.80)
UNKNOWN_COLOUR = (0.75, 0.75, 0.75)
OBSTACLE_COLOUR = (0.85, 0.10, 0.10)


def sectors(scan):
    """(angle in radians clockwise from the nose, kind, distance) for each
    range of `scan` (a dict with angle_min, angle_increment, range_max,
    ranges); distance is None unless kind is OBSTACLE."""
    out = []
    for i, r in enumerate(scan["ranges"]):
        angle = scan["angle_min"] + i * scan["angle_increment"]
        if r is None or math.isnan(r):
            out.append((angle, UNKNOWN, None))
        elif r > scan["range_max"]:
            out.append((angle, CLEAR, None))
        else:
            out.append((angle, OBSTACLE, max(r, 0.0)))
    return out


def draw_radar(ax, scan, first_stamp=None):
    """Draws `scan` (or a note that there is none) into the polar axes `ax`."""
    ax.set_theta_zero_location("N")
    ax.set_theta_direction(-1)  # clockwise, as the body frame's angles grow
    ax.set_xticks([math.radians(a) for a in range(0, 360, 45)])
    ax.set_xticklabels(["nose", "45", "right", "135", "tail", "225", "left", "315"], fontsize=7)
    ax.tick_params(axis="y", labelsize=6)
    if not scan or not scan.get("ranges"):
        ax.set_yticks([])
        ax.set_title("obstacle distance: none recorded", fontsize=9)
        return
    limit = scan["range_max"] if scan["range_max"] > 0 and math.isfinite(scan["range_max"]) else 30.0
    width = abs(scan["angle_increment"]) or 2 * math.pi / max(len(scan["ranges"]), 1)
    parts = sectors(scan)
    for kind, colour in ((CLEAR, CLEAR_COLOUR), (UNKNOWN, UNKNOWN_COLOUR)):
        angles = [a for a, k, _ in parts if k == kind]
        if angles:
            # the hatching takes the edge colour; a zero line width keeps the sectors' edges away
            ax.bar(angles, [limit] * len(angles), width=width, color=colour, edgecolor=(0.5, 0.5, 0.5),
                   linewidth=0.0, hatch="///" if kind == UNKNOWN else None, label=kind)
    near = [(a, d) for a, k, d in parts if k == OBSTACLE]
    if near:
        # free up to the obstacle, and the obstacle as a thick arc at its distance
        ax.bar([a for a, _ in near], [d for _, d in near], width=width, color=CLEAR_COLOUR, edgecolor="none")
        ax.bar([a for a, _ in near], [limit * 0.06] * len(near), bottom=[d for _, d in near], width=width,
               color=OBSTACLE_COLOUR, edgecolor="none", label=OBSTACLE)
    ax.set_ylim(0.0, limit)
    ax.set_yticks([t for t in (5.0, 10.0, 20.0, 30.0) if t < limit])
    nearest = min(near, key=lambda p: p[1]) if near else None
    age = ""
    if first_stamp is not None and scan.get("stamp") is not None:
        age = ", %.2f s before the danger" % max(0.0, first_stamp - scan["stamp"])
    ax.set_title("obstacle distance (nose up%s)\n%s" % (
        age, "nearest %.1f m at %.0f deg" % (nearest[1], math.degrees(nearest[0]) % 360) if nearest
        else "no obstacle within %.0f m" % limit), fontsize=8)
    ax.legend(loc="upper left", bbox_to_anchor=(-0.2, -0.12), fontsize=7, ncol=3, frameon=False)
