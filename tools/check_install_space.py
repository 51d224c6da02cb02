#!/usr/bin/python3
"""Checks that the install space works on its own, without devel/ or src/.

    check_install_space.py INSTALL_DIR RESULT_DIR

In an environment that holds nothing of ROS but INSTALL_DIR/setup.bash:
  1. starts collision_avoidance.launch with the bridge (a silent TCP listener on
     the state server's port stands in for the state server) and the incident
     recorder, waits until its nodes are registered with the master, checks
     that each process runs a program of its package in INSTALL_DIR and maps
     no file of the workspace from outside INSTALL_DIR, then stops it with
     SIGINT, as on the aircraft;
  2. loads demo.launch (rviz included) without running it and checks that every
     launch file, program, launch-prefix script and file argument of it that
     lives in this workspace resolves into INSTALL_DIR.

Writes RESULT_DIR/install_space.xml (JUnit, one case per check, so that
test_summary.py counts them) and the logs beside it; exits non-zero when a
check failed. Every wait is bounded, and every process it started is gone when
it returns.
"""
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time
import traceback
import xml.etree.ElementTree as ET
import xmlrpc.client

WORKSPACE = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
# The port comes from the simulation's sources rather than from the install
# space under test, so that a broken install space is reported, not a failed import.
sys.path.insert(0, os.path.join(WORKSPACE, "src", "zyr_simulation", "src"))
from zyr_simulation.ports import STATE_SERVER_PORT  # noqa: E402
# node: the package whose program it runs
SYSTEM_NODES = {name: "zyr_collision_avoidance" for name in ["/occupancy_mapper_node", "/collision_monitor",
                                                             "/guarded_flight", "/state_bridge", "/avoidance_watchdog"]}
SYSTEM_NODES["/incident_recorder"] = "zyr_incident_recorder"  # a package of its own, started by incidents:=true


class CheckFailed(Exception):
    pass


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def wait_until(what, timeout, poll, interval=0.1):
    """poll() until it returns a true value, at most `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = poll()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise CheckFailed("%s: not within %g s" % (what, timeout))
        time.sleep(interval)


def clean_environment(log_dir, master_uri=None):
    """What a fresh login shell would have, plus where ROS writes its logs; no
    ROS variable: install/setup.bash brings them all."""
    env = {
        "HOME": os.environ.get("HOME", "/root"),
        "PATH": "/usr/bin:/bin:/usr/sbin:/sbin",
        "LANG": "C.UTF-8",
        "ROS_HOME": log_dir,
        "ROS_LOG_DIR": log_dir,
        "ROS_IP": "127.0.0.1",
    }
    # Sanitizer builds need their settings (suppressions) in the install space too.
    for name in ("ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"):
        if name in os.environ:
            env[name] = os.environ[name]
    if master_uri:
        env["ROS_MASTER_URI"] = master_uri
    return env


def sourced(install_dir, command):
    """bash command line that sources only the install space, then runs `command`."""
    return ["/bin/bash", "-c", 'source "$0/setup.bash" && exec "$@"', install_dir] + command


def stop(proc, sig, timeout):
    """Signals a process this check started and waits for it, escalating to SIGKILL."""
    if proc.poll() is not None:
        return proc.returncode
    proc.send_signal(sig)
    try:
        return proc.wait(timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        return proc.wait(10)


def within(path, directory):
    return path == directory or path.startswith(directory.rstrip("/") + "/")


class SilentStateServer:
    """Listens on the state server's port and accepts the bridge without ever
    sending a record: enough for state_bridge to start and stay up."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.clients = []
        self.stopping = False

        def bind():
            try:
                self.sock.bind(("127.0.0.1", STATE_SERVER_PORT))
                return True
            except OSError:
                return False

        wait_until("TCP port %d to be free" % STATE_SERVER_PORT, 60, bind, 0.5)
        self.sock.listen(4)
        self.sock.settimeout(0.2)
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        while not self.stopping:
            try:
                conn, _ = self.sock.accept()
                self.clients.append(conn)
            except socket.timeout:
                continue
            except OSError:
                return

    def close(self):
        self.stopping = True
        self.thread.join(5)
        for c in self.clients:
            c.close()
        self.sock.close()


