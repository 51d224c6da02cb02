#!/bin/bash
# obstacle_distance: thread CPU time per map on the street scan (make bench).
# Its share of a core in the demo flight: zyr_simulation's run_obstacle_distance.sh.
set -eu
here="$(cd "$(dirname "$0")" && pwd)"
exec "${DEVEL:?DEVEL must name the devel space}/lib/zyr_collision_avoidance/bench_obstacle_distance" \
  "$here/../test/data/hdl64-street-scan.bin"
