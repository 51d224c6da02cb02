"""The protection envelope's model: what one flight of the sweep is (a Scenario), the grids of them, and the scene,
pilot script and launch arguments each is flown with. Free of ROS.

A run starts in flight, at its speed, a little farther from the obstacle than
the monitor looks ahead at that speed, so that the first danger comes where it
would on a long approach while the run lasts seconds instead of a minute. Most
scenes have no ground: it lies 3 m below the probe fan, which never reaches it,
and leaving it out saves most of the LiDAR's and the mapper's work (a ground 3 m
below puts about 97,000 points into every 64-beam cloud). The health watchdog
holds an aircraft whose LiDAR brings no point within the map's radius, as it
would over open water; so that it flies with its default settings, every scene
has a row of posts far out on either side of the path (POST_SIDE), always some
within that radius and far outside the probe's fan, a few hundred points a cloud.

Each flight has two verdicts: how it ended (stopped, collided, passed) and
whether a stop was needed (the undisturbed path would have touched the
obstacle). A flight that was not needed and still met a danger is a false stop.
"""
import collections
import math

from zyr_simulation.flight_record import COLLIDED, GROUNDED, PASSED, STOPPED, UNDECIDED  # noqa: F401

# Where the aircraft flies: 3 m up, along world x from the origin; +y is to its left.
FLIGHT_HEIGHT = 3.0
RADIUS = 0.5  # vehicle_sim's aircraft sphere, m
# The collision monitor's look-ahead: 10 x speed, 15 to 25 m; at or below STICK_SPEED it looks 20 m along the stick.
LOOK_AHEAD = (10.0, 15.0, 25.0)
STICK_SPEED = 0.25
# Seconds of flight before the obstacle can come within the look-ahead: the aircraft settles at its speed after
# the loop closes, and the first danger is not cut short by the start.
LEAD_TIME = 1.5
# Seconds a run may take beyond reaching the obstacle at its speed (braking, the settle, a creep or two).
SPARE_TIME = 20.0
# Seconds, on a loaded machine, from starting the launch to the closed loop, and for ending it.
STARTUP_ESTIMATE = 5.0
# Clutter has no obstacle to reach: the aircraft flies this long through it.
CLUTTER_SECONDS = 10.0

FULL_STICK = 10000.0
FULL_STICK_SPEED = 3.0  # m/s, what guarded_flight asks for at full pitch stick
FULL_THROTTLE_CLIMB = 2.0  # m/s, at full throttle

# Posts beside the path, clear of the widest obstacle (40 m across the way): one every POST_SPACING m along it, so
# that from anywhere on the path one stands within the mapper's 30 m radius (at most 28.3 m away); their returns are
# noisy, so clouds never repeat, even where the rest of the scene returns nothing or only the airframe's points.
# Farther than the look-ahead (25 m), so that the nearest obstacle at a danger is never a post.
POST_SIDE = 26.5
POST_SPACING = 20.0
POST_RADIUS = 0.3
POSTS_ALONG = (-20.0, 80.0)

WALL_THICKNESS = 0.4
BAR_THICKNESS = 0.1
BEAM_THICKNESS = 0.3  # a beam's and a slab's, m
SLAB_LENGTH = 10.0  # along the path, m
CLIMB_GAP = 1.5  # from the flight level to the slab a climb or descent heads for, m
POLE_RADII = [0.1, 0.2, 0.4, 0.8]
BOX_SIZE = 1.0
AIRFRAME_POINTS = 30
OFFSETS = [-1.0, -0.5, 0.0, 0.5, 1.0]
SPEEDS = [1.0, 2.0, 3.0]
BEAMS = [16, 64]
# vehicle_sim's LiDAR sits this far above the aircraft's centre (demo.launch's mounting), m; its 16 beams span
# -15..+15 degrees, its 64 beams -24.9..+2 degrees (lowest, highest).
LIDAR_ABOVE_CENTRE = 0.1
BEAM_SPAN_DEG = {16: (-15.0, 15.0), 64: (-24.9, 2.0)}
FILTERS = ["none", "airframe", "radius", "statistical"]

# Obstacles: wall (angle_deg turns it), bar (0.1 m across the way at flight level), pole (radius), box (edge), wire
# (thickness, height_m of its centre), beam (across the way, height_m to its near face, + above), slab (a ceiling above
# or a ledge below, height_m to its near face; with climb_mps the aircraft climbs or descends into it).
# Clutter, no obstacle: dust (size: points per scan), airframe (size: points per scan), ground (height_m, below).
KINDS = ["wall", "bar", "pole", "box", "wire", "beam", "slab", "dust", "airframe", "ground"]
CLUTTER = ("dust", "airframe", "ground")
SPANNING = ("wall", "bar", "wire", "beam", "slab")

