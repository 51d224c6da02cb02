#!/bin/bash
# Benchmark of the occupancy mapper on the 64-beam street scan of the test
# data. Starts its own ROS master on a free port, then
#   1. the insertion path against the octree library's raw loop (in-process,
#      simulated time so that every scan rolls the window over),
#   2. occupancy_mapper_node on one core, fed through ROS transport at rising
#      cloud rates.
# Everything it started is stopped again on exit.
set -eu
here="$(cd "$(dirname "$0")" && pwd)"
: "${DEVEL:=$here/../../../devel}"
export PATH="/usr/bin:$PATH"
set +u  # the ROS environment scripts read unset variables
# shellcheck disable=SC1091
source "$DEVEL/setup.bash"
set -u
bin="$DEVEL/lib/zyr_collision_avoidance"
scan="$here/../test/data/hdl64-street-scan.bin"

work="$(mktemp -d)"
export ROS_HOME="$work" ROS_LOG_DIR="$work/log"
port="$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
export ROS_MASTER_URI="http://127.0.0.1:$port" ROS_IP=127.0.0.1
unset ROS_HOSTNAME

master_pid=""
node_pid=""
cleanup() {
  for pid in $node_pid $master_pid; do
    kill -INT "$pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

rosmaster --core -p "$port" >"$work/master.log" 2>&1 &
master_pid=$!
for _ in $(seq 100); do rosparam list >/dev/null 2>&1 && break; sleep 0.1; done

# Both sides on the same core, one after the other.
rosparam set /use_sim_time true
taskset -c 1 "$bin/bench_mapper_insertion" "$scan"
rosparam delete /use_sim_time

# The node alone on core 1 (its spin thread, tf thread and transport
# threads); the driver that publishes and measures on core 0.
taskset -c 1 "$bin/occupancy_mapper_node" >"$work/node.log" 2>&1 &
node_pid=$!
taskset -c 0 "$bin/bench_mapper_node" "$scan" "${MAPPER_BENCH_SECONDS:-5}"
