#!/usr/bin/python3
"""Samples one node's CPU time and resident memory from /proc while a
process runs, and prints them as one JSON object.

  sample_node.py NODE PID [PERIOD]

NODE is looked up at the ROS master (ROS_MASTER_URI); sampling starts once it
is registered and ends when the process PID (what drives the measured run)
has ended. CPU is the node's user and system time over the sampled wall time,
in % of one core; memory is VmRSS, in MB.
"""
import json
import os
import sys
import time
import xmlrpc.client

import rosgraph


def node_pid(name, timeout=60.0):
    master = rosgraph.Master("/sample_node")
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        try:
            code, _, pid = xmlrpc.client.ServerProxy(master.lookupNode(name)).getPid("/sample_node")
            if code == 1:
                return pid
        except Exception:  # not registered yet
            pass
        time.sleep(0.1)
    return None


def cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def rss_mb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    return 0.0


def main():
    name, driver = sys.argv[1], int(sys.argv[2])
    period = float(sys.argv[3]) if len(sys.argv) > 3 else 0.25
    pid = node_pid(name)
    if pid is None:
        print(json.dumps({"error": "%s never registered" % name}))
        return 1
    t0, c0 = time.monotonic(), cpu_ticks(pid)
    rss = []
    t1, c1 = t0, c0
    while os.path.exists("/proc/%d" % driver):
        try:
            rss.append(rss_mb(pid))
            t1, c1 = time.monotonic(), cpu_ticks(pid)
        except OSError:  # the node is gone
            break
        time.sleep(period)
    hz = os.sysconf("SC_CLK_TCK")
    print(json.dumps({"cpu_percent": 100.0 * (c1 - c0) / hz / max(t1 - t0, 1e-9), "seconds": t1 - t0,
                      "rss_mean_mb": sum(rss) / max(len(rss), 1), "rss_max_mb": max(rss or [0.0])}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
