// Client side of the local state server's TCP stream: fixed-size vehicle-state
// records in, "Pause" / "Resume" commands out. A failed system call is
// reported to the caller, which decides how the process ends.
#ifndef ZYR_COLLISION_AVOIDANCE_TRAJECTORY_TCP_INTERFACE_H
#define ZYR_COLLISION_AVOIDANCE_TRAJECTORY_TCP_INTERFACE_H

#include <sys/types.h>

#include <boost/function.hpp>
#include <cstddef>
#include <string>

#include "zyr_collision_avoidance/trajectory_record.h"

class TrajectoryROSInterface
{
public:
  enum ReadStatus
  {
    RECORD_READ,        // `record` holds one whole record
    NO_RECORD,          // the bytes so far complete no record (takeWaiting only)
    CONNECTION_CLOSED,  // the server closed its end; an unfinished record is dropped
    STOPPED,            // the caller's keep-waiting test said stop while no record was complete
    FAILED              // a system call failed; failure() tells which and why
  };

  explicit TrajectoryROSInterface(int port);

  // Connects to the state server on "localhost"; returns the descriptor, or
  // -1 with failure() set.
  int setupSubscriber();

  // Takes every byte already waiting on `fd`, without waiting for more, and
  // returns the newest whole record among them: older whole records are
  // dropped, so that the caller never falls behind the server, and a partial
  // record is kept for the next call. The end of the stream is reported once
  // no record is left to return.
  ReadStatus takeWaiting(int fd, TrajectoryRecord& record);

  // Waits until at least one whole record has arrived on `fd`, then returns
  // as takeWaiting does. Waits in short slices and asks `keep_waiting`
  // between them, so a silent server never blocks shutdown.
  ReadStatus readOnce(int fd, TrajectoryRecord& record, const boost::function<bool()>& keep_waiting);

  // Records a failed system call as "msg: <the system's text for errno>", the
  // line perror would print.
  void error(const char* msg);
  // The last failure, empty while there was none.
  const std::string& failure() const
  {
    return failure_;
  }

  int port;

private:
  // 1 when `fd` has bytes (or an end, or an error) to read within
  // `timeout_ms`, 0 after the timeout or an interrupted wait, -1 (failure()
  // set) when the wait failed.
  int readable(int fd, int timeout_ms);
  // Takes `n` bytes that followed the partial record: the newest record they
  // complete goes to `newest`, what is left of a record to the partial one.
  void absorb(const unsigned char* bytes, std::size_t n, unsigned char* newest, bool& complete);

  // The start of a record whose rest has not arrived yet.
  unsigned char partial_[kTrajectoryRecordBytes];
  std::size_t partialSize_ = 0;
  std::string failure_;
};

#endif  // ZYR_COLLISION_AVOIDANCE_TRAJECTORY_TCP_INTERFACE_H
