"""Where protection ends along one axis, found by bisection: between the two neighbouring values of the grid where the
outcome changes, the sweep flies the midpoint until the two sides lie no farther apart than the axis's resolution.
Free of ROS: the flights come from outside (a function, or rounds of flights that the runner flies side by side).
"""
import math

from zyr_simulation import envelope_model as m


class Bisection:
    """Narrows [lo, hi], where held(lo) differs from held(hi), to `resolution`. Values are kept on the resolution's
    grid, so the flights are the same from sweep to sweep."""

    def __init__(self, lo, hi, held_lo, held_hi, resolution):
        self.lo, self.hi, self.held_lo, self.held_hi, self.resolution = lo, hi, held_lo, held_hi, resolution

    def done(self):
        return self.held_lo == self.held_hi or self.hi - self.lo <= self.resolution + 1e-9

    def next(self):
        steps = max(1, int(round((self.hi - self.lo) / self.resolution / 2.0)))
        return round(self.lo + steps * self.resolution, 6)

    def record(self, value, held):
        if held == self.held_lo:
            self.lo = value
        else:
            self.hi = value


def bisect_edge(held, lo, hi, resolution):
    """(lo, hi) no farther apart than `resolution` where held() changes, flying held() as few times as it takes;
    None when held(lo) equals held(hi): no edge within."""
    b = Bisection(lo, hi, held(lo), held(hi), resolution)
    if b.held_lo == b.held_hi:
        return None
    while not b.done():
        x = b.next()
        b.record(x, held(x))
    return b.lo, b.hi


class Edge:
    """One axis on which protection must end somewhere: scenario(value) is its flight, held(row) whether the system
    held its ground there, `outer` a value beyond the grid to try when the grid shows no change."""

    def __init__(self, name, beams, values, outer, resolution, scenario, held, unit, why):
        self.name, self.beams, self.values, self.outer = name, beams, values, outer
        self.resolution, self.scenario, self.held, self.unit, self.why = resolution, scenario, held, unit, why


def stopped(row):
    return row["outcome"] == m.STOPPED


def not_hit(row):
    return row["outcome"] not in (m.COLLIDED, "error", m.UNDECIDED, m.GROUNDED)


def first_ring_below(beams, drop=m.LIDAR_ABOVE_CENTRE):
    """The elevation of the ring nearest level from below, degrees, and how far ahead it comes `drop` metres below the
    LiDAR: where it first meets a wire at flight level."""
    below = max(e for e in m.lidar_elevations(beams) if e < 0)
    return below, drop / math.tan(math.radians(-below))


def edges(beams=m.BEAMS, filters=m.FILTERS, speeds=m.SPEEDS):
    """The edges the sweep bisects: the thinnest wire still stopped at 3 m/s (with each filter), the nearest pop-up
    still stopped at each speed, how far above and below the flight level an obstacle still stops it, and the widest
    approach angle to a wall still stopped."""
    out = []
    for b in beams:
        ring, ahead = first_ring_below(b)
        for f in filters:
            out.append(Edge(
                "thinnest wire stopped at 3 m/s" + ("" if f == "none" else ", filter " + f), b, m.WIRES, 0.01, 0.01,
                lambda x, b=b, f=f: m.Scenario.make("wire", x, 3, b, filter=f), stopped, "m",
                "a wire at flight level, %.1f m below the LiDAR, is first met by the %.2f deg ring, %.1f m ahead; "
                "braking from 3 m/s takes about 4 m" % (m.LIDAR_ABOVE_CENTRE, ring, ahead)))
        for v in speeds:
            out.append(Edge(
                "nearest pop-up stopped at %g m/s" % v, b, m.POPUPS, 1.0, 0.25,
                lambda x, b=b, v=v: m.Scenario.make("wall", m.WALL_THICKNESS, v, b, popup=x), not_hit, "m",
                "from %g m/s the aircraft brakes over about %.1f m (0.5 s velocity lag) after the first scan, map "
                "window and query that show it (about 0.3 s, %.1f m)" % (v, 0.5 * v, 0.3 * v)))
        out.append(Edge(
            "highest beam above still stopped", b, m.VERTICAL, 0.25, 0.25,
            lambda x, b=b: m.Scenario.make("beam", m.BEAM_THICKNESS, 3, b, height=x), stopped, "m",
            "the probe fan reaches 0.2 m above the flight level at the aircraft and 0.6 m at its far end, in 0.3 m "
            "voxels"))
        out.append(Edge(
            "deepest ledge below still stopped", b, m.VERTICAL, 3.0, 0.25,
            lambda x, b=b: m.Scenario.make("slab", m.BEAM_THICKNESS, 3, b, height=-x), stopped, "m",
            "the probe fan reaches 0.3 m below the flight level at the aircraft and 0.9 m at its far end, in 0.3 m "
            "voxels"))
        out.append(Edge(
            "widest approach angle to a wall still stopped", b, m.ANGLES, 85.0, 5.0,
            lambda x, b=b: m.Scenario.make("wall", m.WALL_THICKNESS, 3, b, angle=x), stopped, "deg",
            "the fan is 4.3 m wide at its far end: a wall across the path fills it at any angle it meets the path"))
    return out


def bracket(edge, rows):
    """From the rows flown so far: (lo, hi, held_lo, held_hi) around the first change of held() along the edge's
    values, or the outermost pair with the same outcome when none changes; None when a value has no row."""
    seen = {}
    for r in rows:
        s = m.scenario_of(r)
        for x in set(edge.values) | {edge.outer}:
            if s == edge.scenario(x):
                seen[x] = edge.held(r)
    values = sorted(seen)
    if not values:
        return None
    for a, c in zip(values, values[1:]):
        if seen[a] != seen[c]:
            return a, c, seen[a], seen[c]
    return values[0], values[-1], seen[values[0]], seen[values[-1]]


def summary(edge, found):
    """The edge's cell: the value where it still held and the first where it did not, or why there is no edge."""
    lo, hi, held_lo, held_hi = found
    unit = " " + edge.unit if edge.unit != "deg" else " deg"
    if held_lo == held_hi:
        return ("held from %g to %g%s" if held_lo else "did not hold from %g to %g%s") % (lo, hi, unit)
    held, lost = (lo, hi) if held_lo else (hi, lo)
    return "held at %g%s, not at %g%s" % (held, unit, lost, unit)
