# Sourced by the benchmark scripts beside it that run ROS graphs: the devel
# space's environment, a scratch folder for ROS's files (removed on exit, with
# the graph in $launch ended first), and free_port for each master.
: "${DEVEL:?DEVEL must name the devel space}"
here="$(cd "$(dirname "${BASH_SOURCE[1]:-$0}")" && pwd)"
set +u
source "$DEVEL/setup.bash"
set -u
export PATH="/usr/bin:/bin:$PATH"
work="$(mktemp -d)"
export ROS_HOME="$work/ros" ROS_LOG_DIR="$work/log"
launch=""
cleanup() {
  if [ -n "$launch" ]; then
    kill -INT "$launch" 2>/dev/null || true
    wait "$launch" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
