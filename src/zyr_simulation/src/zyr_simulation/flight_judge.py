"""Watching and judging one closed-loop flight from the outside.

A FlightWatcher subscribes to the simulated aircraft's truth and to what the
programs of the loop published: the verdicts, the latched status that
guarded_flight echoes, the monitor's debug vector, every attitude request the
SDK node stand-in received, the commands that reached the state server,
guarded_flight's log lines, the maps, and the health watchdog's fail-safe
verdicts and diagnostics. The functions below judge a flight
from that record; the end-to-end tests, the demo recorder and the envelope
sweep all use them, so that a flight is judged one way only.

It touches nothing in the graph except by subscribing.
"""
import bisect
import math
import threading

import rospy
from diagnostic_msgs.msg import DiagnosticArray
from geometry_msgs.msg import Vector3
from rosgraph_msgs.msg import Log
from std_msgs.msg import String, UInt8

from zyr_simulation.flight_record import (COLLIDED, DIAGNOSTIC_LEVELS, GROUNDED, HOLD_GAP, PASSED,  # noqa: F401
                                          STANDSTILL_SPEED, STOPPED, UNDECIDED, WATCHDOG, HealthTrack, LoopTrack,
                                          TruthTrack, VerdictTrack, horizontal_speed)
from zyr_simulation.msg import AttitudeCommand, VehicleTruth

GATED_LINE = "collision_status == DANGER, no remapping"
# Two "no remapping" lines of guarded_flight closer than this belong to one
# latched danger: between them it sent nothing. (Stick messages come at 50 Hz;
# releasing and latching again takes at least sixteen verdicts, 0.8 s.)
GATED_GAP = 0.2
# The health watchdog's verdicts on collision_info_msg are its fail-safe's, one every 0.1 s while it holds the
# aircraft.
FAILSAFE_GAP = 0.25
# The state server's commands and the verdicts behind them reach the watcher on different connections; under a slow
# build (sanitizers) the verdict has been heard up to a few tenths of a second after its command.
COMMAND_SLACK = 0.5
# Standing still this long after the first danger counts as stopped for good: a danger that is going to be released
# at rest is released within about a second (sixteen clear verdicts), and the pilot then flies on.
SETTLE = 3.0



def commands_during_danger(request_stamps, gated_stamps, gap=GATED_GAP):
    """Attitude requests that the SDK node stand-in received while guarded_flight
    held a latched danger, judged only on the two programs' own clocks (both on
    this machine), so that a slow observer cannot shift the verdict: a request
    stamped between two of guarded_flight's "no remapping" lines less than `gap`
    apart arrived while the danger was latched. Seconds, any order."""
    gated = sorted(gated_stamps)
    count = 0
    for s in request_stamps:
        i = bisect.bisect_right(gated, s)
        if 0 < i < len(gated) and gated[i] - gated[i - 1] < gap:
            count += 1
    return count


def danger_episodes(verdicts):
    """Runs of danger (1) in a sequence of verdicts."""
    episodes, last = 0, 0
    for v in verdicts:
        episodes += v == 1 and last != 1
        last = v
    return episodes


def pause_problems(server_commands, verdicts):
    """What is wrong with the commands that reached the state server, given the
    verdicts: state_bridge says "Pause" at the start of each run of danger
    verdicts and "Resume" at its end, alternating from "Pause". An empty list
    when nothing is wrong."""
    problems = []
    for i, command in enumerate(server_commands):
        expected = "Pause" if i % 2 == 0 else "Resume"
        if command != expected:
            problems.append("command %d is %r, expected %r" % (i, command, expected))
    episodes = danger_episodes(verdicts)
    ends_in_danger = bool(verdicts) and verdicts[-1] == 1
    pauses = server_commands.count("Pause")
    resumes = server_commands.count("Resume")
    if pauses != episodes:
        problems.append("%d pauses for %d danger episodes" % (pauses, episodes))
    if resumes != episodes - (1 if ends_in_danger else 0):
        problems.append("%d resumes for %d danger episodes%s" % (
            resumes, episodes, ", the last still running" if ends_in_danger else ""))
    return problems


