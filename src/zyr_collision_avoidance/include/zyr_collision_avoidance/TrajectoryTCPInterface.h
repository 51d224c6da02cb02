// Client side of the local state server's TCP stream: fixed-size vehicle-state
// records in, "Pause" / "Resume" commands out.
#ifndef ZYR_COLLISION_AVOIDANCE_TRAJECTORY_TCP_INTERFACE_H
#define ZYR_COLLISION_AVOIDANCE_TRAJECTORY_TCP_INTERFACE_H

#include <boost/function.hpp>

#include "zyr_collision_avoidance/trajectory_record.h"

class TrajectoryROSInterface
{
public:
  enum ReadStatus
  {
    RECORD_READ,        // `record` holds one whole record
    CONNECTION_CLOSED,  // the server closed its end; an unfinished record is dropped
    STOPPED             // the caller's keep-waiting test said stop while no record was complete
  };

  explicit TrajectoryROSInterface(int port);

  // Connects to the state server on "localhost"; returns the descriptor, or
  // ends the process with a non-zero status.
  int setupSubscriber();

  // Reads exactly one record from `fd`, completing short reads and leaving any
  // later bytes in the socket. Waits in short slices and asks `keep_waiting`
  // between them, so a silent server never blocks shutdown. A failed read ends
  // the process with a non-zero status.
  ReadStatus readOnce(int fd, TrajectoryRecord& record, const boost::function<bool()>& keep_waiting);
  // The same, waiting while ROS is ok.
  ReadStatus readOnce(int fd, TrajectoryRecord& record);

  // perror(msg), then ends the process with a non-zero status.
  [[noreturn]] void error(const char* msg);

  int port;
};

#endif  // ZYR_COLLISION_AVOIDANCE_TRAJECTORY_TCP_INTERFACE_H
