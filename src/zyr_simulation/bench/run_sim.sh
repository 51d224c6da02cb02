#!/bin/bash
# Simulated LiDAR: milliseconds per scan for 16, 32 and 64 beams in the demo scene.
set -eu
here="$(cd "$(dirname "$0")" && pwd)"
"$DEVEL/lib/zyr_simulation/bench_sim_lidar" "$here/../config/demo_scene.txt" 50