def node_pids(master, names):
    """{name: pid} once every node is registered and answers, else None."""
    pids = {}
    for name in names:
        code, _, uri = master.lookupNode("/install_space_check", name)
        if code != 1:
            return None
        try:
            code, _, pid = xmlrpc.client.ServerProxy(uri).getPid("/install_space_check")
        except (OSError, xmlrpc.client.Error):
            return None
        if code != 1:
            return None
        pids[name] = pid
    return pids


def foreign_mappings(pid, install_dir):
    """Files of this workspace that the process maps from outside the install space."""
    found = set()
    with open("/proc/%d/maps" % pid) as maps:
        for line in maps:
            fields = line.split(None, 5)
            if len(fields) == 6:
                path = fields[5].strip()
                if within(path, WORKSPACE) and not within(path, install_dir):
                    found.add(path)
    return sorted(found)


def check_launch_runs(install_dir, result_dir):
    log_dir = os.path.join(result_dir, "collision_avoidance_launch")
    os.makedirs(log_dir, exist_ok=True)
    port = free_port()
    master_uri = "http://127.0.0.1:%d" % port
    env = clean_environment(log_dir, master_uri)
    procs = []
    server = SilentStateServer()
    try:
        with open(os.path.join(log_dir, "rosmaster.log"), "w") as out:
            procs.append(subprocess.Popen(sourced(install_dir, ["rosmaster", "--core", "-p", str(port)]),
                                          env=env, stdout=out, stderr=subprocess.STDOUT))
        master = xmlrpc.client.ServerProxy(master_uri)

        def master_up():
            try:
                return master.getPid("/install_space_check")[0] == 1
            except OSError:
                return False

        wait_until("the ROS master", 30, master_up)
        launch_log = os.path.join(log_dir, "roslaunch.log")
        with open(launch_log, "w") as out:
            launch = subprocess.Popen(
                sourced(install_dir, ["roslaunch", "zyr_collision_avoidance", "collision_avoidance.launch",
                                      "bridge:=true", "incidents:=true"]),
                env=env, stdout=out, stderr=subprocess.STDOUT)
        procs.append(launch)

        def registered():
            if launch.poll() is not None:
                raise CheckFailed("roslaunch ended with status %d before all nodes were up" % launch.returncode)
            return node_pids(master, SYSTEM_NODES)

        try:
            pids = wait_until("all of %s registered" % ", ".join(SYSTEM_NODES), 90, registered, 0.25)
        except CheckFailed as e:
            try:
                missing = [n for n in SYSTEM_NODES if master.lookupNode("/install_space_check", n)[0] != 1]
            except OSError:
                missing = ["(master gone)"]
            raise CheckFailed("%s (missing: %s; see %s)" % (e, ", ".join(missing) or "none", launch_log))

        problems = []
        for name, pid in sorted(pids.items()):
            program_dir = os.path.join(install_dir, "lib", SYSTEM_NODES[name])
            exe = os.path.realpath("/proc/%d/exe" % pid)
            if not within(exe, program_dir):
                problems.append("%s runs %s, not a program of %s" % (name, exe, program_dir))
            for path in foreign_mappings(pid, install_dir):
                problems.append("%s maps %s from outside the install space" % (name, path))

        status = stop(launch, signal.SIGINT, 40)
        leftovers = []
        for name, pid in sorted(pids.items()):
            # still the node's program (not a new process under a reused pid)
            if within(os.path.realpath("/proc/%d/exe" % pid), install_dir):
                leftovers.append(name)
                os.kill(pid, signal.SIGKILL)
        if status != 0:
            problems.append("roslaunch ended with status %d after SIGINT" % status)
        if leftovers:
            problems.append("still running after roslaunch ended: %s" % ", ".join(leftovers))
        if problems:
            raise CheckFailed("; ".join(problems))
    finally:
        for p in reversed(procs):
            stop(p, signal.SIGINT, 40)
        server.close()


