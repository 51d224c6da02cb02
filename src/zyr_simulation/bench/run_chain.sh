#!/bin/bash
# The whole chain at work:
#  1. scan-to-verdict latency (bench_chain_latency) with an obstacle popping up
#     ahead of the hovering aircraft, against the design's structural bound;
#     and, beside it, what avoidance_watchdog measures live meanwhile (live_latency.py);
#  2. the CPU share of each node during the demo flight (run_demo, no rviz).
# The 64-beam flights, with the stack's CPU budget and the watchdog's share, are run_stack_cpu.sh.
# Starts its own ROS masters on free ports; needs the state server's TCP port free.
set -eu
source "$(dirname "$0")/bench_env.sh"
port=$(free_port)
export ROS_MASTER_URI="http://127.0.0.1:$port"

beams="${CHAIN_BENCH_BEAMS:-32}"
# Velocity messages a little off 100 Hz: at exactly 100 Hz the simulator's scans and the monitor's every-fifth
# queries keep one phase for good, and every trial would meet the same one.
rate="${CHAIN_BENCH_STATE_RATE:-97}"
echo "--- scan-to-verdict latency, $beams-beam LiDAR at 10 Hz, velocity messages at $rate Hz"
roslaunch -p "$port" zyr_simulation demo.launch guarded_flight:=false pilot_start:=immediately \
  lidar_beams:="$beams" state_rate:="$rate" output:=log \
  scene:="$here/chain_scene.txt" pilot:="$here/chain_pilot.txt" popup_file:="$here/chain_popup.txt" \
  popup_start:=3.0 popup_on:=1.23 popup_off:=1.34 >"$work/roslaunch.log" 2>&1 &
launch=$!
# The latency node comes once the master is up, so it misses nothing and says nothing about a missing master.
for _ in $(seq 1 300); do rostopic list >/dev/null 2>&1 && break; sleep 0.1; done
status=0
"$DEVEL/lib/zyr_simulation/bench_chain_latency" _trials:="${CHAIN_BENCH_TRIALS:-40}" _near:=7.5 _far:=8.5 \
  _half_width:=3.5 _min_z:=-2.5 _velocity_period:="$(/usr/bin/python3 -c "print(1.0 / $rate)")" \
  >"$work/latency.log" 2>&1 &
trials=$!
/usr/bin/python3 "$here/live_latency.py" "$trials" "$work/latency.log" >"$work/live.log" 2>&1 || status=1
wait "$trials" || status=1
cat "$work/latency.log" "$work/live.log"
kill -INT "$launch" 2>/dev/null || true
wait "$launch" 2>/dev/null || true
launch=""

echo "--- CPU share of each node during the demo flight (% of one core; $beams-beam LiDAR, no rviz)"
DEVEL="$DEVEL" "$here/../scripts/run_demo" --rviz off --beams "$beams" --output "$work/demo" >"$work/demo.log" 2>&1 ||
  { cat "$work/demo.log"; exit 1; }
/usr/bin/python3 - "$work/demo/summary.json" <<'PY'
import json, sys
s = json.load(open(sys.argv[1]))
for name, share in s["cpu_percent_of_one_core"].items():
    print("  %-24s %5.1f %%" % (name, share))
print("  (flight of %.1f s: %s, %d scans, %d octrees, %d queries)" % (
    s["duration_s"], "collided" if s["collided"] else "no collision", s["scans"], s["octrees"], s["queries"]))
PY

exit $status
