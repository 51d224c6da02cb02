"""The protection envelope: the closed loop flown at one obstacle at a time,
over obstacle kinds, lateral offsets, approach speeds and LiDARs, each flight
judged by flight_judge.

A run starts in flight, at its speed, a little farther from the obstacle than
the monitor looks ahead at that speed, so that the first danger comes where it
would on a long approach while the run lasts seconds instead of a minute. The
scene has no ground: it lies 3 m below the probe fan, which never reaches it,
and leaving it out saves most of the LiDAR's and the mapper's work.

Everything here but fly() is free of ROS: the grid, the scene and pilot of a
run, the CSV, the condensed table and the picture. fly() needs a ROS master
that nothing else uses (run_envelope gives each worker its own).
"""
import collections
import contextlib
import csv
import math
import os
import signal
import subprocess
import sys
import threading
import time

# Where the aircraft flies: 3 m up, along world x from the origin; +y is to its left.
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
START_TIMEOUT = 90.0
# The monitor queries on every fifth of 100 velocity messages a second; fewer verdicts mean the machine could not keep
# up, and the run's figures say more about the machine than about the system.
HEALTHY_VERDICTS_PER_S = 18.0

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


def disturbed(r):
    """Why a run's figures say more about the machine than about the system, or "": its monitor fell behind, or a
    stage stood still long enough for the health watchdog's fail-safe to hold the aircraft in flight (demo.launch
    runs it, as on the aircraft); either way it is flown once more."""
    # Without the monitor there are no verdicts to count.
    if int(r["avoidance"]) and r["verdicts_per_s"] != "" and float(r["verdicts_per_s"]) < HEALTHY_VERDICTS_PER_S:
        return "the machine was too busy: %.1f verdicts/s" % float(r["verdicts_per_s"])
    if r.get("failsafe_episodes") not in (None, "", 0, "0"):
        return "the watchdog's fail-safe held it %s time(s)" % r["failsafe_episodes"]
    return ""


def healthier(a, b):
    """Of two runs of one scenario, the one that counts: undisturbed by the fail-safe first, then more verdicts."""
    def key(r):
        return (r.get("failsafe_episodes") in (None, "", 0, "0"), float(r["verdicts_per_s"] or 0))
    return a if key(a) >= key(b) else b


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


# ---------------------------------------------------------------------------------------------- one flight
def fly(scenario, run_dir, log, alone=False):
    """Flies one scenario: starts demo.launch with its scene and pilot on the ROS master of this process's
    environment, watches it with a FlightWatcher until flight_judge decides how it ended (or the time limit), stops
    the launch and returns the CSV row. `log` is a file for what roslaunch and the nodes print. alone: this graph
    has the network namespace to itself, so state_bridge need only wait for the port (a second sooner than asking
    the graph)."""
    import rospy
    from zyr_simulation import flight_judge as judge

    os.makedirs(run_dir, exist_ok=True)
    scene_file, pilot_file = os.path.join(run_dir, "scene.txt"), os.path.join(run_dir, "pilot.txt")
    with open(scene_file, "w") as f:
        f.write(scenario.scene())
    with open(pilot_file, "w") as f:
        f.write(scenario.pilot())
    args = ["scene:=" + scene_file, "pilot:=" + pilot_file, "lidar_beams:=%d" % scenario.beams,
            "avoidance:=%s" % str(scenario.avoidance).lower(), "output:=log",
            # a sweep stops at most of its obstacles: no incident folder for each
            "incidents:=false"]
    if alone:
        import rospkg
        from zyr_simulation.ports import STATE_SERVER_PORT
        args.append("bridge_prefix:=%s/scripts/wait_for_listener %d 30" %
                    (rospkg.RosPack().get_path("zyr_collision_avoidance"), STATE_SERVER_PORT))
    w = judge.FlightWatcher(outcome_only=True)
    launch = None
    with console_to(log):
        try:
            launch = Launch(args)

            def launched(w):
                return w.connected(scenario.avoidance) and w.truth.commands_received > 0

            if not w.wait_until(launched, START_TIMEOUT):
                raise RuntimeError("the closed loop did not come up within %.0f s; %s" % (START_TIMEOUT, w.describe()))
            with w.lock:
                launched_at, verdicts_before = w.truth_time, len(w.verdicts)
            end = time.monotonic() + scenario.time_limit()
            outcome = None
            while outcome is None and not rospy.is_shutdown():
                time.sleep(0.05)
                with w.lock:
                    outcome = judge.flight_outcome(w, scenario.beyond_x(), final=time.monotonic() >= end)
            with w.lock:
                return row(scenario, w, outcome, launched_at, verdicts_before)
        finally:
            w.close()
            if launch is not None:
                launch.stop()


@contextlib.contextmanager
def console_to(log):
    """Sends what this process and its children print to `log`: roslaunch's lines, and the nodes' stderr, which
    roslaunch passes on to the console even for output="log"."""
    sys.stdout.flush()
    sys.stderr.flush()
    saved = [os.dup(1), os.dup(2)]
    try:
        os.dup2(log.fileno(), 1)
        os.dup2(log.fileno(), 2)
        yield
    finally:
        sys.stdout.flush()
        sys.stderr.flush()
        for fd, copy in zip((1, 2), saved):
            os.dup2(copy, fd)
            os.close(copy)


