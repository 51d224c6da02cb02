#!/bin/bash
# Collision monitor (make bench):
#   1. forward-query and map-decode timings, in-process;
#   2. collision_monitor_node's CPU per map message while maps of about
#      100,000 nodes arrive at 8 Hz, on its own ROS master (free port): the
#      node on core 1, the driver that publishes and reads its CPU on core 0.
# Everything it started is stopped again on exit.
set -eu
# shellcheck source=private_master.sh
source "$(dirname "$0")/private_master.sh"

"$bin/bench_collision_monitor" "$scan"

taskset -c 1 "$bin/collision_monitor_node" >"$work/node.log" 2>&1 &
node_pid=$!
taskset -c 0 "$bin/bench_monitor_node" "$scan" "$node_pid" "${MONITOR_BENCH_MAPS:-80}"
