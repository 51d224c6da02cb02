"""The protection envelope's model: what one flight of the sweep is (a Scenario), the grid of them, and the scene
and pilot script each is flown with. Free of ROS.

A run starts in flight, at its speed, a little farther from the obstacle than
the monitor looks ahead at that speed, so that the first danger comes where it
would on a long approach while the run lasts seconds instead of a minute. The
scene has no ground: it lies 3 m below the probe fan, which never reaches it,
and leaving it out saves most of the LiDAR's and the mapper's work.
"""
import collections

FLIGHT_HEIGHT = 3.0
RADIUS = 0.5  # vehicle_sim's aircraft sphere, m
# The collision monitor's look-ahead: 10 x speed, 15 to 25 m.
LOOK_AHEAD = (10.0, 15.0, 25.0)
# Seconds of flight before the obstacle can come within the look-ahead: the aircraft settles at its speed after
# the loop closes, and the first danger is not cut short by the start.
LEAD_TIME = 1.5
# Seconds a run may take beyond reaching the obstacle at its speed (braking, the settle, a creep or two).
SPARE_TIME = 20.0
# Seconds, on a loaded machine, from starting the launch to the closed loop, and for ending it.
STARTUP_ESTIMATE = 5.0

FULL_STICK = 10000.0
FULL_STICK_SPEED = 3.0  # m/s, what guarded_flight asks for at full pitch stick

KINDS = ["wall", "bar", "pole", "box"]
WALL_THICKNESS = 0.4
BAR_THICKNESS = 0.1
POLE_RADII = [0.1, 0.2, 0.4, 0.8]
BOX_SIZE = 1.0
OFFSETS = [-1.0, -0.5, 0.0, 0.5, 1.0]
SPEEDS = [1.0, 2.0, 3.0]
BEAMS = [16, 64]

FIELDS = ["kind", "size_m", "offset_m", "speed_mps", "beams", "outcome", "danger_distance_m", "closest_m",
          "stop_time_s", "in_path", "avoidance", "approach_m", "danger_episodes", "verdicts_per_s", "flight_s",
          "failsafe_episodes"]


class Scenario(collections.namedtuple("Scenario", "kind size offset speed beams avoidance")):
    """One run. size: the wall's and the bar's thickness, the pole's radius, the box's edge (m); offset: of the
    obstacle's centre from the flight path, m, positive to the left (+y); speed: m/s; beams: the LiDAR's."""

    __slots__ = ()

    @property
    def name(self):
        return "%s%g_%s%g_%gmps_%db%s" % (self.kind, self.size, "L" if self.offset > 0 else "R" if self.offset < 0
                                          else "C", abs(self.offset), self.speed, self.beams,
                                          "" if self.avoidance else "_noavoid")

    def label(self):
        what = {"wall": "wall", "bar": "bar %g m" % self.size, "pole": "pole r %g m" % self.size,
                "box": "box %g m" % self.size}[self.kind]
        return "%s, %s, %g m/s, %d beams%s" % (what, side(self.offset), self.speed, self.beams,
                                               "" if self.avoidance else ", no monitor")

    def spans(self):
        """Whether the obstacle spans the way (a lateral offset means nothing for it)."""
        return self.kind in ("wall", "bar")

    def half_width(self):
        return self.size / 2.0 if self.kind == "box" else self.size

    def in_path(self):
        """Whether flying straight on would touch it (vehicle_sim counts touching as a collision)."""
        return self.spans() or abs(self.offset) <= self.half_width() + RADIUS

    def approach(self):
        """From the start to the obstacle's near face, m."""
        gain, low, high = LOOK_AHEAD
        return round(min(max(gain * self.speed, low), high) + LEAD_TIME * self.speed, 2)

    def depth(self):
        """Along the path, m."""
        return 2 * self.size if self.kind == "pole" else self.size

    def beyond_x(self):
        """The aircraft's centre beyond this x has passed the obstacle."""
        return self.approach() + self.depth() + RADIUS

    def time_limit(self):
        return self.approach() / self.speed + SPARE_TIME

    def expected_seconds(self):
        """A guess of the run's wall time, for the estimate of the time left."""
        return STARTUP_ESTIMATE + self.approach() / self.speed + 3.0

    def scene(self):
        x = self.approach()
        mid = x + self.depth() / 2.0
        lines = ["# envelope run %s: %s" % (self.name, self.label()),
                 "# no ground: it lies below the probe fan and would only cost CPU",
                 "start 0 0 %g 0 %g" % (FLIGHT_HEIGHT, self.speed)]
        if self.kind == "wall":
            lines.append("wall %g -20 %g 20 0 8 %g" % (mid, mid, self.size))
        elif self.kind == "bar":
            lines.append("wall %g -20 %g 20 %g %g %g" % (mid, mid, FLIGHT_HEIGHT - self.size / 2,
                                                         FLIGHT_HEIGHT + self.size / 2, self.size))
        elif self.kind == "pole":
            lines.append("pole %g %g %g 0 8" % (mid, self.offset, self.size))
        else:
            lines.append("box %g %g %g %g %g %g" % (mid, self.offset, FLIGHT_HEIGHT, self.size, self.size, self.size))
        return "\n".join(lines) + "\n"

    def pilot(self):
        # Sticks centred until the loop has closed (a pushed stick at rest would make the monitor look 20 m along
        # it before the run begins), then held at the run's speed to the end.
        pitch = FULL_STICK * self.speed / FULL_STICK_SPEED
        return ("# envelope run %s: centred while the loop closes, then %g m/s straight on\n"
                "0     0 0 0 0\n0.01  0 %.1f 0 0\nend %g\n" % (self.name, self.speed, pitch, self.time_limit() + 60))