class Launch:
    """demo.launch started through roslaunch's own interface, in this process: a run pays neither for starting an
    interpreter nor for importing roslaunch again."""

    def __init__(self, args):
        import roslaunch
        path = roslaunch.rlutil.resolve_launch_arguments(["zyr_simulation", "demo.launch"])[0]
        self.parent = roslaunch.parent.ROSLaunchParent(roslaunch.rlutil.get_or_generate_uuid(None, False),
                                                       [(path, args)], show_summary=False)
        self.parent.start()

    def stop(self):
        """Ends every node at once, as Ctrl-C would (guarded_flight hands control back first): roslaunch alone
        would end them one after the other."""
        for process in list(self.parent.pm.procs if self.parent.pm else []):
            if getattr(process, "pid", -1) > 0:
                try:
                    os.kill(process.pid, signal.SIGINT)
                except OSError:
                    pass
        # roslaunch only closes the socket of its XML-RPC server, and the thread that serves it then spins on the
        # closed socket for the rest of this process: one more busy thread per run. Stopping the loop first ends it.
        node = self.parent.server
        server = getattr(node, "server", None)
        if server is not None:
            node.is_shutdown = True
            stopping = threading.Thread(target=server.shutdown, daemon=True)
            stopping.start()
            stopping.join(2.0)
        self.parent.shutdown()


def stop(process, patience=20.0):
    """Ends a process (and what it started in its session) as Ctrl-C would, then for good."""
    if process.poll() is None:
        process.send_signal(signal.SIGINT)
        try:
            process.wait(patience)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()


def row(scenario, w, outcome, launched_at, verdicts_before):
    flight = max(1e-3, (w.truth_time or launched_at) - launched_at)

    def fixed(value, digits=2):
        return "" if value is None else round(value, digits)

    return {
        "kind": scenario.kind, "size_m": scenario.size, "offset_m": scenario.offset, "speed_mps": scenario.speed,
        "beams": scenario.beams, "outcome": outcome, "danger_distance_m": fixed(w.danger_distance()),
        "closest_m": fixed(w.min_distance), "stop_time_s": fixed(w.time_to_standstill()),
        "in_path": int(scenario.in_path()), "avoidance": int(scenario.avoidance), "approach_m": scenario.approach(),
        "danger_episodes": w.danger_episodes(),
        "verdicts_per_s": fixed((len(w.verdicts) - verdicts_before) / flight, 1), "flight_s": fixed(flight, 1),
        "failsafe_episodes": w.failsafe_episodes(),
    }


# ---------------------------------------------------------------------------------------------- results
def scenario_of(r):
    return Scenario(r["kind"], float(r["size_m"]), float(r["offset_m"]), float(r["speed_mps"]), int(r["beams"]),
                    bool(int(r["avoidance"])))


def write_csv(rows, path):
    with open(path, "w", newline="") as f:
        out = csv.DictWriter(f, fieldnames=FIELDS)
        out.writeheader()
        for r in sorted(rows, key=lambda r: sort_key(scenario_of(r))):
            out.writerow(r)


def read_csv(path):
    with open(path) as f:
        return list(csv.DictReader(f))


def sort_key(s):
    return (KINDS.index(s.kind), s.size, s.beams, s.speed, s.offset, not s.avoidance)


def panels(rows):
    """(kind, size, avoidance) of each obstacle flown, in the order of the sweep."""
    return sorted({(r["kind"], float(r["size_m"]), int(r["avoidance"])) for r in rows},
                  key=lambda k: (KINDS.index(k[0]), k[1], -k[2]))


def panel_rows(rows, key):
    return [r for r in rows if (r["kind"], float(r["size_m"]), int(r["avoidance"])) == key]


def panel_title(key):
    kind, size, avoidance = key
    return {"wall": "wall across the way", "bar": "bar across the way, %g m thick" % size,
            "pole": "pole, radius %g m" % size, "box": "box, %g m" % size}[kind] + \
        ("" if avoidance else ", no monitor")


def span(values, unit):
    values = sorted(values)
    if not values:
        return ""
    lo, hi = values[0], values[-1]
    return ("%.1f %s" % (lo, unit)) if hi - lo < 0.05 else ("%.1f–%.1f %s" % (lo, hi, unit))


def offsets_text(offsets, all_offsets):
    if set(offsets) == set(all_offsets) and len(all_offsets) > 1:
        return "all"
    return ", ".join(("%+g" % o if o else "0") for o in sorted(offsets))


