// A TCP server on the loopback interface, run inside a test or benchmark so
// that it controls every byte on the wire, such as the state server's side of
// state_bridge's connection (its callers know the port).
#ifndef ZYR_TEST_SUPPORT_LOOPBACK_SERVER_H
#define ZYR_TEST_SUPPORT_LOOPBACK_SERVER_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

namespace test_support
{
// Listens on 127.0.0.1:`port` (0: a free port the system picks) and serves
// one client at a time.
class LoopbackServer
{
public:
  explicit LoopbackServer(uint16_t port)
  {
    listen_ = socket(AF_INET, SOCK_STREAM, 0);
    const int yes = 1;
    setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    socklen_t length = sizeof address;
    listening_ = listen_ >= 0 && bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                 listen(listen_, 16) == 0 && getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    port_ = ntohs(address.sin_port);
  }
  ~LoopbackServer()
  {
    closeClient();
    if (listen_ >= 0)
      close(listen_);
  }
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  bool listening() const
  {
    return listening_;
  }
  uint16_t port() const
  {
    return port_;
  }

  // Waits up to `seconds` for a client and takes it, replacing the previous
  // one. Small writes go out at once (no Nagle delay).
  bool acceptClient(double seconds)
  {
    pollfd p = {listen_, POLLIN, 0};
    if (!listening_ || ::poll(&p, 1, static_cast<int>(seconds * 1000)) != 1)
      return false;
    closeClient();
    client_ = accept(listen_, nullptr, nullptr);
    const int yes = 1;
    setsockopt(client_, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    return client_ >= 0;
  }

  // Sends all of `bytes`; false if the connection failed first.
  bool send(const std::string& bytes)
  {
    std::size_t done = 0;
    while (done < bytes.size())
    {
      const ssize_t n = ::send(client_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0)
        return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  // Sends `bytes` every `period` seconds from a thread, as a server at
  // 1 / period Hz would, until stopStreaming().
  void startStreaming(const std::string& bytes, double period = 0.01)
  {
    stopStreaming();
    streaming_ = true;
    streamer_ = std::thread(
        [this, bytes, period]
        {
          while (streaming_)
          {
            send(bytes);
            std::this_thread::sleep_for(std::chrono::duration<double>(period));
          }
        });
  }
  void stopStreaming()
  {
    streaming_ = false;
    if (streamer_.joinable())
      streamer_.join();
  }

  // Everything the client has written so far.
  std::string received()
  {
    char buffer[256];
    ssize_t n;
    while (client_ >= 0 && (n = recv(client_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
      received_.append(buffer, static_cast<std::size_t>(n));
    return received_;
  }

  // Ends the connection with a reset rather than an orderly close, as the
  // system does for a server that has crashed: the client's next read fails.
  void resetClient()
  {
    stopStreaming();
    if (client_ >= 0)
    {
      const linger abort = {1, 0};
      setsockopt(client_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    closeClient();
  }

  void closeClient()
  {
    stopStreaming();
    if (client_ >= 0)
    {
      close(client_);
      client_ = -1;
    }
    received_.clear();
  }

private:
  int listen_ = -1;
  bool listening_ = false;
  uint16_t port_ = 0;
  int client_ = -1;
  std::atomic<bool> streaming_{false};
  std::thread streamer_;
  std::string received_;
};
}  // namespace test_support

#endif  // ZYR_TEST_SUPPORT_LOOPBACK_SERVER_H
