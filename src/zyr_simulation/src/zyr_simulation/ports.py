"""The TCP port on 127.0.0.1 where the state server listens and state_bridge
connects; the C++ programs take it from kStateServerPort in the flight
package's trajectory_record.h, which holds the same number."""
STATE_SERVER_PORT = 28770
