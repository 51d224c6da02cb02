# Sourced by the benchmark scripts beside it: the devel space's environment, a
# scratch folder for ROS's files, and a ROS master of their own on a free port,
# so that a benchmark never meets another graph. The script puts the node it
# measures in $node_pid; on exit that node and the master are stopped and the
# scratch folder removed.
here="$(cd "$(dirname "${BASH_SOURCE[1]:-$0}")" && pwd)"
: "${DEVEL:=$here/../../../devel}"
export PATH="/usr/bin:$PATH"
set +u  # the ROS environment scripts read unset variables
# shellcheck disable=SC1091
source "$DEVEL/setup.bash"
set -u
bin="$DEVEL/lib/zyr_collision_avoidance"
scan="$here/../test/data/hdl64-street-scan.bin"

work="$(mktemp -d)"
export ROS_HOME="$work" ROS_LOG_DIR="$work/log"
port="$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
export ROS_MASTER_URI="http://127.0.0.1:$port" ROS_IP=127.0.0.1
unset ROS_HOSTNAME

master_pid=""
node_pid=""
cleanup() {
  for pid in $node_pid $master_pid; do
    kill -INT "$pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

rosmaster --core -p "$port" >"$work/master.log" 2>&1 &
master_pid=$!
for _ in $(seq 100); do rosparam list >/dev/null 2>&1 && break; sleep 0.1; done