FIELDS = ["kind", "size_m", "offset_m", "height_m", "angle_deg", "popup_m", "climb_mps", "speed_mps", "beams",
          "filter", "avoidance", "outcome", "needed", "false_stop", "danger_distance_m", "closest_m", "stop_time_s",
          "approach_m", "danger_episodes", "verdicts_per_s", "flight_s", "failsafe_episodes", "failsafe_reason"]

_FIELDS = "kind size offset height angle popup climb speed beams filter avoidance"
_DEFAULTS = dict(offset=0.0, height=0.0, angle=0.0, popup=0.0, climb=0.0, filter="none", avoidance=True)


class Scenario(collections.namedtuple("Scenario", _FIELDS)):
    """One run. size: the wall's, bar's and wire's thickness, the pole's radius, the box's edge, the points per scan of
    dust or airframe (m or count); offset: of the obstacle's centre from the flight path, m, + to the left; height:
    above (+) or below (-) the flight level, m (see KINDS); angle: between the path and the wall's normal, degrees;
    popup: the obstacle appears this far ahead of the aircraft, m (0: it stands from the start); climb: m/s, + up;
    speed: m/s along the path; beams: the LiDAR's; filter: the clutter filters (FILTERS, "airframe+radius")."""

    __slots__ = ()

    @staticmethod
    def make(kind, size, speed, beams, **kw):
        return Scenario(kind=kind, size=float(size), speed=float(speed), beams=int(beams),
                        **dict(_DEFAULTS, **kw))

    @property
    def name(self):
        parts = ["%s%g" % (self.kind, self.size)]
        if self.offset:
            parts.append("%s%g" % ("L" if self.offset > 0 else "R", abs(self.offset)))
        for value, tag in ((self.height, "h"), (self.angle, "deg"), (self.popup, "popup"), (self.climb, "climb")):
            if value:
                parts.append("%s%g" % (tag, value))
        parts += ["%gmps" % self.speed, "%db" % self.beams]
        if self.filter != "none":
            parts.append(self.filter.replace("+", "-"))
        return "_".join(parts) + ("" if self.avoidance else "_noavoid")

    def label(self):
        what = {"wall": "wall", "bar": "bar %g m" % self.size, "pole": "pole r %g m" % self.size,
                "box": "box %g m" % self.size, "wire": "wire %g m" % self.size, "beam": "beam",
                "slab": "slab" if self.height > 0 else "ledge", "dust": "dust %d/scan" % self.size,
                "airframe": "airframe %d/scan" % self.size, "ground": "ground"}[self.kind]
        where = []
        if self.kind in ("pole", "box"):
            where.append(side(self.offset))
        if self.height:
            where.append("%g m %s" % (abs(self.height), "above" if self.height > 0 else "below"))
        if self.angle:
            where.append("at %g deg" % self.angle)
        if self.popup:
            where.append("popping up %g m ahead" % self.popup)
        if self.climb:
            where.append("%s at %g m/s" % ("climbing" if self.climb > 0 else "descending", abs(self.climb)))
        extra = "" if self.filter == "none" else ", filter " + self.filter
        return "%s, %g m/s, %d beams%s%s" % (", ".join([what] + where), self.speed, self.beams, extra,
                                             "" if self.avoidance else ", no monitor")

    def clutter(self):
        return self.kind in CLUTTER

    def half_width(self):
        return self.size / 2.0 if self.kind == "box" else self.size

    def gap(self):
        """From the aircraft's centre on its undisturbed path to the obstacle's surface, m (inf for clutter)."""
        if self.kind == "ground":
            return abs(self.height)
        if self.clutter():
            return float("inf")
        if self.climb:
            return 0.0  # it heads into the slab
        if self.kind in ("wall", "bar"):
            return 0.0
        if self.kind == "wire":
            return max(0.0, abs(self.height) - self.size / 2.0)
        if self.kind in ("beam", "slab"):
            return abs(self.height)
        return max(0.0, abs(self.offset) - self.half_width())

    def needed(self):
        """Whether flying straight on would touch it (vehicle_sim counts touching as a collision)."""
        return self.gap() <= RADIUS + 1e-9

    def approach(self):
        """From the start to the obstacle's near face (clutter: the length of the flight), m."""
        if self.clutter():
            return round(CLUTTER_SECONDS * self.speed, 2)
        if self.climb:
            return 0.0
        if self.popup:
            # At speed from the start: a second of flight before it appears, and it is never in sight before.
            return round(self.popup + max(1.0, self.speed), 2)
        if self.speed <= STICK_SPEED:
            return 5.0  # the stick probe looks 20 m ahead from the start
        gain, low, high = LOOK_AHEAD
        return round(min(max(gain * self.speed, low), high) + LEAD_TIME * self.speed, 2)

    def depth(self):
        """Along the path, m."""
        return {"pole": 2 * self.size, "beam": BEAM_THICKNESS, "slab": SLAB_LENGTH}.get(
            self.kind, 0.0 if self.clutter() else self.size)

    def beyond_x(self):
        """The aircraft's centre beyond this x has passed the obstacle (or flown through the clutter)."""
        if self.climb:
            return float("inf")
        if self.clutter():
            return self.approach()
        # A wall at an angle: its far face crosses the path farther on.
        stretch = 1.0 / math.cos(math.radians(self.angle))
        return self.approach() + self.depth() * stretch + RADIUS

    def time_limit(self):
        if self.climb:
            return CLIMB_GAP / abs(self.climb) + SPARE_TIME
        return self.approach() / self.speed + SPARE_TIME

    def expected_seconds(self):
        """A guess of the run's wall time, for the estimate of the time left."""
        travel = CLIMB_GAP / abs(self.climb) if self.climb else self.approach() / self.speed
        return STARTUP_ESTIMATE + travel + 3.0

    def scene(self):
        x = self.approach()
        lines = ["# envelope run %s: %s" % (self.name, self.label()),
                 "start 0 0 %g 0 %g" % (FLIGHT_HEIGHT, self.speed)]
        if self.kind == "ground":
            lines.append("ground %g" % (FLIGHT_HEIGHT + self.height))
        else:
            lines.append("# no ground: it lies below the probe fan and would only cost CPU")
        lines += posts()
        if not self.popup:
            lines += self.obstacle(x)
        return "\n".join(lines) + "\n"

    def popup_scene(self):
        """The obstacle alone, for vehicle_sim's pop-up file; None when nothing pops up."""
        if not self.popup:
            return None
        return "# envelope run %s: the obstacle that pops up\n%s\n" % (self.name, "\n".join(self.obstacle(
            self.approach())))

    def obstacle(self, x):
        """Scene lines of the obstacle whose near face lies at x on the path."""
        mid = x + self.depth() / 2.0
        h = FLIGHT_HEIGHT
        half = BEAM_THICKNESS / 2.0
        above = 1 if self.height >= 0 else -1
        if self.kind == "wall":
            a = math.radians(self.angle)
            centre = x + self.size / 2.0 / math.cos(a)  # the near face crosses the path at x
            dx, dy = -20 * math.sin(a), 20 * math.cos(a)
            return ["wall %.4f %.4f %.4f %.4f 0 8 %g" % (centre - dx, -dy, centre + dx, dy, self.size)]
        if self.kind == "bar":
            return ["wall %g -20 %g 20 %g %g %g" % (mid, mid, h - self.size / 2, h + self.size / 2, self.size)]
        if self.kind == "pole":
            return ["pole %g %g %g 0 8" % (mid, self.offset, self.size)]
        if self.kind == "box":
            return ["box %g %g %g %g %g %g" % (mid, self.offset, h, self.size, self.size, self.size)]
        if self.kind == "wire":
            return ["box %g 0 %g %g 40 %g" % (mid, h + self.height, self.size, self.size)]
        if self.kind == "slab" and self.climb:
            z = h + (1 if self.climb > 0 else -1) * (CLIMB_GAP + half)
            return ["box 20 0 %g 80 40 %g" % (z, BEAM_THICKNESS)]
        if self.kind in ("beam", "slab"):
            return ["box %g 0 %g %g 40 %g" % (mid, h + above * (abs(self.height) + half), self.depth(), BEAM_THICKNESS)]
        return []

    def pilot(self):
        # Sticks centred until the loop has closed (a pushed stick at rest would make the monitor look 20 m along
        # it before the run begins), then held at the run's speed and climb to the end.
        pitch = FULL_STICK * self.speed / FULL_STICK_SPEED
        throttle = FULL_STICK * self.climb / FULL_THROTTLE_CLIMB
        return ("# envelope run %s: centred while the loop closes, then %g m/s straight on, climbing at %g m/s\n"
                "0     0 0 0 0\n0.01  0 %.1f 0 %.1f\nend %g\n" % (self.name, self.speed, self.climb, pitch, throttle,
                                                                  self.time_limit() + 60))

    def launch_args(self):
        """demo.launch's arguments beyond the scene and the pilot."""
        args = ["lidar_beams:=%d" % self.beams, "avoidance:=%s" % str(self.avoidance).lower()]
        if self.popup:
            args.append("popup_ahead:=%g" % self.popup)
        if self.kind == "dust":
            args.append("lidar_dust_points:=%d" % self.size)
        if self.kind == "airframe":
            args.append("lidar_airframe_points:=%d" % self.size)
        filters = self.filter.split("+")
        args.append("airframe_filter:=%s" % str("airframe" in filters).lower())
        outliers = [f for f in filters if f in ("radius", "statistical")]
        args.append("outlier_filter:=%s" % (outliers[0] if outliers else "none"))
        return args


