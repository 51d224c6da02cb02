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
    ros::shutdown();
    std::exit(EXIT_FAILURE);
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

TrajectoryROSInterface::ReadStatus TrajectoryROSInterface::readOnce(int fd, TrajectoryRecord& record,
                                                                    const boost::function<bool()>& keep_waiting)
{
  unsigned char bytes[kTrajectoryRecordBytes];
  std::size_t received = 0;
  while (received < sizeof bytes)
  {
    if (!keep_waiting())
    {
      return STOPPED;
    }
    pollfd wait_for = {fd, POLLIN, 0};
    const int ready = poll(&wait_for, 1, kWaitSliceMs);
    if (ready < 0)
    {
      if (errno == EINTR)
      {
        continue;
      }
      error("ERROR reading from socket");
    }
    if (ready == 0)
    {
      continue;
    }
    // Never ask for more than the rest of this record: the next one stays in
    // the socket for the next cycle.
    const ssize_t n = read(fd, bytes + received, sizeof bytes - received);
    if (n < 0)
    {
      if (errno == EINTR || errno == EAGAIN)
      {
        continue;
      }
      error("ERROR reading from socket");
    }
    if (n == 0)
    {
      return CONNECTION_CLOSED;
    }
    received += static_cast<std::size_t>(n);
  }
  record = decodeTrajectoryRecord(bytes);
  return RECORD_READ;
}

TrajectoryROSInterface::ReadStatus TrajectoryROSInterface::readOnce(int fd, TrajectoryRecord& record)
{
  return readOnce(fd, record, &ros::ok);
}

void TrajectoryROSInterface::error(const char* msg)
{
  std::perror(msg);
  // exit() destroys roscpp's globals; its own threads must be stopped first,
  // or they may touch them on the way out and the process dies by a signal
  // instead of exiting with a failure status.
  ros::shutdown();
  std::exit(EXIT_FAILURE);
}
