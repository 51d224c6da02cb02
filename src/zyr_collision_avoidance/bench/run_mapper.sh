#!/bin/bash
# Benchmark of the occupancy mapper on the 64-beam street scan of the test
# data. Starts its own ROS master on a free port, then
#   1. the insertion path against the octree library's raw loop (in-process,
#      simulated time so that every scan rolls the window over),
#   2. occupancy_mapper_node on one core, fed through ROS transport at rising
#      cloud rates.
# Everything it started is stopped again on exit.
set -eu
# shellcheck source=private_master.sh
source "$(dirname "$0")/private_master.sh"

# Both sides on the same core, one after the other.
rosparam set /use_sim_time true
taskset -c 1 "$bin/bench_mapper_insertion" "$scan"
rosparam delete /use_sim_time

# The node alone on core 1 (its spin thread, tf thread and transport
# threads); the driver that publishes and measures on core 0.
taskset -c 1 "$bin/occupancy_mapper_node" >"$work/node.log" 2>&1 &
node_pid=$!
taskset -c 0 "$bin/bench_mapper_node" "$scan" "${MAPPER_BENCH_SECONDS:-5}"