def posts():
    """Scene lines of the posts beside the path (see POST_SIDE)."""
    lines = ["# posts far beside the path: the LiDAR always sees something within the map's radius"]
    x, end = POSTS_ALONG
    while x <= end:
        lines += ["pole %g %g %g 0 8" % (x, y, POST_RADIUS) for y in (POST_SIDE, -POST_SIDE)]
        x += POST_SPACING
    return lines


def lidar_elevations(beams):
    lo, hi = BEAM_SPAN_DEG[beams]
    return [lo + (hi - lo) * i / (beams - 1) for i in range(beams)]


def side(offset):
    if offset == 0:
        return "on the path"
    return "%g m %s" % (abs(offset), "left" if offset > 0 else "right")


def size_of(kind):
    return {"wall": WALL_THICKNESS, "bar": BAR_THICKNESS, "box": BOX_SIZE, "beam": BEAM_THICKNESS,
            "slab": BEAM_THICKNESS, "airframe": AIRFRAME_POINTS, "ground": 0.0}.get(kind)


def grid(kinds=("wall", "bar", "pole", "box"), speeds=SPEEDS, beams=BEAMS, offsets=OFFSETS, radii=POLE_RADII,
         avoidance=True):
    """The first sweep's grid: a wall and a 0.1 m bar across the way, poles and a box at lateral offsets. A wall and
    a bar span the way, so they are flown on the path only."""
    runs = []
    for kind in kinds:
        for size in (radii if kind == "pole" else [size_of(kind)]):
            for offset in ([0.0] if kind in ("wall", "bar") else offsets):
                for speed in speeds:
                    for b in beams:
                        runs.append(Scenario.make(kind, size, speed, b, offset=offset, avoidance=avoidance))
    return runs


