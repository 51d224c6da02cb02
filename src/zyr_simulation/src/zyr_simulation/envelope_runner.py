"""The protection envelope's runner: flies scenarios of envelope_model in closed loop (demo.launch, headless), each
judged by flight_judge, on workers side by side. As root, each worker lives in its own network namespace with its own
ROS master, so that every worker, and every other graph on this machine, has the state server's TCP port to itself; without
that privilege one worker runs in the current namespace. A run that did not come up, or that a busy machine or the
watchdog's fail-safe disturbed, is flown once more.
"""
import contextlib
import json
import os
import queue
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

from zyr_simulation.envelope_edges import Bisection, bracket
from zyr_simulation.envelope_model import FIELDS, GROUNDED, LOOK_AHEAD, Scenario, scenario_of
from zyr_simulation.envelope_report import write_csv
from zyr_simulation.ports import STATE_SERVER_PORT

START_TIMEOUT = 90.0
# An unbroken fail-safe hold this long, with the graph up and no command yet, means the watchdog will not let the
# aircraft take off (a filter too slow for the LiDAR, say): the flight ends there, GROUNDED, rather than at
# START_TIMEOUT. A healthy graph is released within a few seconds of its first cloud.
GROUNDED_AFTER = 25.0
# The monitor queries on every fifth of 100 velocity messages a second; fewer verdicts mean the machine could not keep
# up, and the run's figures say more about the machine than about the system.
HEALTHY_VERDICTS_PER_S = 18.0


def disturbed(r):
    """Why a run's figures say more about the machine than about the system, or "": its monitor fell behind, or a
    stage stood still long enough for the health watchdog's fail-safe to hold the aircraft in flight (demo.launch
    runs it, as on the aircraft); either way it is flown once more."""
    if r.get("outcome") == GROUNDED:
        return "the watchdog's fail-safe held it on the ground (%s)" % (r.get("failsafe_reason") or "no reason heard")
    # Without the monitor there are no verdicts to count.
    if int(r["avoidance"]) and r["verdicts_per_s"] != "" and float(r["verdicts_per_s"]) < HEALTHY_VERDICTS_PER_S:
        return "the machine was too busy: %.1f verdicts/s" % float(r["verdicts_per_s"])
    if r.get("failsafe_episodes") not in (None, "", 0, "0"):
        return "the watchdog's fail-safe held it %s time(s)" % r["failsafe_episodes"]
    return ""


def healthier(a, b):
    """Of two runs of one scenario, the one that counts: one that flew, undisturbed by the fail-safe first, then more
    verdicts."""
    def key(r):
        return (r.get("outcome") != GROUNDED, r.get("failsafe_episodes") in (None, "", 0, "0"),
                float(r["verdicts_per_s"] or 0))
    return a if key(a) >= key(b) else b



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
    args = ["scene:=" + scene_file, "pilot:=" + pilot_file, "output:=log",
            # a sweep stops at most of its obstacles: no incident folder for each
            "incidents:=false"] + scenario.launch_args()
    popup = scenario.popup_scene()
    if popup is not None:
        args.append("popup_file:=" + os.path.join(run_dir, "popup.txt"))
        with open(os.path.join(run_dir, "popup.txt"), "w") as f:
            f.write(popup)
    if alone:
        import rospkg
        args.append("bridge_prefix:=%s/scripts/wait_for_listener %d 30" %
                    (rospkg.RosPack().get_path("zyr_collision_avoidance"), STATE_SERVER_PORT))
    w = judge.FlightWatcher(outcome_only=True)
    launch = None
    # Where a run's wall time goes: up (launch to the first command), flying, down (stopping the graph).
    started, phases = time.monotonic(), {}
    with console_to(log):
        try:
            launch = Launch(args)

            def launched(w):
                return w.connected(scenario.avoidance) and w.truth.commands_received > 0

            def grounded(w):
                return (w.connected(scenario.avoidance) and w.truth.commands_received == 0 and
                        w.held_for() >= GROUNDED_AFTER)

            if not w.wait_until(lambda w: launched(w) or grounded(w), START_TIMEOUT):
                raise RuntimeError("the closed loop did not come up within %.0f s; %s" % (START_TIMEOUT, w.describe()))
            phases["up_s"] = round(time.monotonic() - started, 1)
            with w.lock:
                outcome = None if launched(w) else GROUNDED
                launched_at, verdicts_before = w.truth_time, len(w.verdicts)
            end = time.monotonic() + scenario.time_limit()
            while outcome is None and not rospy.is_shutdown():
                time.sleep(0.05)
                with w.lock:
                    outcome = judge.flight_outcome(w, scenario.beyond_x(), final=time.monotonic() >= end)
            with w.lock:
                result = row(scenario, w, outcome, launched_at, verdicts_before)
        finally:
            w.close()
            stopping = time.monotonic()
            if launch is not None:
                launch.stop()
            phases["down_s"] = round(time.monotonic() - stopping, 1)
    return dict(result, **phases)


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

    danger = obstacle_at_danger(scenario, w.danger_distance())
    return dict(scenario_columns(scenario), **{
        "outcome": outcome,
        # Held on the ground, it could not fly at all: for a flight that needed no stop, that is a stop for nothing.
        "false_stop": int(not scenario.needed() and (outcome in ("stopped", GROUNDED) or w.danger_episodes() > 0)),
        "danger_distance_m": fixed(danger if danger is not None and danger >= 0 else None),
        "closest_m": "" if scenario.clutter() else fixed(w.min_distance), "stop_time_s": fixed(w.time_to_standstill()),
        "danger_episodes": w.danger_episodes(),
        "verdicts_per_s": fixed((len(w.verdicts) - verdicts_before) / flight, 1), "flight_s": fixed(flight, 1),
        "failsafe_episodes": w.failsafe_episodes(),
        # why it held the aircraft on the ground or in flight (not its start-up hold's)
        "failsafe_reason": w.failsafe_reasons[-1][1] if w.failsafe_reasons and (
            outcome == GROUNDED or w.failsafe_episodes()) else "",
    })


