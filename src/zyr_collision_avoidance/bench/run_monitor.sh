#!/bin/bash
# Collision monitor (make bench):
#   1. forward-query and map-decode timings, in-process;
#   2. collision_monitor_node's CPU per map message while maps of about
#      100,000 nodes arrive at 8 Hz, on its own ROS master (free port): the
#      node on core 1, the driver that publishes and reads its CPU on core 0.
# Everything it started is stopped again on exit.
set -eu
here="$(cd "$(dirname "$0")" && pwd)"
: "${DEVEL:?DEVEL must name the devel space}"
export PATH="/usr/bin:$PATH"
bin="$DEVEL/lib/zyr_collision_avoidance"
scan="$here/../test/data/hdl64-street-scan.bin"

"$bin/bench_collision_monitor" "$scan"

set +u  # the ROS environment scripts read unset variables
# shellcheck disable=SC1091
source "$DEVEL/setup.bash"
set -u
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

taskset -c 1 "$bin/collision_monitor_node" >"$work/node.log" 2>&1 &
node_pid=$!
taskset -c 0 "$bin/bench_monitor_node" "$scan" "$node_pid" "${MONITOR_BENCH_MAPS:-80}"