WIRES = [0.02, 0.05, 0.1]
WIRE_HEIGHTS = [-0.5, 0.0, 0.5]
VERTICAL = [0.5, 1.0, 2.0]
ANGLES = [0.0, 30.0, 60.0]
WIDE_OFFSETS = [-3.0, -2.0, -1.5, 1.5, 2.0, 3.0]
POPUPS = [2.0, 4.0, 6.0, 8.0]
DUST = [50, 200, 1000]
GROUNDS = [-0.6, -0.75, -1.0, -2.0]
SLOW_SPEED = 0.2


def edges_grid(beams=BEAMS, filters=FILTERS):
    """The sweep of the envelope's edges: wires, obstacles above and below, walls at an angle, poles out to 3 m
    beside the path, pop-ups, climbing and descending, slow flight along the stick, and clutter with and without
    each filter. At 3 m/s, full stick, unless an axis is the speed."""
    runs = []
    for b in beams:
        def add(kind, size, speed=3.0, **kw):
            runs.append(Scenario.make(kind, size, speed, b, **kw))

        for filt in filters:
            for t in WIRES:
                for h in (WIRE_HEIGHTS if filt == "none" else [0.0]):
                    add("wire", t, height=h, filter=filt)
            for kind, size in [("dust", n) for n in DUST] + [("airframe", AIRFRAME_POINTS)]:
                add(kind, size, filter=filt)
            for g in GROUNDS:
                add("ground", 0.0, height=g, filter=filt)
        for h in VERTICAL:
            add("beam", BEAM_THICKNESS, height=h)
            add("slab", BEAM_THICKNESS, height=h)
            add("slab", BEAM_THICKNESS, height=-h)
        for a in ANGLES:
            add("wall", WALL_THICKNESS, angle=a)
        for o in WIDE_OFFSETS:
            add("pole", 0.2, offset=o)
        for speed in SPEEDS:
            for p in POPUPS:
                add("wall", WALL_THICKNESS, speed, popup=p)
        for climb in (1.0, -1.0):
            for speed in (0.0, 1.0):
                add("slab", BEAM_THICKNESS, speed, height=climb * CLIMB_GAP, climb=climb)
        add("pole", 0.2, SLOW_SPEED)
    return runs