# Runs inside the install-space environment: loads demo.launch as roslaunch
# would (without starting anything) and prints what it refers to.
DEMO_PROBE = r"""
import json, os, shlex, sys
import roslaunch.config, roslaunch.rlutil, roslaunch.xmlloader, rospkg
from roslib.packages import find_node
sys.argv = [sys.argv[0], "rviz:=true"]
files = roslaunch.rlutil.resolve_launch_arguments(["zyr_simulation", "demo.launch"])
config = roslaunch.config.load_config_default(
    files, None, loader=roslaunch.xmlloader.XmlLoader(resolve_anon=True), verbose=False, assign_machines=False)
rospack = rospkg.RosPack()
nodes = []
for n in config.nodes:
    try:
        programs = find_node(n.package, n.type, rospack=rospack)
    except rospkg.ResourceNotFound:
        programs = []
    nodes.append({"name": n.name, "package": n.package, "type": n.type, "programs": programs,
                  "prefix": shlex.split(n.launch_prefix or ""), "args": shlex.split(n.args or "")})
params = [v for v in (p.value for p in config.params.values()) if isinstance(v, str)]
print(json.dumps({"files": [os.path.abspath(f) for f in config.roslaunch_files], "nodes": nodes, "params": params}))
"""


def check_demo_resolves(install_dir, result_dir):
    log_dir = os.path.join(result_dir, "demo_launch")
    os.makedirs(log_dir, exist_ok=True)
    probe = subprocess.run(sourced(install_dir, ["/usr/bin/python3", "-c", DEMO_PROBE]),
                           env=clean_environment(log_dir), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           universal_newlines=True, timeout=120)
    if probe.returncode != 0:
        raise CheckFailed("loading demo.launch from the install space failed: %s" % probe.stderr.strip()[-2000:])
    found = json.loads(probe.stdout)
    problems = []

    def ours(path, what):
        # Anything of this workspace must come from the install space, and be there.
        if within(path, WORKSPACE) and not within(path, install_dir):
            problems.append("%s %s is outside the install space" % (what, path))
        elif within(path, install_dir) and not os.path.exists(path):
            problems.append("%s %s does not exist" % (what, path))

    for f in found["files"]:
        ours(f, "launch file")
    for n in found["nodes"]:
        label = "node %s (%s/%s)" % (n["name"], n["package"], n["type"])
        if n["package"].startswith("zyr_") and len(n["programs"]) != 1:
            problems.append("%s: program found %d times: %s" % (label, len(n["programs"]), n["programs"]))
        for p in n["programs"]:
            ours(p, label + ": program")
        if n["prefix"]:
            prefix = n["prefix"][0]
            ours(prefix, label + ": launch-prefix")
            if within(prefix, install_dir) and not os.access(prefix, os.X_OK):
                problems.append("%s: launch-prefix %s is not executable" % (label, prefix))
        for a in n["args"]:
            if a.startswith("/"):
                ours(a, label + ": argument")
    for v in found["params"]:
        if v.startswith("/"):
            ours(v, "parameter value")
    if not any(within(f, install_dir) for f in found["files"]):
        problems.append("no launch file came from the install space: %s" % found["files"])
    if problems:
        raise CheckFailed("; ".join(problems))


CHECKS = [
    ("collision_avoidance_launch_runs_from_install", check_launch_runs),
    ("demo_launch_resolves_from_install", check_demo_resolves),
]


def main():
    if len(sys.argv) != 3:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    install_dir = os.path.realpath(sys.argv[1])
    result_dir = os.path.abspath(sys.argv[2])
    os.makedirs(result_dir, exist_ok=True)
    suite = ET.Element("testsuite", name="install_space", tests=str(len(CHECKS)))
    failures = 0
    for name, check in CHECKS:
        case = ET.SubElement(suite, "testcase", classname="install_space", name=name)
        start = time.monotonic()
        try:
            if not os.path.isfile(os.path.join(install_dir, "setup.bash")):
                raise CheckFailed("no install space at %s (make install)" % install_dir)
            check(install_dir, result_dir)
            print("install space: %s passed" % name)
        except Exception as e:  # every failure becomes a counted result, never a silent pass
            failures += 1
            message = str(e) if isinstance(e, CheckFailed) else "%s: %s" % (type(e).__name__, e)
            failure = ET.SubElement(case, "failure", message=message)
            failure.text = message if isinstance(e, CheckFailed) else traceback.format_exc()
            print("install space: %s FAILED: %s" % (name, message))
        case.set("time", "%.1f" % (time.monotonic() - start))
    suite.set("failures", str(failures))
    suite.set("errors", "0")
    ET.ElementTree(suite).write(os.path.join(result_dir, "install_space.xml"), encoding="utf-8",
                                xml_declaration=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
