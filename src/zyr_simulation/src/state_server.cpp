// state_server: stand-in for the vehicle-state server that state_bridge reads.
// Listens on 127.0.0.1 at the state server's port, streams 84-byte state
// records to one client at a time, and obeys the client's "Pause" and "Resume".
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <ros/ros.h>
#include <std_msgs/Bool.h>
#include <std_msgs/String.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zyr_simulation/StateRecord.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "zyr_collision_avoidance/trajectory_record.h"
#include "zyr_simulation/state_stream.h"

namespace zyr_simulation
{
namespace
{
const uint16_t kPort = kStateServerPort;
const double kMaxRate = 100.0;
// A client that stops reading gets at most this many records queued; beyond
// that the stream waits instead of growing without bound.
const std::size_t kMaxBacklogRecords = 64;
typedef std::chrono::steady_clock Clock;
}  // namespace

class StateServer
{
public:
  explicit StateServer(ros::NodeHandle& pnh);
  ~StateServer();
  void run();

private:
  enum Source
  {
    PROFILE,
    CSV,
    TOPIC
  };

  void waitForActivity(Clock::time_point until);
  void acceptClient();
  void readClient();
  void handleBytes(const char* data, std::size_t size);
  void tick();
  bool nextRecord(StateRecord& record);
  void queue(const StateRecord& record);
  void flush();
  void finishClient();
  void dropClient(const std::string& why);
  void setPaused(bool paused);
  void publishBool(ros::Publisher& pub, bool value);
  void holdCallback(const std_msgs::BoolConstPtr& msg);
  void recordCallback(const StateRecordConstPtr& msg);

  Source source_;
  std::unique_ptr<ScriptedProfile> profile_;
  std::vector<StateRecord> csv_;
  bool loop_;
  uint64_t count_;
  bool close_at_end_;
  Clock::duration period_;

  ros::Publisher paused_pub_, connected_pub_, sent_pub_, received_pub_, command_pub_;
  ros::Subscriber hold_sub_, record_sub_;
  std::ofstream received_file_;

  int listen_fd_;
  int client_fd_;
  bool client_closing_;  // our end is shut for writing; reading on until the client leaves
  std::string out_;
  CommandParser parser_;
  bool paused_;
  bool held_;
  uint64_t produced_;
  bool have_last_;
  StateRecord last_;
  bool have_live_;
  StateRecord live_;
};

StateServer::StateServer(ros::NodeHandle& pnh)
    : loop_(false),
      count_(0),
      close_at_end_(false),
      listen_fd_(-1),
      client_fd_(-1),
      client_closing_(false),
      paused_(false),
      held_(false),
      produced_(0),
      have_last_(false),
      have_live_(false)
{
  double rate = kMaxRate;
  pnh.param("rate", rate, kMaxRate);
  if (!(rate > 0.0))
  {
    throw std::runtime_error("~rate must be above 0 Hz");
  }
  if (rate > kMaxRate)
  {
    ROS_WARN("state_server: ~rate %.1f Hz is above the bridge's 100 Hz, using 100 Hz", rate);
    rate = kMaxRate;
  }
  period_ = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));

  std::string source = pnh.param<std::string>("source", "profile");
  if (source == "profile")
  {
    source_ = PROFILE;
    profile_.reset(new ScriptedProfile(pnh.param<std::string>("profile", "cruise"), pnh.param("speed", 2.0),
                                       pnh.param("heading", 0.0)));
  }
  else if (source == "csv")
  {
    source_ = CSV;
    csv_ = loadStateRecordCsv(pnh.param<std::string>("csv_file", ""));
    pnh.param("loop", loop_, false);
  }
  else if (source == "topic")
  {
    source_ = TOPIC;
  }
  else
  {
    throw std::runtime_error("unknown ~source '" + source + "' (known: profile, csv, topic)");
  }
  int count = 0;
  pnh.param("count", count, 0);
  count_ = count > 0 ? static_cast<uint64_t>(count) : 0;
  pnh.param("close_at_end", close_at_end_, false);
  pnh.param("start_held", held_, false);
  const std::string received_file = pnh.param<std::string>("received_file", "");
  if (!received_file.empty())
  {
    received_file_.open(received_file.c_str(), std::ios::binary | std::ios::trunc);
    if (!received_file_)
    {
      throw std::runtime_error("cannot write ~received_file " + received_file);
    }
  }

  paused_pub_ = pnh.advertise<std_msgs::Bool>("paused", 1, true);
  connected_pub_ = pnh.advertise<std_msgs::Bool>("connected", 1, true);
  sent_pub_ = pnh.advertise<StateRecord>("sent", 1000);
  received_pub_ = pnh.advertise<std_msgs::String>("received", 1000);
  command_pub_ = pnh.advertise<std_msgs::String>("command", 100);
  hold_sub_ = pnh.subscribe("hold", 10, &StateServer::holdCallback, this);
  if (source_ == TOPIC)
  {
    record_sub_ = pnh.subscribe("record", 10, &StateServer::recordCallback, this);
  }

  listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
  if (listen_fd_ < 0)
  {
    throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  }
  const int yes = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(kPort);
  // The port is fixed, so another graph on this machine (a test, a demo) may hold it for a while; ~bind_wait
  // seconds of patience let a launch wait its turn instead of failing.
  double bind_wait = 0.0;
  pnh.param("bind_wait", bind_wait, 0.0);
  const ros::WallTime give_up = ros::WallTime::now() + ros::WallDuration(std::max(0.0, bind_wait));
  bool warned = false;
  while (bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0)
  {
    const int error = errno;
    if (error != EADDRINUSE || ros::WallTime::now() >= give_up || !ros::ok())
    {
      throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(kPort) + ": " + std::strerror(error));
    }
    if (!warned)
    {
      ROS_WARN("state_server: 127.0.0.1:%u is in use, waiting up to %.0f s for it", kPort, bind_wait);
      warned = true;
    }
    ros::WallDuration(0.2).sleep();
  }
  if (listen(listen_fd_, 4) < 0)
  {
    throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(kPort) + ": " + std::strerror(errno));
  }
  // Published once listening, so a launcher can wait for it before starting the client.
  publishBool(paused_pub_, false);
  publishBool(connected_pub_, false);
  ROS_INFO("state_server: listening on 127.0.0.1:%u at %.1f Hz (source %s)", kPort, rate, source.c_str());
}