def obstacle_at_danger(scenario, distance):
    """The distance to the nearest obstacle at the first danger when it can be the obstacle flown at, else None:
    clutter has none, and beyond the look-ahead the nearest is a post beside the path (a danger before a pop-up
    stood, or one from nothing)."""
    if distance is None or distance < 0 or scenario.clutter() or distance > LOOK_AHEAD[2] + 1.0:
        return None
    return distance


def scenario_columns(s):
    """The CSV columns that say which flight a row is."""
    return {"kind": s.kind, "size_m": s.size, "offset_m": s.offset, "height_m": s.height, "angle_deg": s.angle,
            "popup_m": s.popup, "climb_mps": s.climb, "speed_mps": s.speed, "beams": s.beams, "filter": s.filter,
            "avoidance": int(s.avoidance), "needed": int(s.needed()), "approach_m": s.approach()}


# ---------------------------------------------------------------------------------------------- worker
def worker(scratch, alone):
    """Flies the scenarios that arrive on stdin, one JSON line each, and answers each with one JSON line. alone: in
    a network namespace of its own."""
    answers = os.fdopen(os.dup(1), "w", buffering=1)
    os.dup2(2, 1)  # whatever else prints must not garble the answers

    def interrupted(*_):
        # Not KeyboardInterrupt: roslaunch's own handler, which comes first once a launch ran, swallows that one.
        raise SystemExit(130)

    signal.signal(signal.SIGINT, interrupted)
    signal.signal(signal.SIGTERM, interrupted)
    os.makedirs(scratch, exist_ok=True)
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    os.environ.update(ROS_MASTER_URI="http://127.0.0.1:%d" % port, ROS_IP="127.0.0.1",
                      ROS_HOME=os.path.join(scratch, "ros-home"), ROS_LOG_DIR=os.path.join(scratch, "master-log"))
    import rosgraph
    import rospy

    master = subprocess.Popen(["rosmaster", "--core", "-p", str(port), "-w", "3"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        deadline = time.monotonic() + 30
        while not rosgraph.Master("/envelope").is_online():
            if time.monotonic() > deadline or master.poll() is not None:
                raise RuntimeError("no ROS master on port %d" % port)
            time.sleep(0.1)
        rospy.init_node("envelope_judge", disable_signals=True)
        for line in sys.stdin:
            job = json.loads(line)
            scenario = Scenario(*job["scenario"])
            logs = os.path.join(scratch, "log")
            shutil.rmtree(logs, ignore_errors=True)
            os.makedirs(logs)
            os.environ["ROS_LOG_DIR"] = logs
            with open(os.path.join(logs, "roslaunch.log"), "w") as log:
                try:
                    answer = fly(scenario, job["run_dir"], log, alone)
                except Exception as e:  # a run that did not come up: reported, its logs kept
                    answer = {"error": str(e)}
                    shutil.copytree(logs, os.path.join(job["run_dir"], "logs"), dirs_exist_ok=True)
            answers.write(json.dumps(answer) + "\n")
    finally:
        rospy.signal_shutdown("done")
        stop(master, 10.0)
    return 0


def can_unshare():
    if os.geteuid() != 0 or not shutil.which("unshare") or not find_ip():
        return False
    return subprocess.run(["unshare", "-n", "true"], stderr=subprocess.DEVNULL).returncode == 0


def find_ip():
    return shutil.which("ip") or next((p for p in ("/usr/sbin/ip", "/sbin/ip") if os.path.exists(p)), None)


def start_worker(script, scratch, namespaced):
    """Starts `script --worker SCRATCH` (the runner's script), in a network namespace of its own if `namespaced`."""
    command = [sys.executable, script, "--worker", scratch]
    if namespaced:
        command = ["unshare", "-n", "--", "/bin/sh", "-c", '"$0" link set lo up && exec "$@"', find_ip()] + command + [
            "--alone"]
    return subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, universal_newlines=True,
                            bufsize=1)


# ---------------------------------------------------------------------------------------------- coordinator
def minutes(seconds):
    seconds = int(round(max(0, seconds)))
    return "%d:%02d" % (seconds // 60, seconds % 60)


def describe(r):
    if r["outcome"] == "error":
        return "ERROR " + r.get("error", "")
    text = r["outcome"]
    if r["danger_distance_m"] != "":
        text += ", danger at %.1f m" % r["danger_distance_m"]
    text += ", closest %.2f m" % r["closest_m"] if r["closest_m"] != "" else ""
    if r["stop_time_s"] != "":
        text += ", standstill %.1f s after the danger" % r["stop_time_s"]
    why = disturbed(r)
    return text + ("; " + why if why else "")


class Sweep:
    def __init__(self, scenarios, output, workers, earlier=()):
        self.jobs = queue.Queue()
        for s in sorted(scenarios, key=lambda s: -s.expected_seconds()):  # longest first: a short tail
            self.jobs.put((s, 0, None))
        self.total = len(scenarios)
        self.weight_left = sum(s.expected_seconds() for s in scenarios)
        self.weight_done = 0.0
        self.output = output
        self.workers = workers
        self.rows = []
        self.earlier = list(earlier)  # rows of earlier rounds, written with these
        self.lock = threading.Lock()
        self.t0 = time.monotonic()
        self.stopping = False  # interrupted: what the workers still say does not count

    def time_left(self):
        if self.weight_done <= 0:
            return self.weight_left / self.workers
        return self.weight_left * (time.monotonic() - self.t0) / self.weight_done

    def serve(self, process):
        """One worker's share of the jobs; returns when the queue is empty or the worker died."""
        while True:
            try:
                scenario, tries, before = self.jobs.get_nowait()
            except queue.Empty:
                return
            run_dir = os.path.join(self.output, "runs", scenario.name)
            started = time.monotonic()
            answer = None
            try:
                process.stdin.write(json.dumps({"scenario": list(scenario), "run_dir": run_dir}) + "\n")
                line = process.stdout.readline()
                answer = json.loads(line) if line else None
            except (OSError, ValueError):
                pass
            dead = answer is None
            if self.stopping:
                return
            if dead or "error" in answer:
                error = "the worker ended" if dead else answer["error"]
                if tries == 0:
                    print("[envelope] %s: %s; flying it again" % (scenario.label(), error), flush=True)
                    self.jobs.put((scenario, 1, before))
                    if dead:
                        return
                    continue
                answer = dict(zip(FIELDS, [""] * len(FIELDS)), outcome="error", error=error)
                answer.update(scenario_columns(scenario))
            elif disturbed(answer):
                # The loop could not keep up on a busy machine: once more at the end, and the healthier run counts.
                if tries == 0:
                    print("[envelope] %s: %s; flying it again at the end" % (scenario.label(), describe(answer)),
                          flush=True)
                    self.jobs.put((scenario, 1, answer))
                    continue
                if before is not None:
                    answer = healthier(before, answer)
            with self.lock:
                self.rows.append({k: answer.get(k, "") for k in FIELDS})
                self.weight_left -= scenario.expected_seconds()
                self.weight_done += scenario.expected_seconds()
                done = len(self.rows)
                print("[%3d/%d] %s: %s (%.0f s%s) | %s gone, about %s left" % (
                    done, self.total, scenario.label(), describe(answer), time.monotonic() - started,
                    "; up %s s, down %s s" % (answer["up_s"], answer["down_s"]) if "up_s" in answer else "",
                    minutes(time.monotonic() - self.t0), minutes(self.time_left())), flush=True)
                write_csv(self.earlier + self.rows, os.path.join(self.output, "envelope.csv"))
            if dead:
                return


def fly_all(scenarios, output, workers, script, earlier=()):
    """Flies `scenarios` on up to `workers` workers (each `script --worker`), writing envelope.csv into `output` as the
    runs end (after the rows `earlier`); returns the Sweep with its rows. Ctrl-C ends the flights under way at once."""
    namespaced = can_unshare()
    workers = max(1, min(workers, len(scenarios))) if namespaced else 1
    if not namespaced:
        print("[envelope] no network namespaces here (they need root and unshare): one worker, sharing TCP port "
              "%d with whatever else runs on this machine" % STATE_SERVER_PORT, flush=True)
    if not earlier:
        shutil.rmtree(os.path.join(output, "runs"), ignore_errors=True)
    sweep = Sweep(scenarios, output, workers, earlier)
    print("[envelope] %d runs on %d workers, about %s expected; results in %s" % (
        len(scenarios), workers, minutes(sweep.time_left()), output), flush=True)

    scratch = tempfile.mkdtemp(prefix="envelope-")
    processes = [start_worker(script, os.path.join(scratch, "w%d" % i), namespaced) for i in range(workers)]
    threads = [threading.Thread(target=sweep.serve, args=(p,), daemon=True) for p in processes]
    interrupted = True
    try:
        for t in threads:
            t.start()
        for t in threads:
            while t.is_alive():
                t.join(0.5)
        interrupted = False
    finally:
        sweep.stopping = interrupted
        for p in processes:
            try:
                if interrupted:  # the flights under way end at once, their graphs with them
                    p.send_signal(signal.SIGINT)
                p.stdin.close()
            except OSError:
                pass
        for p in processes:
            try:
                p.wait(60)
            except subprocess.TimeoutExpired:
                p.send_signal(signal.SIGINT)
                p.wait(30)
        shutil.rmtree(scratch, ignore_errors=True)
    return sweep


def find_edges(edges, rows, output, workers, script):
    """Bisects each edge from the bracket that `rows` give it, all edges side by side, one flight of each open edge
    per round; returns (the rows flown, one result per edge: (edge, (lo, hi, held_lo, held_hi) or None, flights))."""
    state = []
    for e in edges:
        b = bracket(e, rows)
        state.append([e, None if b is None else Bisection(b[0], b[1], b[2], b[3], e.resolution), 0])
    flown = []

    def pending(item):
        e, b, _ = item
        if b is None:
            return None
        if b.held_lo == b.held_hi and e.outer not in (b.lo, b.hi):
            return e.outer  # no change within the grid: try beyond it once
        return None if b.done() else b.next()

    while True:
        batch = [(item, pending(item)) for item in state]
        batch = [(item, x) for item, x in batch if x is not None]
        if not batch:
            break
        print("[envelope] edges: %d flights in this round" % len(batch), flush=True)
        sweep = fly_all([item[0].scenario(x) for item, x in batch], output, workers, script, rows + flown)
        flown += sweep.rows
        for item, x in batch:
            e, b, _ = item
            item[2] += 1
            row = next((r for r in sweep.rows if scenario_of(r) == e.scenario(x)), None)
            if row is None or row["outcome"] == "error":
                item[1] = None  # could not fly it: the edge stays open
                continue
            held = e.held(row)
            if b.held_lo == b.held_hi and x == e.outer:
                if held == b.held_lo:
                    b.lo, b.hi = min(b.lo, x), max(b.hi, x)
                elif x < b.lo:
                    b.lo, b.hi, b.held_lo, b.held_hi = x, b.lo, held, b.held_lo
                else:
                    b.lo, b.hi, b.held_lo, b.held_hi = b.hi, x, b.held_hi, held
            else:
                b.record(x, held)
    results = [(e, None if b is None else (b.lo, b.hi, b.held_lo, b.held_hi), n) for e, b, n in state]
    return flown, results
