#!/bin/bash
# What the whole stack costs the aircraft's computer: the demo flight (run_demo, no rviz) with a 64-beam LiDAR at
# 10 Hz, flown STACK_CPU_FLIGHTS times (3), each node's CPU over the flight from /proc, as % of one core and as
# seconds of CPU per flight (which load from other work on the machine changes less than the share).
# Then STACK_CPU_QUIET_FLIGHTS (1) more with quiet_console.config, a deployment's choice (collision_avoidance.launch
# console_config) that drops the Info lines of the system's nodes: what the default's logging costs.
# Needs the state server's TCP port free; each flight starts its own ROS master on a free port.
set -eu
source "$(dirname "$0")/bench_env.sh"

beams="${STACK_CPU_BEAMS:-64}"
flights="${STACK_CPU_FLIGHTS:-3}"
quiet_flights="${STACK_CPU_QUIET_FLIGHTS:-1}"

# fly NAME COUNT [run_demo arguments]: flights NAME-1 .. NAME-COUNT in $work, the load before each in NAME-load.txt
fly() {
  local name="$1" count="$2"
  shift 2
  for i in $(seq 1 "$count"); do
    echo "$(cut -d' ' -f1-3 /proc/loadavg)" >>"$work/$name-load.txt"
    DEVEL="$DEVEL" "$here/../scripts/run_demo" --rviz off --beams "$beams" --output "$work/$name-$i" "$@" \
      >"$work/$name-$i.log" 2>&1 || { cat "$work/$name-$i.log"; exit 1; }
  done
  echo "  load average (1, 5, 15 min) before each flight: $(paste -sd'/' "$work/$name-load.txt" | sed 's#/# / #g')"
}

echo "--- CPU of the stack during the demo flight, $beams-beam LiDAR at 10 Hz, no rviz ($flights flights)"
fly flight "$flights"
/usr/bin/python3 "$here/stack_cpu_table.py" "$work" flight "$flights"
if [ "$quiet_flights" -gt 0 ]; then
  echo "--- the same with quiet_console.config: Info lines of the system's nodes dropped (a deployment's choice," \
    "not the default; $quiet_flights flight(s))"
  fly quiet "$quiet_flights" --console-config "$(rospack find zyr_collision_avoidance)/config/quiet_console.config"
  /usr/bin/python3 "$here/stack_cpu_table.py" "$work" quiet "$quiet_flights"
fi