def flight_outcome(w, beyond_x, settle=SETTLE, final=False):
    """How the flight of watcher `w` at one obstacle ended, or None while that is open (call it under w.lock):
    COLLIDED once the aircraft touched anything; PASSED once its centre is beyond world x `beyond_x` (the far side of
    the obstacle plus the aircraft's radius) untouched; STOPPED once it has stood still for `settle` seconds after the
    first danger (the monitor's, or a fail-safe verdict of the watchdog in flight). `final` (the time is up): an open
    flight that stands still after a danger counts as STOPPED, any other as UNDECIDED."""
    if w.collided():
        return COLLIDED
    if w.truth is not None and w.truth.x > beyond_x:
        return PASSED
    if w.still_since is not None and (final or w.truth_time - w.still_since >= settle):
        return STOPPED
    return UNDECIDED if final else None


class FlightWatcher:
    """Subscribes to a flight and keeps what it sees in the tracks of flight_record; the judgements below read
    them. Callbacks run on rospy's threads; read under `lock`, or wait with wait_until(). A field of a track reads
    as one of the watcher's own (w.truth, w.verdicts, w.latch, ...).
    outcome_only: watch only what decides how a flight ends (the truth, the verdicts, the latched status), not the
    attitude requests, the state server's commands, the log, the maps or the diagnostics; a fraction of the work,
    for sweeps of many flights, and the judgements of those (commands during danger, pauses) are then empty.
    timeline: keep a 50 Hz row of the truth with the system's state in `rows`.
    log_topic: where the nodes' log lines are read; "/rosout_agg" (rosout's copy) where a rosout node runs, as under
    roslaunch, so that the nodes send each line to rosout alone, as on an aircraft; rostest starts no rosout."""

    def __init__(self, timeline=False, outcome_only=False, log_topic="/rosout"):
        self.lock = threading.Condition()
        self.timeline = timeline
        self.rows = []
        self.flight = TruthTrack()
        self.status = VerdictTrack()
        self.loop = LoopTrack()
        self.health = HealthTrack()
        s = rospy.Subscriber
        self.truth_sub = s("/sim/truth", VehicleTruth, self._on_truth, queue_size=1000)
        # Published by the collision monitor (and by nothing when it is left out).
        self.monitor_subs = [
            s("/collision_info_msg", UInt8, self._on_verdict, queue_size=1000),
            s("/zyr_collision_avoidance/debug_collision_msg", Vector3, self._on_debug, queue_size=1000),
        ]
        self.loop_subs = [s("/zyr_collision_avoidance/debug_guarded_flight", UInt8, self._on_latch, queue_size=1000)]
        self.other_subs = [] if outcome_only else [
            s("/sdk_standin/attitude_requests", AttitudeCommand, self._on_request, queue_size=5000),
            s("/state_server/command", String, self._on_server_command, queue_size=100),
            s("/zyr_collision_avoidance/octomap_binary", rospy.AnyMsg, self._on_octree, queue_size=5),
            s(log_topic, Log, self._on_log, queue_size=5000),
        ]
        # Not waited for by connected(): a scenario may kill the watchdog. The fail-safe's reason says why a flight
        # never took off.
        self.diagnostics_subs = [s("/zyr_collision_avoidance/failsafe", String, self._on_failsafe_state,
                                   queue_size=100)]
        if not outcome_only:
            self.diagnostics_subs.append(s("/diagnostics", DiagnosticArray, self._on_diagnostics, queue_size=100))

    def __getattr__(self, name):
        # Only reached for names the watcher has not: the tracks' fields.
        for track in ("flight", "status", "loop", "health"):
            held = self.__dict__.get(track)
            if held is not None and name in held.__dict__:
                return held.__dict__[name]
        raise AttributeError(name)

    def close(self):
        for sub in [self.truth_sub] + self.monitor_subs + self.loop_subs + self.other_subs + self.diagnostics_subs:
            sub.unregister()

    def connected(self, monitor=True):
        """Every subscription that the running graph can feed has its publisher,
        and the aircraft has reported its state."""
        subs = [self.truth_sub] + self.loop_subs + self.other_subs + (self.monitor_subs if monitor else [])
        with self.lock:
            have_truth = self.truth is not None
        return have_truth and all(sub.get_num_connections() > 0 for sub in subs)

    def wait_until(self, predicate, timeout):
        """Waits until predicate(self) holds (checked under the lock, after each
        message), or `timeout` seconds of wall time; returns the last result."""
        with self.lock:
            return self.lock.wait_for(lambda: predicate(self), timeout)

    def now(self):
        """Seconds since the first truth sample, on the ROS clock."""
        return rospy.get_time() - (self.t0 if self.t0 is not None else rospy.get_time())

    def in_flight(self):
        return self.flight.flight_started_at is not None

    # ------------------------------------------------------------ judgement
    def collided(self):
        return self.collided_at is not None

    def commands_during_danger(self):
        return commands_during_danger(self.request_stamps, self.gated_stamps)

    def server_commands_in_flight(self):
        """(s, "Pause" / "Resume") from the flight's start on: the watchdog's hold while the loop came up may have
        paused and resumed the state server before the first command."""
        start = self.flight_started_at if self.flight_started_at is not None else float("-inf")
        return [(t, c) for c, t in zip(self.server_commands, self.server_command_times) if t >= start]

    def pause_problems(self):
        """Judged from the flight's start on (see server_commands_in_flight), and up to the last command that
        reached the server: a verdict change in the last moments of the recording may not have had its command
        recorded yet, which happens at every end while the verdicts flicker (a fail-safe hold beside a monitor
        still answering on a stale map). The two arrive here on different connections, so a verdict may be heard
        up to COMMAND_SLACK before or after the command it caused: the commands are right if they fit the verdicts
        up to the last command, up to COMMAND_SLACK after it, or up to it without a last change of verdict heard
        in the COMMAND_SLACK before it. The problems told are those up to the last command."""
        start = self.flight_started_at if self.flight_started_at is not None else float("-inf")
        commands = [c for _, c in self.server_commands_in_flight()]
        end = self.server_commands_in_flight()[-1][0] if commands else float("inf")

        def heard(until):
            return [(t, v) for v, t in zip(self.statuses, self.status_times) if start <= t <= until]

        to_end = heard(end)
        # The last change, heard just before the last command: that command may be for the change before it.
        k = len(to_end)
        while k > 0 and to_end[k - 1][1] == to_end[-1][1]:
            k -= 1
        early = to_end[:k] if 0 < k < len(to_end) and to_end[k][0] >= end - COMMAND_SLACK else to_end
        problems = pause_problems(commands, [v for _, v in to_end])
        for statuses in (to_end, heard(end + COMMAND_SLACK), early):
            if not pause_problems(commands, [v for _, v in statuses]):
                return []
        return problems

    def failsafe_active(self, t):
        return bool(self.failsafe_times) and t - self.failsafe_times[-1] <= FAILSAFE_GAP

    def held_for(self):
        """How long the watchdog's fail-safe has been holding without a break longer than HOLD_GAP, s (0 when it is
        not holding now)."""
        times = self.failsafe_times
        if not times or self.now() - times[-1] > HOLD_GAP:
            return 0.0
        return times[-1] - self.hold_started

    def failsafe_episodes(self):
        """Runs of the watchdog's danger verdicts, no more than FAILSAFE_GAP apart, that began in flight. Its
        start-up hold is none of them, even when a watchdog slower to start than the loop holds in flight: that is
        the run during which it first spoke on its fail-safe topic."""
        start = self.flight_started_at if self.flight_started_at is not None else float("inf")
        times, runs = self.failsafe_times, []
        for i, t in enumerate(times):
            if i == 0 or t - times[i - 1] > FAILSAFE_GAP:
                runs.append([t, t])
            runs[-1][1] = t
        first = self.failsafe_first_heard
        return sum(1 for begin, end in runs if begin >= start and
                   (first is None or not begin - HOLD_GAP <= first <= end + HOLD_GAP))

    def note_fault(self, what):
        """A fault struck from outside (a killed node); the LiDAR's dropout is noted from vehicle_sim's line."""
        with self.lock:
            if self.loop.fault is None and self.truth is not None:
                self.loop.fault = (round(self.now(), 3), self.truth, what)
            self.lock.notify_all()

    def danger_episodes(self):
        return danger_episodes(self.verdicts)

    def danger_distance(self):
        """From the aircraft to the nearest obstacle surface (the ground left out) when the monitor first said
        danger, m; None without a danger."""
        return None if self.first_danger is None else self.first_danger[1].obstacle_distance

    def fault_to_standstill(self):
        """From the scenario's fault to the first standstill after it, s; None without either."""
        if self.fault is None or self.fault_standstill is None:
            return None
        return round(self.fault_standstill[0] - self.fault[0], 3)

    def time_to_standstill(self):
        """From the first danger verdict to the first standstill after it, s; None without either."""
        if self.first_danger is None or self.standstill_at is None:
            return None
        return max(0.0, self.standstill_at - self.first_danger[0])

    def describe(self):
        m = self.truth
        if m is None:
            return "no truth from vehicle_sim yet"
        return ("aircraft at x %.2f y %.2f, %.2f m ahead to the obstacle, speed %.2f m/s, %d verdicts, "
                "%d attitude requests, pilot at %.2f s" % (m.x, m.y, m.distance_ahead, horizontal_speed(m),
                                                          len(self.verdicts), len(self.requests), m.pilot_time))

    # ------------------------------------------------------------ callbacks
    def _on_truth(self, m):
        with self.lock:
            if self.flight.t0 is None:
                self.flight.t0 = m.header.stamp.to_sec()
            t = m.header.stamp.to_sec() - self.flight.t0
            self.flight.add(m, t, self.status.first_danger is not None, self.status.first_failsafe is not None,
                            self.loop.fault is not None)
            if self.timeline:
                self.rows.append({
                    "t": round(t, 3), "x": round(m.x, 3), "y": round(m.y, 3), "z": round(m.z, 3),
                    "speed": round(math.sqrt(m.vx ** 2 + m.vy ** 2 + m.vz ** 2), 3),
                    "obstacle_distance": round(m.obstacle_distance, 3),
                    "distance_ahead": round(m.distance_ahead, 3), "collided": int(m.collided),
                    "verdict": self.verdicts[-1] if self.verdicts else -1,
                    "latched": self.latch[-1] if self.latch else -1,
                    "failsafe": int(self.failsafe_active(t)),
                    "commands": len(self.requests), "pilot_frozen": int(m.pilot_frozen),
                    "stick_pitch": m.stick_pitch, "stick_roll": m.stick_roll,
                })
            self.lock.notify_all()

    def _on_verdict(self, m):
        with self.lock:
            watchdog = getattr(m, "_connection_header", {}).get("callerid") == WATCHDOG
            self.status.add(m.data, round(self.now(), 3), watchdog, self.truth, self.in_flight(),
                            len(self.requests))
            self.lock.notify_all()

    def _on_latch(self, m):
        with self.lock:
            if not self.in_flight():  # the watchdog's hold while the loop came up
                return
            self.loop.add_latch(m.data, round(self.now(), 3))
            self.lock.notify_all()

    def _on_debug(self, m):
        with self.lock:
            self.loop.debug.append(m)
            self.lock.notify_all()

    def _on_request(self, m):
        with self.lock:
            self.loop.requests.append(m)
            self.loop.request_stamps.append(m.header.stamp.to_sec())
            self.lock.notify_all()

    def _on_server_command(self, m):
        with self.lock:
            self.loop.server_commands.append(m.data)
            self.loop.server_command_times.append(round(self.now(), 3))
            self.lock.notify_all()

    def _on_octree(self, _):
        with self.lock:
            self.loop.octrees += 1

    def _on_log(self, m):
        if m.name == "/guarded_flight" and m.msg == GATED_LINE:
            with self.lock:
                self.loop.gated_stamps.append(m.header.stamp.to_sec())
                self.lock.notify_all()
        elif m.name == "/vehicle_sim" and m.msg.startswith("vehicle_sim: ") and " from now on" in m.msg:
            # A sensor fault of vehicle_sim's: "vehicle_sim: <what> from now on, ..."
            self.note_fault(m.msg[len("vehicle_sim: "):m.msg.index(" from now on")])

    def _on_failsafe_state(self, m):
        with self.lock:
            if self.health.failsafe_first_heard is None:
                self.health.failsafe_first_heard = round(self.now(), 3)
            if m.data:
                self.health.failsafe_reasons.append((round(self.now(), 3), m.data))

    def _on_diagnostics(self, m):
        with self.lock:
            for status in m.status:
                self.health.add(status, self.in_flight())
            self.lock.notify_all()
