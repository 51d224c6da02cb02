#include "zyr_collision_avoidance/TrajectoryTCPInterface.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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
}  // namespace

TrajectoryROSInterface::TrajectoryROSInterface(int port) : port(port) {}

int TrajectoryROSInterface::setupSubscriber()
{
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0)
  {
    error("ERROR opening socket");
    return -1;
  }
  hostent* server = gethostbyname("localhost");
  if (server == NULL || server->h_addr_list[0] == NULL)
  {
    failure_ = "ERROR, no such host";
    close(fd);
    return -1;
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
    close(fd);
    return -1;
  }
  return fd;
}

int TrajectoryROSInterface::readable(int fd, int timeout_ms)
{
  pollfd wait_for = {fd, POLLIN, 0};
  const int ready = poll(&wait_for, 1, timeout_ms);
  if (ready < 0 && errno != EINTR)
  {
    error("ERROR reading from socket");
    return -1;
  }
  return ready > 0 ? 1 : 0;
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

TrajectoryROSInterface::ReadStatus TrajectoryROSInterface::takeWaiting(int fd, TrajectoryRecord& record)
{
  unsigned char chunk[kChunkBytes];
  unsigned char newest[kTrajectoryRecordBytes];
  bool complete = false;
  bool ended = false;
  for (int reads = 0; reads < kMaxReadsPerCall; ++reads)
  {
    const int ready = readable(fd, 0);
    if (ready < 0)
    {
      return FAILED;
    }
    if (ready == 0)
    {
      break;
    }
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0)
    {
      if (errno == EINTR)
      {
        continue;
      }
      if (errno == EAGAIN || errno == EWOULDBLOCK)
      {
        break;
      }
      error("ERROR reading from socket");
      return FAILED;
    }
    if (n == 0)
    {
      ended = true;
      break;
    }
    absorb(chunk, static_cast<std::size_t>(n), newest, complete);
    if (static_cast<std::size_t>(n) < sizeof chunk)
    {
      break;  // the socket held no more than this a moment ago
    }
  }
  if (complete)
  {
    // A close found here is reported by the next call, after this record.
    record = decodeTrajectoryRecord(newest);
    return RECORD_READ;
  }
  return ended ? CONNECTION_CLOSED : NO_RECORD;
}

TrajectoryROSInterface::ReadStatus TrajectoryROSInterface::readOnce(int fd, TrajectoryRecord& record,
                                                                    const boost::function<bool()>& keep_waiting)
{
  while (keep_waiting())
  {
    const int ready = readable(fd, kWaitSliceMs);
    if (ready < 0)
    {
      return FAILED;
    }
    if (ready > 0)
    {
      const ReadStatus status = takeWaiting(fd, record);
      if (status != NO_RECORD)
      {
        return status;
      }
    }
  }
  return STOPPED;
}

void TrajectoryROSInterface::error(const char* msg)
{
  failure_ = std::string(msg) + ": " + std::strerror(errno);
}
