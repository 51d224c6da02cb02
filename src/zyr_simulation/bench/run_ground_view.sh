#!/bin/bash
# obstacle_distance and attitude_frames during the demo flight with a 64-beam
# LiDAR: CPU share (% of one core) and resident memory, sampled from /proc over
# the flight. Starts its own ROS master on a free port; needs TCP port 28770 free.
set -eu
source "$(dirname "$0")/bench_env.sh"
beams="${GROUND_BENCH_BEAMS:-64}"

echo "--- obstacle_distance and attitude_frames during the demo flight, $beams-beam LiDAR (no rviz)"
port=$(free_port)
export ROS_MASTER_URI="http://127.0.0.1:$port"
roslaunch -p "$port" zyr_simulation demo.launch lidar_beams:="$beams" output:=log incidents:=false \
  >"$work/roslaunch.log" 2>&1 &
launch=$!
for _ in $(seq 1 300); do rostopic list >/dev/null 2>&1 && break; sleep 0.1; done
/usr/bin/python3 "$here/../scripts/demo_recorder" --output "$work/demo" --lidar-beams "$beams" >"$work/demo.log" 2>&1 &
flight=$!
samplers=()
for node in obstacle_distance attitude_frames; do
  /usr/bin/python3 "$here/sample_node.py" "/$node" "$flight" >"$work/$node.json" &
  samplers+=($!)
done
wait "$flight" || { cat "$work/demo.log"; exit 1; }
wait "${samplers[@]}"
/usr/bin/python3 - "$work" <<'PY'
import json, os, sys
work = sys.argv[1]
summary = json.load(open(os.path.join(work, "demo", "summary.json")))
for node, target in (("obstacle_distance", 1.0), ("attitude_frames", None)):
    s = json.load(open(os.path.join(work, node + ".json")))
    if "error" in s:
        sys.exit(node + ": " + s["error"])
    verdict = "" if target is None else "  (target < %.0f %%: %s)" % (target, "met" if s["cpu_percent"] < target else "MISSED")
    print("  %-18s CPU %4.2f %% of one core, RSS %5.1f MB over %.0f s%s" % (
        node + ":", s["cpu_percent"], s["rss_mean_mb"], s["seconds"], verdict))
print("  the flight: %s, %d maps" % (summary["ended_because"], summary["octrees"]))
PY
