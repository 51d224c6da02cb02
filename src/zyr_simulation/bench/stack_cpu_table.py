#!/usr/bin/python3
"""Prints the stack's CPU table of run_stack_cpu.sh from the demo summaries of its flights.

  stack_cpu_table.py WORK NAME COUNT    (summaries in WORK/NAME-1 .. WORK/NAME-COUNT)
"""
import json
import statistics
import sys

work, name, flights = sys.argv[1], sys.argv[2], int(sys.argv[3])
runs = [json.load(open("%s/%s-%d/summary.json" % (work, name, i))) for i in range(1, flights + 1)]
# The programs of collision_avoidance.launch that an aircraft runs with the recorder, the budget's six;
# then what the same launch file starts beside them on an aircraft; then the simulated world (not on an aircraft).
STACK = ["occupancy_mapper_node", "collision_monitor", "guarded_flight", "state_bridge", "avoidance_watchdog",
         "incident_recorder"]
BESIDE = ["attitude_frames", "obstacle_distance"]
WORLD = ["vehicle_sim", "sdk_standin", "state_server"]
TARGET = 20.0  # % of one core for the six together


def shares(name):
    return [r["cpu_percent_of_one_core"].get(name) for r in runs]


def seconds(name):
    return [r.get("cpu_seconds", {}).get(name) for r in runs]


def row(label, values, secs):
    known = [v for v in values if v is not None]
    cells = " ".join("%6s" % ("-" if v is None else "%.1f" % v) for v in values)
    spread = "%.1f–%.1f" % (min(known), max(known)) if known else "-"
    known_s = [s for s in secs if s is not None]
    print("  %-24s %s  %6s %11s  %6s" % (label, cells, "%.1f" % statistics.median(known) if known else "-", spread,
                                          "%.2f" % statistics.median(known_s) if known_s else "-"))


def total(names):
    values, secs = [], []
    for r in runs:
        got = [r["cpu_percent_of_one_core"].get(n) for n in names]
        values.append(None if None in got else sum(got))
        got_s = [r.get("cpu_seconds", {}).get(n) for n in names]
        secs.append(None if None in got_s else sum(got_s))
    return values, secs


head = " ".join("%6s" % ("#%d" % (i + 1)) for i in range(flights))
print("  %-24s %s  %6s %11s  %6s" % ("% of one core, flight", head, "median", "spread", "CPU s"))
for name in STACK:
    row(name, shares(name), seconds(name))
six, six_s = total(STACK)
row("total of the six", six, six_s)
known = [v for v in six if v is not None]
met = sum(1 for v in known if v <= TARGET)
print("  target: the six together <= %.0f %% of one core: %s (%d of %d flights within it)" % (
    TARGET, "met" if known and met == len(known) else "missed", met, len(known)))
print("  started beside them on an aircraft by collision_avoidance.launch (not in the six):")
for name in BESIDE:
    row(name, shares(name), seconds(name))
eight, eight_s = total(STACK + BESIDE)
row("all eight on the aircraft", eight, eight_s)
print("  the simulated world (not on an aircraft):")
for name in WORLD:
    row(name, shares(name), seconds(name))
print("  flights: " + "; ".join("%.1f s measured, %s, %d scans, %d octrees, %d queries" % (
    r.get("cpu_span_s", r["duration_s"]), "collided" if r["collided"] else "no collision", r["scans"], r["octrees"],
    r["queries"]) for r in runs))
watchdog = [v for v in shares("avoidance_watchdog") if v is not None]
if watchdog:
    print("  avoidance_watchdog: %.1f–%.1f %% of one core; target under 2 %%: %s" % (
        min(watchdog), max(watchdog), "met" if max(watchdog) < 2.0 else "NOT met"))
print("  live scan-to-verdict latency at the end of each flight (p50 / p99 ms): " + ", ".join(
    "%s / %s" % (r["scan_to_verdict_p50_ms"], r["scan_to_verdict_p99_ms"]) for r in runs))
