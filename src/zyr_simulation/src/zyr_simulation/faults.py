"""Faults struck into a running closed-loop flight, for the demo's scenarios
(make demo SCENARIO=...) and the end-to-end tests:

  wall            the flight towards the wall, nothing fails
  lidar-dropout   the simulated LiDAR goes silent (vehicle_sim's ~lidar_dropout_ahead)
  mapper-crash    occupancy_mapper_node's process is killed
  monitor-crash   collision_monitor's process is killed

Each fault strikes once the wall straight ahead is nearer than a given
distance, while the aircraft flies towards it. A crash is a SIGKILL to the
node's process, whose id the node itself gives (its XML-RPC getPid): it dies
without a word, as a crashed program does, and stays registered with the
master.
"""
import os
import signal
import xmlrpc.client

import rosgraph

# The node each crash scenario kills; the LiDAR dropout is vehicle_sim's own doing.
CRASHES = {"mapper-crash": "/occupancy_mapper_node", "monitor-crash": "/collision_monitor"}
SCENARIOS = ["wall", "lidar-dropout"] + sorted(CRASHES)


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
    """Kills the scenario's node once the wall ahead of the flying aircraft is
    nearer than `ahead_m`, and notes the fault in the FlightWatcher. Call
    poll() as often as convenient, without holding the watcher's lock; it
    kills at most once."""

    def __init__(self, scenario, ahead_m, caller):
        self.node = CRASHES.get(scenario)
        self.ahead_m = ahead_m
        self.caller = caller
        self.pid = None

    def poll(self, w):
        if self.node is None or self.pid is not None:
            return
        with w.lock:
            due = w.truth is not None and bool(w.requests) and 0.0 <= w.truth.distance_ahead <= self.ahead_m
        if not due:
            return
        self.pid = kill_node(self.node, self.caller)
        if self.pid is not None:
            w.note_fault("%s killed (pid %d)" % (self.node.lstrip("/"), self.pid))
