#!/usr/bin/python3
"""Collects avoidance_watchdog's live scan-to-verdict figures from /diagnostics
while a process runs, and prints them beside those that process measured.

  live_latency.py PID LOG

PID drives the measured run (bench_chain_latency); LOG is where it writes its
lines, of which the one "trials N: ... p50 X ms, p99 Y ms ..." is read once it
has ended. The watchdog gives p50 and p99 over the last 10 s: one reading per
10 s (windows that do not overlap) from the first with samples on; printed are
the medians of the windows' p50 and p99 and the worst p99.
"""
import os
import re
import statistics
import sys
import time

import rospy
from diagnostic_msgs.msg import DiagnosticArray

STATUS = "avoidance_watchdog: Collision verdicts"
WINDOW = 10.0


def main():
    driver, log = int(sys.argv[1]), sys.argv[2]
    rospy.init_node("live_latency", anonymous=True, disable_signals=True)
    readings = []  # (p50, p99, samples, bound), ms

    def on_diagnostics(msg):
        for status in msg.status:
            if status.name != STATUS:
                continue
            values = {kv.key: kv.value for kv in status.values}
            try:
                readings.append((time.monotonic(), float(values["scan-to-verdict p50 (ms)"]),
                                 float(values["scan-to-verdict p99 (ms)"]), int(values["latency samples"]),
                                 float(values["structural bound (ms)"])))
            except (KeyError, ValueError):  # no samples in the window yet
                pass

    sub = rospy.Subscriber("/diagnostics", DiagnosticArray, on_diagnostics, queue_size=20)
    while os.path.exists("/proc/%d" % driver):
        time.sleep(0.2)
    sub.unregister()
    windows = []
    for r in list(readings):
        if not windows or r[0] - windows[-1][0] >= WINDOW:
            windows.append(r)
    if not windows:
        print("  avoidance_watchdog: no live latency figures on /diagnostics")
        return 1
    p50 = statistics.median(w[1] for w in windows)
    p99 = statistics.median(w[2] for w in windows)
    print("  avoidance_watchdog, live (every scan, %d windows of 10 s, %d scans each on average): p50 %.0f ms, "
          "p99 %.0f ms (worst window %.0f ms); structural bound it reports %.0f ms" % (
              len(windows), statistics.mean(w[3] for w in windows), p50, p99, max(w[2] for w in windows),
              windows[-1][4]))
    with open(log) as f:
        found = re.search(r"trials \d+: .*p50 ([\d.]+) ms, p99 ([\d.]+) ms", f.read())
    if found:
        b50, b99 = float(found.group(1)), float(found.group(2))
        worst = max(abs(p50 - b50), abs(p99 - b99))
        print("  live vs benchmark: p50 %+.0f ms, p99 %+.0f ms; agree within 20 ms: %s" % (
            p50 - b50, p99 - b99, "yes" if worst <= 20.0 else "NO"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
