#!/bin/bash
# state_bridge at 100 Hz: record-to-velocity latency and CPU share in five runs
# (STATE_BRIDGE_BENCH_RUNS) of 10 s (STATE_BRIDGE_BENCH_SECONDS), then how far
# behind the server it is after a stall and behind a faster server. Starts and
# stops its own ROS master on a free port; needs the state server's TCP port
# free.
set -eu
: "${DEVEL:?DEVEL must name the devel space}"
set +u
source "$DEVEL/setup.bash"
set -u
port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
export ROS_MASTER_URI="http://127.0.0.1:$port"
export ROS_HOME="${ROS_HOME:-$(mktemp -d)}"
rosmaster --core -p "$port" >/dev/null 2>&1 &
master=$!
trap 'kill "$master" 2>/dev/null; wait "$master" 2>/dev/null || true' EXIT
"$DEVEL/lib/zyr_collision_avoidance/bench_state_bridge" "$DEVEL/lib/zyr_collision_avoidance/state_bridge" \
  "${STATE_BRIDGE_BENCH_SECONDS:-10}" "${STATE_BRIDGE_BENCH_RUNS:-5}"