def side(offset):
    if offset == 0:
        return "on the path"
    return "%g m %s" % (abs(offset), "left" if offset > 0 else "right")


def size_of(kind):
    return {"wall": WALL_THICKNESS, "bar": BAR_THICKNESS, "box": BOX_SIZE}.get(kind)


def grid(kinds=KINDS, speeds=SPEEDS, beams=BEAMS, offsets=OFFSETS, radii=POLE_RADII, avoidance=True):
    """Every run of the sweep. A wall and a bar span the way, so they are flown on the path only."""
    runs = []
    for kind in kinds:
        for size in (radii if kind == "pole" else [size_of(kind)]):
            for offset in ([0.0] if kind in ("wall", "bar") else offsets):
                for speed in speeds:
                    for b in beams:
                        runs.append(Scenario(kind, size, offset, speed, b, avoidance))
    return runs


def parse_scenario(text):
    """A scenario from "kind=pole,size=0.2,offset=-0.5,speed=2,beams=16[,avoidance=off]"."""
    fields = dict(item.split("=", 1) for item in text.split(",") if item)
    unknown = set(fields) - {"kind", "size", "offset", "speed", "beams", "avoidance"}
    if unknown or fields.get("kind") not in KINDS:
        raise ValueError("not a scenario: %r (kind=%s,size=M,offset=M,speed=M/S,beams=N,avoidance=on|off)" %
                         (text, "|".join(KINDS)))
    kind = fields["kind"]
    size = float(fields["size"]) if "size" in fields else size_of(kind)
    if size is None or not size > 0:
        raise ValueError("%r: a pole needs size=RADIUS above 0" % text)
    speed = float(fields.get("speed", 3))
    if not 0 < speed <= FULL_STICK_SPEED:
        raise ValueError("%r: speed must lie above 0 and at most %g m/s" % (text, FULL_STICK_SPEED))
    return Scenario(kind, size, float(fields.get("offset", 0)), speed, int(fields.get("beams", 16)),
                    fields.get("avoidance", "on") != "off")


def scenario_of(r):
    return Scenario(r["kind"], float(r["size_m"]), float(r["offset_m"]), float(r["speed_mps"]), int(r["beams"]),
                    bool(int(r["avoidance"])))



def sort_key(s):
    return (KINDS.index(s.kind), s.size, s.beams, s.speed, s.offset, not s.avoidance)