def quick_grid():
    """A flight or two of each family, 16 beams: a check that every kind of flight runs and is judged."""
    b = 16
    s = Scenario.make
    return [
        s("wall", WALL_THICKNESS, 3, b),  # a stop
        s("wall", WALL_THICKNESS, 3, b, avoidance=False),  # a collision
        s("pole", 0.2, 3, b, offset=3.0),  # a pass
        s("pole", 0.1, 3, b, offset=1.0, avoidance=False),  # a pass whatever the system sees
        s("airframe", AIRFRAME_POINTS, 3, b),  # a false stop
        s("airframe", AIRFRAME_POINTS, 3, b, filter="airframe"),
        s("wire", 0.02, 3, b),
        s("slab", BEAM_THICKNESS, 3, b, height=-0.5),
        s("wall", WALL_THICKNESS, 3, b, angle=60.0),
        s("wall", WALL_THICKNESS, 3, b, popup=4.0),
        s("slab", BEAM_THICKNESS, 0, b, height=CLIMB_GAP, climb=1.0),
        s("pole", 0.2, SLOW_SPEED, b),
        s("dust", 200, 3, b, filter="radius"),
        s("ground", 0.0, 3, b, height=-1.0),
    ]


def parse_scenario(text):
    """A scenario from "kind=pole,size=0.2,offset=-0.5,speed=2,beams=16[,height=..,angle=..,popup=..,climb=..,
    filter=..,avoidance=off]"."""
    fields = dict(item.split("=", 1) for item in text.split(",") if item)
    known = {"kind", "size", "offset", "height", "angle", "popup", "climb", "speed", "beams", "filter", "avoidance"}
    if set(fields) - known or fields.get("kind") not in KINDS:
        raise ValueError("not a scenario: %r (kind=%s,size=M,offset=M,height=M,angle=DEG,popup=M,climb=M/S,speed=M/S,"
                         "beams=N,filter=F,avoidance=on|off)" % (text, "|".join(KINDS)))
    kind = fields["kind"]
    size = float(fields["size"]) if "size" in fields else size_of(kind)
    if size is None or not (size > 0 or kind == "ground"):
        raise ValueError("%r: a %s needs size=... above 0" % (text, kind))
    speed = float(fields.get("speed", 3))
    climb = float(fields.get("climb", 0))
    if not (0 < speed <= FULL_STICK_SPEED or (speed == 0 and climb)):
        raise ValueError("%r: speed must lie above 0 and at most %g m/s (0 only when climbing)" %
                         (text, FULL_STICK_SPEED))
    if abs(climb) > FULL_THROTTLE_CLIMB or (climb and kind != "slab"):
        raise ValueError("%r: climb within -%g..%g m/s, and only into a slab" % (text, FULL_THROTTLE_CLIMB,
                                                                                  FULL_THROTTLE_CLIMB))
    filt = fields.get("filter", "none")
    if any(f not in FILTERS[1:] for f in filt.split("+")) and filt != "none":
        raise ValueError("%r: filter is none or some of %s joined by +" % (text, ",".join(FILTERS[1:])))
    angle = float(fields.get("angle", 0))
    if not 0 <= angle < 90:
        raise ValueError("%r: angle must lie within 0..90 degrees" % text)
    return Scenario.make(kind, size, speed, int(fields.get("beams", 16)), offset=float(fields.get("offset", 0)),
                         height=float(fields.get("height", 0)), angle=angle, popup=float(fields.get("popup", 0)),
                         climb=climb, filter=filt, avoidance=fields.get("avoidance", "on") != "off")


def scenario_of(r):
    def number(key):
        return float(r.get(key) or 0)

    return Scenario(r["kind"], number("size_m"), number("offset_m"), number("height_m"), number("angle_deg"),
                    number("popup_m"), number("climb_mps"), number("speed_mps"), int(r["beams"]),
                    r.get("filter") or "none", bool(int(r["avoidance"])))


def sort_key(s):
    return (KINDS.index(s.kind), s.filter != "none", s.filter, s.size, s.height, s.angle, s.popup, s.climb, s.beams,
            s.speed, s.offset, not s.avoidance)
