#!/bin/bash
# Stick message -> attitude-control request latency of guarded_flight, beside
# a bare roscpp service round trip, against a ROS master of its own on a free
# port. Needs $DEVEL (the devel space); `make bench` sets it.
set -eu
# shellcheck source=private_master.sh
source "$(dirname "$0")/private_master.sh"

"$bin/guarded_flight" >"$work/guarded_flight.log" 2>&1 &
node_pid=$!
GUARDED_FLIGHT_PID=$node_pid "$bin/bench_guarded_flight" "${GUARDED_FLIGHT_BENCH_SAMPLES:-500}"
