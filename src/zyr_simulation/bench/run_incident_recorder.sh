#!/bin/bash
# incident_recorder during the demo flight with a 64-beam LiDAR, without and
# with its raw LiDAR clouds (~clouds): CPU share (% of one core, the writing of
# its incidents included) and resident memory, sampled from /proc over the
# flight, and what the incidents came to. Then the cost of one picture, drawn
# by render_incident in a process of its own.
# Starts its own ROS masters on free ports; needs the state server's TCP port free.
set -eu
source "$(dirname "$0")/bench_env.sh"
beams="${INCIDENT_BENCH_BEAMS:-64}"

echo "--- incident_recorder during the demo flight, $beams-beam LiDAR (no rviz)"
for clouds in false true; do
  port=$(free_port)
  export ROS_MASTER_URI="http://127.0.0.1:$port"
  roslaunch -p "$port" zyr_simulation demo.launch lidar_beams:="$beams" output:=log \
    incidents_dir:="$work/incidents-$clouds" incident_clouds:="$clouds" >"$work/roslaunch-$clouds.log" 2>&1 &
  launch=$!
  for _ in $(seq 1 300); do rostopic list >/dev/null 2>&1 && break; sleep 0.1; done
  # demo_recorder flies the demo to its end; the sampler watches the recorder meanwhile.
  /usr/bin/python3 "$here/../scripts/demo_recorder" --output "$work/demo-$clouds" --lidar-beams "$beams" \
    >"$work/demo-$clouds.log" 2>&1 &
  flight=$!
  /usr/bin/python3 "$here/sample_node.py" /incident_recorder "$flight" >"$work/sample-$clouds.json"
  wait "$flight" || { cat "$work/demo-$clouds.log"; exit 1; }
  kill -INT "$launch" 2>/dev/null || true
  wait "$launch" 2>/dev/null || true
  launch=""
  /usr/bin/python3 - "$clouds" "$work/sample-$clouds.json" "$work/incidents-$clouds" <<'PY'
import json, os, sys
clouds, sample, folder = sys.argv[1] == "true", json.load(open(sys.argv[2])), sys.argv[3]
if "error" in sample:
    sys.exit("incident_recorder: " + sample["error"])
names = sorted(n for n in os.listdir(folder) if not n.startswith(".")) if os.path.isdir(folder) else []
def mean_size(f):
    sizes = [os.path.getsize(os.path.join(folder, n, f)) for n in names if os.path.exists(os.path.join(folder, n, f))]
    return sum(sizes) / len(sizes) / 1e6 if sizes else float("nan")
print("  %-15s CPU %4.1f %% of one core, RSS %5.1f MB (peak %5.1f MB) over %.0f s; incidents: %d, "
      "bag %.2f MB, picture %.2f MB each" % (
          "with clouds:" if clouds else "without clouds:", sample["cpu_percent"], sample["rss_mean_mb"],
          sample["rss_max_mb"], sample["seconds"], len(names), mean_size("incident.bag"), mean_size("incident.png")))
PY
done
echo "  (targets without clouds: under 3 % of one core and under 50 MB)"

incident=$(find "$work/incidents-false" -mindepth 1 -maxdepth 1 -type d ! -name '.*' | sort | head -n 1)
if [ -n "$incident" ]; then
  /usr/bin/python3 - "$(rospack find zyr_incident_recorder)/scripts/render_incident" "$incident" <<'PY'
import resource, subprocess, sys, time
t = time.monotonic()
subprocess.run([sys.argv[1], sys.argv[2]], check=True)
wall = time.monotonic() - t
used = resource.getrusage(resource.RUSAGE_CHILDREN)
print("  one picture (render_incident, niced, once per incident): %.1f s CPU, %.1f s, peak RSS %.0f MB" % (
    used.ru_utime + used.ru_stime, wall, used.ru_maxrss / 1024.0))
PY
fi