StateServer::~StateServer()
{
  if (client_fd_ >= 0)
  {
    close(client_fd_);
  }
  if (listen_fd_ >= 0)
  {
    close(listen_fd_);
  }
}

void StateServer::run()
{
  Clock::time_point next_tick = Clock::now();
  while (ros::ok())
  {
    waitForActivity(next_tick);
    ros::spinOnce();
    const Clock::time_point now = Clock::now();
    if (now >= next_tick)
    {
      next_tick += period_;
      if (now - next_tick > period_)
      {
        next_tick = now + period_;  // fell behind: resume the rhythm rather than send a burst
      }
      tick();
    }
    flush();
  }
}

void StateServer::waitForActivity(Clock::time_point until)
{
  // Wake at least every 10 ms so ROS callbacks (live records, hold) stay timely.
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
  const int timeout_ms = static_cast<int>(std::max<long long>(0, std::min<long long>(left, 10)));
  pollfd fd;
  fd.fd = client_fd_ >= 0 ? client_fd_ : listen_fd_;
  fd.events = POLLIN;
  fd.revents = 0;
  if (client_fd_ >= 0 && !out_.empty() && !client_closing_)
  {
    fd.events |= POLLOUT;
  }
  if (poll(&fd, 1, timeout_ms) <= 0)
  {
    return;
  }
  if (client_fd_ < 0)
  {
    acceptClient();
  }
  else if (fd.revents & (POLLIN | POLLHUP | POLLERR))
  {
    readClient();
  }
}

void StateServer::acceptClient()
{
  const int fd = accept(listen_fd_, NULL, NULL);
  if (fd < 0)
  {
    return;
  }
  const int yes = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);  // a record goes out the moment it is due
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  client_fd_ = fd;
  client_closing_ = false;
  out_.clear();
  parser_.reset();
  produced_ = 0;
  have_last_ = false;
  setPaused(false);  // a new client starts unpaused, so the profile starts afresh
  publishBool(connected_pub_, true);
  ROS_INFO("state_server: client connected");
}

