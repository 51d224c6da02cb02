// Client side of the local state server's TCP stream: fixed-size vehicle-state
// records in, "Pause" / "Resume" commands out.
#ifndef ZYR_COLLISION_AVOIDANCE_TRAJECTORY_TCP_INTERFACE_H
#define ZYR_COLLISION_AVOIDANCE_TRAJECTORY_TCP_INTERFACE_H

#include <sys/types.h>

#include <boost/function.hpp>
#include <cstddef>

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

  // Waits until at least one whole record has arrived on `fd`, then takes
  // every byte already waiting and returns the newest whole record: older
  // whole records are dropped, so that the caller never falls behind the
  // server, and a partial record is kept for the next call. Waits in short
  // slices and asks `keep_waiting` between them, so a silent server never
  // blocks shutdown. A failed read ends the process with a non-zero status.
  ReadStatus readOnce(int fd, TrajectoryRecord& record, const boost::function<bool()>& keep_waiting);
  // The same, waiting while ROS is ok.
  ReadStatus readOnce(int fd, TrajectoryRecord& record);

  // perror(msg), then ends the process with a non-zero status.
  [[noreturn]] void error(const char* msg);

  int port;

private:
  // True when `fd` has bytes (or an end, or an error) to read within
  // `timeout_ms`; false after the timeout or an interrupted wait.
  bool readable(int fd, int timeout_ms);
  // One read into `into`: the byte count, 0 at the end of the stream, or -1
  // when interrupted before anything was read.
  ssize_t readSome(int fd, unsigned char* into, std::size_t size);
  // Takes `n` bytes that followed the partial record: the newest record they
  // complete goes to `newest`, what is left of a record to the partial one.
  void absorb(const unsigned char* bytes, std::size_t n, unsigned char* newest, bool& complete);

  // The start of a record whose rest has not arrived yet.
  unsigned char partial_[kTrajectoryRecordBytes];
  std::size_t partialSize_ = 0;
};

#endif  // ZYR_COLLISION_AVOIDANCE_TRAJECTORY_TCP_INTERFACE_H
