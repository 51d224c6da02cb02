#!/bin/bash
# Stick message -> attitude-control request latency of guarded_flight, beside
# a bare roscpp service round trip, against a ROS master of its own on a free
# port. Needs $DEVEL (the devel space); `make bench` sets it.
set -eu
here="$(cd "$(dirname "$0")" && pwd)"
: "${DEVEL:=$here/../../../devel}"
set +u
# shellcheck disable=SC1091
source "$DEVEL/setup.bash"
set -u

bin="$DEVEL/lib/zyr_collision_avoidance"
logs="$(mktemp -d)"
port="$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
export ROS_MASTER_URI="http://127.0.0.1:$port"
export ROS_IP=127.0.0.1
export ROS_LOG_DIR="$logs"

master_pid=""
node_pid=""
cleanup() {
  [ -n "$node_pid" ] && kill -INT "$node_pid" 2>/dev/null && wait "$node_pid" 2>/dev/null || true
  [ -n "$master_pid" ] && kill -TERM "$master_pid" 2>/dev/null && wait "$master_pid" 2>/dev/null || true
  rm -rf "$logs"
}
trap cleanup EXIT

rosmaster --core -p "$port" >"$logs/master.log" 2>&1 &
master_pid=$!
for _ in $(seq 100); do
  /usr/bin/python3 -c "import xmlrpc.client as x; x.ServerProxy('$ROS_MASTER_URI').getPid('/bench')" 2>/dev/null && break
  sleep 0.1
done

"$bin/guarded_flight" >"$logs/guarded_flight.log" 2>&1 &
node_pid=$!
GUARDED_FLIGHT_PID=$node_pid "$bin/bench_guarded_flight" "${GUARDED_FLIGHT_BENCH_SAMPLES:-500}"
