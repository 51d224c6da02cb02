#!/bin/bash
# The clutter filters between the LiDAR and the mapper (zyr_cloud_filters): for each choice of filters, the CPU time
# of their nodelet manager per 64-beam cloud of the demo scene (with 200 specks of dust and 30 airframe returns in
# it), and the time from the cloud's publication to the arrival of what is left of it, through two hops (into the
# manager, out to the mapper's topic); without filters the mapper reads the driver's topic in one hop. The clouds go
# out at 2 Hz, so that each is filtered (at the LiDAR's 10 Hz a filter slower than 100 ms per cloud drops clouds);
# FILTER_BENCH_RATE=10 shows whether it keeps up.
# Starts its own ROS master on a free port.
set -eu
source "$(dirname "$0")/bench_env.sh"
port=$(free_port)
export ROS_MASTER_URI="http://127.0.0.1:$port"
beams="${FILTER_BENCH_BEAMS:-64}"
roscore -p "$port" >"$work/roscore.log" 2>&1 &
launch=$!
for _ in $(seq 1 300); do rostopic list >/dev/null 2>&1 && break; sleep 0.1; done
status=0
for choice in "true none" "false radius" "false statistical" "true radius"; do
  set -- $choice
  echo "--- airframe filter $1, outlier filter $2"
  roslaunch zyr_cloud_filters cloud_filters.launch airframe:="$1" outliers:="$2" output:=log \
    >"$work/filters.log" 2>&1 &
  filters=$!
  pid=""
  for _ in $(seq 1 100); do
    pid=$(/usr/bin/python3 -c 'from zyr_simulation.faults import node_pid; print(node_pid("/cloud_filters", "/bench") or "")')
    [ -n "$pid" ] && break
    sleep 0.1
  done
  "$DEVEL/lib/zyr_simulation/bench_cloud_filters" _scene:="$here/../config/demo_scene.txt" _beams:="$beams" \
    _manager_pid:="${pid:-0}" _clouds:="${FILTER_BENCH_CLOUDS:-30}" _rate:="${FILTER_BENCH_RATE:-2}" ||
    { status=1; cat "$work/filters.log"; }
  kill -INT "$filters" 2>/dev/null || true
  wait "$filters" 2>/dev/null || true
done
exit $status
