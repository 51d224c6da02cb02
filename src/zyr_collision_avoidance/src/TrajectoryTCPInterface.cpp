#include "zyr_collision_avoidance/TrajectoryTCPInterface.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <ros/init.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{
// How long one wait for record bytes lasts before the caller is asked whether
// to go on: short enough that an interrupt ends the bridge promptly, long
// enough to cost nothing while the server is silent.
const int kWaitSliceMs = 50;

// One read takes at most this much; a larger backlog takes several reads
// within the same call.
const std::size_t kChunkBytes = 64 * kTrajectoryRecordBytes;
// A server that keeps the socket full faster than it can be emptied must not
// hold one call for ever: after this many reads the newest record so far is
// returned and the rest waits for the next call.
const int kMaxReadsPerCall = 256;

// exit() destroys roscpp's globals; its own threads must be stopped first, or
// they may touch them on the way out and the process dies by a signal instead
// of exiting with a failure status. Without ROS (a plain test) there is
// nothing to stop.
[[noreturn]] void stopRosAndExit()
{
  if (ros::isInitialized())
    ros::shutdown();
  std::exit(EXIT_FAILURE);
}
}  // namespace

TrajectoryROSInterface::TrajectoryROSInterface(int port) : port(port) {}

int TrajectoryROSInterface::setupSubscriber()
{
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0)
  {
    error("ERROR opening socket");
  }
  hostent* server = gethostbyname("localhost");
  if (server == NULL || server->h_addr_list[0] == NULL)
  {
    std::fprintf(stderr, "ERROR, no such host\n");
    stopRosAndExit();
  }
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  // An entry longer than an IPv4 address must not overrun the field.
  std::memcpy(&address.sin_addr.s_addr, server->h_addr_list[0],
              std::min<std::size_t>(server->h_length, sizeof address.sin_addr.s_addr));
  address.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0)
  {
    error("ERROR connecting");
  }
  return fd;
}

bool TrajectoryROSInterface::readable(int fd, int timeout_ms)
{
  pollfd wait_for = {fd, POLLIN, 0};
  const int ready = poll(&wait_for, 1, timeout_ms);
  if (ready < 0 && errno != EINTR)
  {
    error("ERROR reading from socket");
  }
  return ready > 0;
}

ssize_t TrajectoryROSInterface::readSome(int fd, unsigned char* into, std::size_t size)
{
  const ssize_t n = read(fd, into, size);
  if (n < 0 && errno != EINTR && errno != EAGAIN)
  {
    error("ERROR reading from socket");
  }
  return n;
}

void TrajectoryROSInterface::absorb(const unsigned char* bytes, std::size_t n, unsigned char* newest, bool& complete)
{
  std::size_t used = 0;
  if (partialSize_ > 0)
  {
    used = std::min(n, kTrajectoryRecordBytes - partialSize_);
    std::memcpy(partial_ + partialSize_, bytes, used);
    partialSize_ += used;
    if (partialSize_ < kTrajectoryRecordBytes)
    {
      return;
    }
    std::memcpy(newest, partial_, kTrajectoryRecordBytes);
    complete = true;
    partialSize_ = 0;
  }
  const std::size_t whole = (n - used) / kTrajectoryRecordBytes;
  if (whole > 0)
  {
    std::memcpy(newest, bytes + used + (whole - 1) * kTrajectoryRecordBytes, kTrajectoryRecordBytes);
    complete = true;
    used += whole * kTrajectoryRecordBytes;
  }
  std::memcpy(partial_, bytes + used, n - used);
  partialSize_ = n - used;
}

TrajectoryROSInterface::ReadStatus TrajectoryROSInterface::readOnce(int fd, TrajectoryRecord& record,
                                                                    const boost::function<bool()>& keep_waiting)
{
  unsigned char chunk[kChunkBytes];
  unsigned char newest[kTrajectoryRecordBytes];
  bool complete = false;
  while (!complete)
  {
    if (!keep_waiting())
    {
      return STOPPED;
    }
    if (!readable(fd, kWaitSliceMs))
    {
      continue;
    }
    const ssize_t n = readSome(fd, chunk, sizeof chunk);
    if (n == 0)
    {
      return CONNECTION_CLOSED;
    }
    if (n > 0)
    {
      absorb(chunk, static_cast<std::size_t>(n), newest, complete);
    }
  }
  // Whatever else is already waiting is newer than the record in hand. A close
  // found here is reported by the next call, after this record.
  for (int reads = 1; reads < kMaxReadsPerCall && readable(fd, 0); ++reads)
  {
    const ssize_t n = readSome(fd, chunk, sizeof chunk);
    if (n == 0)
    {
      break;
    }
    if (n > 0)
    {
      absorb(chunk, static_cast<std::size_t>(n), newest, complete);
    }
  }
  record = decodeTrajectoryRecord(newest);
  return RECORD_READ;
}

TrajectoryROSInterface::ReadStatus TrajectoryROSInterface::readOnce(int fd, TrajectoryRecord& record)
{
  return readOnce(fd, record, &ros::ok);
}

void TrajectoryROSInterface::error(const char* msg)
{
  std::perror(msg);
  stopRosAndExit();
}
