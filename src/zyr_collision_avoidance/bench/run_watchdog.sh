#!/bin/bash
# Health watchdog: what it spends reading each 64-beam cloud (make bench).
set -eu
here="$(cd "$(dirname "$0")" && pwd)"
exec "${DEVEL:?DEVEL must name the devel space}/lib/zyr_collision_avoidance/bench_watchdog_cloud" \
  "$here/../test/data/hdl64-street-scan.bin"
