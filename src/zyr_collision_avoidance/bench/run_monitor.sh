#!/bin/bash
# Collision monitor: forward-query and map-decode timings (make bench).
set -eu
here="$(cd "$(dirname "$0")" && pwd)"
exec "${DEVEL:?DEVEL must name the devel space}/lib/zyr_collision_avoidance/bench_collision_monitor" \
  "$here/../test/data/hdl64-street-scan.bin"