def table(rows):
    """The sweep condensed into one markdown table: per obstacle and LiDAR, per speed, where it was stopped (with the
    distance at the first danger), hit or passed, offsets in m with + to the left."""
    speeds = sorted({float(r["speed_mps"]) for r in rows})
    lines = ["| obstacle | beams | " + " | ".join("%g m/s" % s for s in speeds) + " |",
             "|---|---|" + "---|" * len(speeds)]
    for key in panels(rows):
        kind = key[0]
        mine = panel_rows(rows, key)
        for beams in sorted({int(r["beams"]) for r in mine}):
            cells = []
            for speed in speeds:
                here = [r for r in mine if int(r["beams"]) == beams and float(r["speed_mps"]) == speed]
                all_offsets = [float(r["offset_m"]) for r in here]
                parts = []
                for outcome in ("stopped", "collided", "passed", "undecided", "error"):
                    these = [r for r in here if r["outcome"] == outcome]
                    if not these:
                        continue
                    where = "" if kind in ("wall", "bar") else " " + offsets_text(
                        [float(r["offset_m"]) for r in these], all_offsets)
                    extra = ""
                    if outcome == "stopped":
                        extra = " (danger at %s, closest %s)" % (
                            span([float(r["danger_distance_m"]) for r in these], "m"),
                            span([float(r["closest_m"]) for r in these], "m"))
                    elif outcome == "collided":
                        seen = [float(r["danger_distance_m"]) for r in these if r["danger_distance_m"] != ""]
                        extra = " (danger at %s, too late)" % span(seen, "m") if seen else " (no danger)"
                    parts.append("**%s**%s%s" % (outcome, where, extra))
                cells.append("; ".join(parts) or "-")
            lines.append("| %s | %d | %s |" % (panel_title(key), beams, " | ".join(cells)))
    return "\n".join(lines) + "\n"


COLOURS = {"stopped": "#2ca02c", "collided": "#d62728", "passed": "#9ecae1", "undecided": "#ffbf00",
           "error": "#7f7f7f"}


def picture(rows, path, title):
    """One panel per obstacle, offset against speed, a square per run coloured by its outcome, the LiDARs side by
    side; a black edge marks the runs whose obstacle stood in the path, the number is the distance at the first
    danger (m)."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.patches import Patch

    keys = panels(rows)
    beams = sorted({int(r["beams"]) for r in rows})
    speeds = sorted({float(r["speed_mps"]) for r in rows})
    offsets = sorted({float(r["offset_m"]) for r in rows} | {0.0})
    columns = 4 if len(keys) > 3 else len(keys) + 1
    lines = int(math.ceil((len(keys) + 1) / float(columns)))
    fig, axes = plt.subplots(lines, columns, figsize=(3.4 * columns, 3.3 * lines), squeeze=False)
    width = 0.8 / max(1, len(beams))
    for ax, key in zip(axes.flat, keys):
        for r in panel_rows(rows, key):
            s = scenario_of(r)
            x = s.speed + (beams.index(s.beams) - (len(beams) - 1) / 2.0) * width
            ax.add_patch(plt.Rectangle((x - width / 2 * 0.92, s.offset - 0.22), width * 0.92, 0.44,
                                       facecolor=COLOURS.get(r["outcome"], "white"),
                                       edgecolor="black" if s.in_path() else "#bbbbbb",
                                       linewidth=1.6 if s.in_path() else 0.8))
            if r["danger_distance_m"] != "":
                ax.text(x, s.offset, "%.0f" % float(r["danger_distance_m"]), ha="center", va="center", fontsize=7)
        ax.set_title(panel_title(key), fontsize=9)
        ax.set_xlim(min(speeds) - 0.55, max(speeds) + 0.55)
        ax.set_ylim(min(offsets) - 0.35, max(offsets) + 0.35)
        ax.set_xticks(speeds)
        ax.set_xticklabels(["%g m/s\n%s" % (v, " | ".join(str(b) for b in beams)) for v in speeds], fontsize=8)
        ax.set_yticks(offsets)
        ax.set_yticklabels([("%g L" % o) if o > 0 else ("%g R" % -o) if o < 0 else "0" for o in offsets],
                           fontsize=8)
        ax.tick_params(length=0)
        for edge in ax.spines.values():
            edge.set_visible(False)
    for ax in list(axes.flat)[len(keys):]:
        ax.axis("off")
    legend_ax = list(axes.flat)[len(keys)] if len(keys) < lines * columns else None
    handles = [Patch(facecolor=COLOURS[o], label=o) for o in ("stopped", "collided", "passed", "undecided")]
    handles += [Patch(facecolor="white", edgecolor="black", linewidth=1.6, label="in the path"),
                Patch(facecolor="white", edgecolor="#bbbbbb", label="beside the path")]
    text = ("rows: obstacle centre off the path, m\n(L left, R right)\ncolumns: speed; in each, the LiDARs\n"
            "(%s beams) side by side\nnumber: distance at the first\ndanger, m" % " | ".join(str(b) for b in beams))
    if legend_ax is not None:
        legend_ax.legend(handles=handles, loc="upper left", fontsize=8, frameon=False)
        legend_ax.text(0.0, 0.02, text, fontsize=8, transform=legend_ax.transAxes, va="bottom")
    else:
        fig.legend(handles=handles, loc="lower center", ncol=len(handles), fontsize=8)
    fig.suptitle(title, fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)