void StateServer::readClient()
{
  char buffer[4096];
  while (client_fd_ >= 0)
  {
    const ssize_t n = recv(client_fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0)
    {
      handleBytes(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
    {
      return;
    }
    dropClient(n == 0 ? "client closed the connection" : std::string("read failed: ") + std::strerror(errno));
  }
}

void StateServer::handleBytes(const char* data, std::size_t size)
{
  std_msgs::String raw;
  raw.data.assign(data, size);
  received_pub_.publish(raw);
  if (received_file_.is_open())
  {
    received_file_.write(data, static_cast<std::streamsize>(size));
    received_file_.flush();
  }
  std::size_t skipped = 0;
  const std::vector<CommandParser::Command> commands = parser_.feed(data, size, skipped);
  if (skipped > 0)
  {
    ROS_WARN("state_server: skipped %zu bytes that start no command", skipped);
  }
  for (CommandParser::Command command : commands)
  {
    std_msgs::String text;
    text.data = command == CommandParser::PAUSE ? "Pause" : "Resume";
    command_pub_.publish(text);
    if ((command == CommandParser::PAUSE) == paused_)
    {
      ROS_WARN("state_server: \"%s\" while already %s", text.data.c_str(), paused_ ? "paused" : "running");
    }
    setPaused(command == CommandParser::PAUSE);
  }
}

void StateServer::tick()
{
  if (client_fd_ < 0 || client_closing_ || held_ || out_.size() >= kMaxBacklogRecords * kStateRecordBytes)
  {
    return;
  }
  StateRecord record;
  if (nextRecord(record))
  {
    queue(record);
  }
  else if (close_at_end_ && out_.empty())
  {
    finishClient();
  }
}

bool StateServer::nextRecord(StateRecord& record)
{
  if (source_ == TOPIC)
  {
    // Paused or not, the live feed goes on: the simulator behind it freezes itself.
    record = live_;
    return have_live_;
  }
  if (paused_)
  {
    // Keep sending, or the client, which handles its status messages between
    // two records, could never send "Resume". The vehicle holds its position.
    record = heldStill(last_);
    return have_last_;
  }
  const bool exhausted = (count_ > 0 && produced_ >= count_) || (source_ == CSV && !loop_ && produced_ >= csv_.size());
  if (exhausted)
  {
    return false;
  }
  record = source_ == PROFILE ? profile_->at(produced_) : csv_[produced_ % csv_.size()];
  ++produced_;
  last_ = record;
  have_last_ = true;
  return true;
}

void StateServer::queue(const StateRecord& record)
{
  const StateRecordBytes bytes = encodeStateRecord(record);
  out_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  sent_pub_.publish(record);
}

void StateServer::flush()
{
  while (client_fd_ >= 0 && !client_closing_ && !out_.empty())
  {
    const ssize_t n = send(client_fd_, out_.data(), out_.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0)
    {
      out_.erase(0, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
    {
      return;  // the rest, whole records included, goes out when the client reads
    }
    dropClient(std::string("send failed: ") + std::strerror(errno));
  }
}

void StateServer::finishClient()
{
  // Half-close: the client sees the end of the stream, and what it still sends
  // ("Pause" after the end, say) is read and recorded instead of being answered
  // with a reset.
  shutdown(client_fd_, SHUT_WR);
  client_closing_ = true;
  ROS_INFO("state_server: end of the records, closed the stream");
}

void StateServer::dropClient(const std::string& why)
{
  ROS_INFO("state_server: %s", why.c_str());
  close(client_fd_);
  client_fd_ = -1;
  client_closing_ = false;
  out_.clear();
  publishBool(connected_pub_, false);
}

void StateServer::setPaused(bool paused)
{
  if (paused != paused_)
  {
    paused_ = paused;
    publishBool(paused_pub_, paused);
  }
}

void StateServer::publishBool(ros::Publisher& pub, bool value)
{
  std_msgs::Bool msg;
  msg.data = value;
  pub.publish(msg);
}

void StateServer::holdCallback(const std_msgs::BoolConstPtr& msg)
{
  held_ = msg->data;
}

void StateServer::recordCallback(const StateRecordConstPtr& msg)
{
  live_ = *msg;
  have_live_ = true;
}
}  // namespace zyr_simulation

int main(int argc, char** argv)
{
  ros::init(argc, argv, "state_server");
  ros::NodeHandle pnh("~");
  try
  {
    zyr_simulation::StateServer server(pnh);
    server.run();
  }
  catch (const std::exception& e)
  {
    ROS_FATAL("state_server: %s", e.what());
    return 1;
  }
  return 0;
}
