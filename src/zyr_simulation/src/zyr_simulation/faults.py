"""Faults struck into a running closed-loop flight, for the demo's scenarios
(make demo SCENARIO=...) and the end-to-end tests:

  wall                the flight towards the wall, nothing fails
  lidar-dropout       the simulated LiDAR goes silent
  lidar-blind         every point of every cloud becomes NaN
  lidar-frozen        the LiDAR's driver republishes its last cloud with fresh stamps
  velocity-unhealthy  the velocity's health flag turns 0 and stays 0
  mapper-crash        occupancy_mapper_node's process is killed
  monitor-crash       collision_monitor's process is killed
  watchdog-crash      avoidance_watchdog's process is killed, then the mapper's (the
                      launch must not start the watchdog again: watchdog_respawn:=false)

Each fault strikes once the wall straight ahead is nearer than a given
distance, while the aircraft flies towards it. The sensor faults are
vehicle_sim's own doing (its ~fault and ~fault_ahead, see launch_args). A
crash is a SIGKILL to the node's process, whose id the node itself gives (its
XML-RPC getPid): it dies without a word, as a crashed program does, and stays
registered with the master.
"""
import os
import signal
import xmlrpc.client

import rosgraph

# The nodes each crash scenario kills, in this order.
CRASHES = {"mapper-crash": ["/occupancy_mapper_node"], "monitor-crash": ["/collision_monitor"],
           "watchdog-crash": ["/avoidance_watchdog", "/occupancy_mapper_node"]}
# The faults vehicle_sim strikes itself, named as its ~fault parameter names them.
SENSOR_FAULTS = ["lidar-dropout", "lidar-blind", "lidar-frozen", "velocity-unhealthy"]
SCENARIOS = ["wall"] + SENSOR_FAULTS + sorted(CRASHES)


def launch_args(scenario, ahead_m):
    """The arguments of demo.launch that a scenario needs, `ahead_m` before the wall."""
    if scenario in SENSOR_FAULTS:
        return ["fault:=%s" % scenario, "fault_ahead:=%g" % ahead_m]
    if scenario == "watchdog-crash":
        return ["watchdog_respawn:=false"]  # a watchdog started again would hold the aircraft
    return []


def node_pid(name, caller):
    """The process id that node `name` reports, or None when it is not there."""
    try:
        uri = rosgraph.Master(caller).lookupNode(name)
        code, _, pid = xmlrpc.client.ServerProxy(uri).getPid(caller)
        return pid if code == 1 else None
    except Exception:  # not registered, or not answering
        return None


def kill_node(name, caller):
    """Kills node `name` by its process id (SIGKILL); returns the id, or None if it could not."""
    pid = node_pid(name, caller)
    if pid is None or pid == os.getpid():
        return None
    try:
        os.kill(pid, signal.SIGKILL)
    except OSError:
        return None
    return pid


class CrashOnApproach:
    """Kills the scenario's nodes, one after the other, once the wall ahead of
    the flying aircraft is nearer than `ahead_m`, and notes the fault in the
    FlightWatcher. Call poll() as often as convenient, without holding the
    watcher's lock; it kills at most once."""

    def __init__(self, scenario, ahead_m, caller):
        self.nodes = CRASHES.get(scenario, [])
        self.ahead_m = ahead_m
        self.caller = caller
        self.pids = None

    def poll(self, w):
        if not self.nodes or self.pids is not None:
            return
        with w.lock:
            due = w.truth is not None and bool(w.requests) and 0.0 <= w.truth.distance_ahead <= self.ahead_m
        if not due:
            return
        self.pids = [(node, kill_node(node, self.caller)) for node in self.nodes]
        killed = ["%s killed (pid %d)" % (node.lstrip("/"), pid) for node, pid in self.pids if pid is not None]
        if killed:
            w.note_fault(", then ".join(killed))
