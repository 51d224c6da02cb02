"""What is seen of one closed-loop flight, kept in four tracks, one per source:
the aircraft's truth, the verdicts on collision_info_msg, the loop's own
traffic (guarded_flight's latch and log, the attitude requests, the state
server's commands, the maps) and the health watchdog's diagnostics.

Nothing here subscribes or judges: flight_judge.FlightWatcher feeds the tracks
from its callbacks and judges from them. Times are seconds since the first
truth sample; the tracks take plain values, so they work without ROS.
"""
import math

# How a flight at one obstacle ended. GROUNDED: it never took off, the health watchdog's fail-safe held it.
STOPPED, COLLIDED, PASSED, UNDECIDED, GROUNDED = "stopped", "collided", "passed", "undecided", "grounded"
# Slower than this (m/s, horizontal) the aircraft counts as standing still.
STANDSTILL_SPEED = 0.05
DIAGNOSTIC_LEVELS = {0: "OK", 1: "WARN", 2: "ERROR", 3: "STALE"}
# Worse to worse: a stage that has stopped is worse than one not yet begun.
DIAGNOSTIC_RANK = {0: 0, 1: 1, 3: 2, 2: 3}
WATCHDOG = "/avoidance_watchdog"
# A longer break between the watchdog's dangers ends a hold: it repeats them every 0.1 s, later on a busy machine.
HOLD_GAP = 1.0


def horizontal_speed(truth):
    return math.hypot(truth.vx, truth.vy)


def _least(current, value):
    return value if current is None else min(current, value)


class TruthTrack:
    """vehicle_sim's truth: where the aircraft is, how near it came, when it stood still."""

    def __init__(self):
        self.t0 = None  # stamp of the first truth sample
        self.truth = None
        self.truth_time = None  # s, of the latest sample
        self.collided_at = None
        self.ever_frozen = False
        self.min_distance = None  # to the nearest obstacle (ground left out), m
        self.min_ahead = None  # straight ahead along the heading, m
        self.min_ahead_before_danger = None
        self.max_speed = 0.0
        self.flight_started_at = None  # s of the first attitude command the aircraft got: before it the loop came up
        self.standstill_at = None  # s, when the aircraft first stood still after the first danger
        self.fault_standstill = None  # (s, truth then): the first standstill after the scenario's fault
        # s, since when it has stood still after the first danger or fail-safe verdict, or after a fault; None
        # while it moves
        self.still_since = None

    def add(self, m, t, danger_seen, fail_safe_seen, fault_seen=False):
        """Sample `m` at `t`; danger_seen / fail_safe_seen: whether the monitor / the watchdog has said danger;
        fault_seen: whether a scenario's fault has struck."""
        self.truth = m
        self.truth_time = t
        self.max_speed = max(self.max_speed, math.sqrt(m.vx ** 2 + m.vy ** 2 + m.vz ** 2))
        self.ever_frozen = self.ever_frozen or m.pilot_frozen
        if m.obstacle_distance >= 0:
            self.min_distance = _least(self.min_distance, m.obstacle_distance)
        if m.distance_ahead >= 0:
            self.min_ahead = _least(self.min_ahead, m.distance_ahead)
            if not danger_seen:
                self.min_ahead_before_danger = _least(self.min_ahead_before_danger, m.distance_ahead)
        if m.collided and self.collided_at is None:
            self.collided_at = t
        if self.flight_started_at is None and m.commands_received > 0:
            self.flight_started_at = t
        slow = horizontal_speed(m) < STANDSTILL_SPEED
        if slow and danger_seen and self.standstill_at is None:
            self.standstill_at = t
        if slow and fault_seen and self.fault_standstill is None:
            self.fault_standstill = (t, m)
        # Held by the monitor's danger, by the watchdog's fail-safe, or by what stops the aircraft after a fault.
        if slow and (danger_seen or fail_safe_seen or fault_seen):
            self.still_since = t if self.still_since is None else self.still_since
        else:
            self.still_since = None


class VerdictTrack:
    """Every value on collision_info_msg: the monitor's verdicts apart from the watchdog's fail-safe ones."""

    def __init__(self):
        self.verdicts = []  # values of collision_info_msg from the monitor
        self.verdict_times = []  # s since t0
        # Every value on collision_info_msg, the watchdog's too, as state_bridge hears them.
        self.statuses = []
        self.status_times = []
        self.verdict_changes = []  # (s, value)
        self.first_danger = None  # (s, truth then, requests before it)
        self.failsafe_times = []  # the watchdog's danger verdicts, s since t0
        self.first_failsafe = None  # (s, truth then): the first in flight, after the start-up hold
        self.hold_started = None  # s, of the first danger of the watchdog's current hold (see HOLD_GAP)

    def add(self, value, t, from_watchdog, truth, in_flight, requests):
        self.statuses.append(value)
        self.status_times.append(t)
        if from_watchdog:
            if not self.failsafe_times or t - self.failsafe_times[-1] > HOLD_GAP:
                self.hold_started = t
            self.failsafe_times.append(t)
            if self.first_failsafe is None and in_flight and truth is not None:
                self.first_failsafe = (t, truth)
            return
        if value == 1 and self.first_danger is None and truth is not None:
            self.first_danger = (t, truth, requests)
        if not self.verdicts or value != self.verdicts[-1]:
            self.verdict_changes.append((t, value))
        self.verdicts.append(value)
        self.verdict_times.append(t)


class LoopTrack:
    """What the loop's programs did: guarded_flight's latch and gated lines, the requests that reached the SDK
    stand-in, the state server's commands, the monitor's debug vector and the maps."""

    def __init__(self):
        self.latch = []  # guarded_flight's latched status
        self.latch_times = []
        self.latch_changes = []
        self.debug = []  # the monitor's (speed, stick length, collision distance) per query
        self.requests = []  # AttitudeCommand messages
        self.request_stamps = []  # their arrival stamps at the stand-in, s
        self.server_commands = []  # "Pause" / "Resume"
        self.server_command_times = []
        self.gated_stamps = []  # guarded_flight's "no remapping" lines, its own clock
        self.octrees = 0
        self.fault = None  # (s, truth then, what): the fault a scenario struck

    def add_latch(self, value, t):
        if not self.latch or value != self.latch[-1]:
            self.latch_changes.append((t, value))
        self.latch.append(value)
        self.latch_times.append(t)


class HealthTrack:
    """The health watchdog's diagnostics: the latest status per name, the worst in flight, its latency figures."""

    def __init__(self):
        self.diagnostics = {}
        self.worst_diagnostic = None  # (level, name, message), worst in flight
        self.latency_ms = None  # (p50, p99): the watchdog's latest live scan-to-verdict figures
        self.failsafe_reasons = []  # (s, why) of each hold the watchdog told of on its fail-safe topic
        # s, of the watchdog's first word on that topic: it starts holding, so this tells its start-up hold
        self.failsafe_first_heard = None

    def add(self, status, in_flight):
        if not status.name.startswith(WATCHDOG.lstrip("/") + ": "):
            return
        self.diagnostics[status.name] = status
        if in_flight and (self.worst_diagnostic is None or DIAGNOSTIC_RANK.get(status.level, 0) >
                          DIAGNOSTIC_RANK.get(self.worst_diagnostic[0], 0)):
            self.worst_diagnostic = (status.level, status.name, status.message)
        if status.name.endswith(": Collision verdicts"):
            values = {kv.key: kv.value for kv in status.values}
            try:
                self.latency_ms = (float(values["scan-to-verdict p50 (ms)"]),
                                   float(values["scan-to-verdict p99 (ms)"]))
            except (KeyError, ValueError):  # no samples in the window ("none")
                pass
