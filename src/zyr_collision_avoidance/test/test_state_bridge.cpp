// state_bridge as a process, against a TCP server run inside the test that
// controls every byte on the wire. Each case starts a fresh bridge.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <ros/ros.h>
#include <rosgraph_msgs/Log.h>
#include <signal.h>
#include <std_msgs/UInt8.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zyr_sdk/AttitudeQuaternion.h>
#include <zyr_sdk/RCChannels.h>
#include <zyr_sdk/Velocity.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace
{
typedef std::chrono::steady_clock Clock;

bool waitFor(const std::function<bool()>& done, double seconds)
{
  const Clock::time_point end =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  while (!done())
  {
    if (Clock::now() > end)
    {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void pause(double seconds)
{
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

// One record in wire form, written here independently of the bridge's decoder.
struct Record
{
  double vx = 0, vy = 0, vz = 0;
  int32_t health_flag = 1;
  double q0 = 1, q1 = 0, q2 = 0, q3 = 0;
  double pitch = 0, roll = 0, throttle = 0;

  std::string bytes() const
  {
    unsigned char b[84];
    const double doubles[10] = {vx, vy, vz, q0, q1, q2, q3, pitch, roll, throttle};
    const std::size_t offsets[10] = {0, 8, 16, 28, 36, 44, 52, 60, 68, 76};
    for (int i = 0; i < 10; ++i)
    {
      uint64_t bits;
      std::memcpy(&bits, &doubles[i], 8);
      for (int k = 0; k < 8; ++k)
      {
        b[offsets[i] + k] = static_cast<unsigned char>(bits >> (8 * k));
      }
    }
    const uint32_t h = static_cast<uint32_t>(health_flag);
    for (int k = 0; k < 4; ++k)
    {
      b[24 + k] = static_cast<unsigned char>(h >> (8 * k));
    }
    return std::string(reinterpret_cast<char*>(b), sizeof b);
  }
};

Record withVx(double vx)
{
  Record r;
  r.vx = vx;
  return r;
}

// The state server's side of the connection.
class RecordServer
{
public:
  RecordServer() : client_(-1), streaming_(false)
  {
    listen_ = socket(AF_INET, SOCK_STREAM, 0);
    const int yes = 1;
    setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(28770);
    listening_ = bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(listen_, 1) == 0;
  }
  ~RecordServer()
  {
    stopStreaming();
    closeClient();
    close(listen_);
  }
  bool listening() const
  {
    return listening_;
  }
  bool acceptClient(double seconds)
  {
    pollfd p = {listen_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(seconds * 1000)) != 1)
    {
      return false;
    }
    client_ = accept(listen_, NULL, NULL);
    return client_ >= 0;
  }
  void send(const std::string& bytes)
  {
    std::size_t done = 0;
    while (done < bytes.size())
    {
      const ssize_t n = ::send(client_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0)
      {
        ADD_FAILURE() << "send to the bridge failed: " << std::strerror(errno);
        return;
      }
      done += static_cast<std::size_t>(n);
    }
  }
  // Sends `bytes` every 10 ms from a thread, as a server at 100 Hz would.
  void startStreaming(const std::string& bytes)
  {
    streaming_ = true;
    streamer_ = std::thread(
        [this, bytes]()
        {
          while (streaming_)
          {
            ::send(client_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
          }
        });
  }
  void stopStreaming()
  {
    streaming_ = false;
    if (streamer_.joinable())
    {
      streamer_.join();
    }
  }
  // Everything the bridge has written so far.
  std::string received()
  {
    char buffer[256];
    ssize_t n;
    while (client_ >= 0 && (n = recv(client_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
    {
      received_.append(buffer, static_cast<std::size_t>(n));
    }
    return received_;
  }
  void closeClient()
  {
    if (client_ >= 0)
    {
      close(client_);
      client_ = -1;
    }
  }

private:
  int listen_;
  bool listening_;
  int client_;
  std::atomic<bool> streaming_;
  std::thread streamer_;
  std::string received_;
};

// A state_bridge process, interrupted and reaped when it goes out of scope.
class Bridge
{
public:
  explicit Bridge(bool capture_stderr = false) : err_(-1), status_(0), exited_(false)
  {
    int pipe_fds[2] = {-1, -1};
    if (capture_stderr && pipe(pipe_fds) != 0)
    {
      ADD_FAILURE() << "pipe failed";
    }
    pid_ = fork();
    if (pid_ == 0)
    {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (capture_stderr)
      {
        dup2(pipe_fds[1], 2);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
      }
      execl(STATE_BRIDGE_BIN, STATE_BRIDGE_BIN, static_cast<char*>(NULL));
      _exit(127);
    }
    if (capture_stderr)
    {
      close(pipe_fds[1]);
      err_ = pipe_fds[0];
    }
  }
  ~Bridge()
  {
    if (!exited_)
    {
      interrupt();
      if (!waitExit(10.0))
      {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
      }
    }
    if (err_ >= 0)
    {
      close(err_);
    }
  }
  void interrupt()
  {
    kill(pid_, SIGINT);
  }
  bool running()
  {
    return !waitExit(0.0);
  }
  bool waitExit(double seconds)
  {
    return exited_ || waitFor(
                          [this]()
                          {
                            if (waitpid(pid_, &status_, WNOHANG) == pid_)
                            {
                              exited_ = true;
                            }
                            return exited_;
                          },
                          seconds);
  }
  int status() const
  {
    return status_;
  }
  std::string stderrText()
  {
    std::string text;
    char buffer[512];
    ssize_t n;
    while ((n = read(err_, buffer, sizeof buffer)) > 0)
    {
      text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
  }

private:
  pid_t pid_;
  int err_;
  int status_;
  bool exited_;
};

// What the bridge published, collected on the spinner thread.
struct Observed
{
  std::mutex mutex;
  std::vector<zyr_sdk::Velocity> velocities;
  std::vector<zyr_sdk::AttitudeQuaternion> attitudes;
  std::vector<zyr_sdk::RCChannels> rcs;
  std::vector<std::string> infos;   // Info lines of the bridge, in order
  std::vector<std::string> errors;  // Error lines of the bridge
};
Observed observed;

template <class T>
std::size_t countOf(const std::vector<T>& v)
{
  std::lock_guard<std::mutex> lock(observed.mutex);
  return v.size();
}

void onVelocity(const zyr_sdk::Velocity& m)
{
  std::lock_guard<std::mutex> lock(observed.mutex);
  observed.velocities.push_back(m);
}
void onAttitude(const zyr_sdk::AttitudeQuaternion& m)
{
  std::lock_guard<std::mutex> lock(observed.mutex);
  observed.attitudes.push_back(m);
}
void onRc(const zyr_sdk::RCChannels& m)
{
  std::lock_guard<std::mutex> lock(observed.mutex);
  observed.rcs.push_back(m);
}
void onLog(const rosgraph_msgs::Log& m)
{
  if (m.name != "/state_bridge")
  {
    return;
  }
  std::lock_guard<std::mutex> lock(observed.mutex);
  if (m.level == rosgraph_msgs::Log::INFO)
  {
    observed.infos.push_back(m.msg);
  }
  else if (m.level == rosgraph_msgs::Log::ERROR)
  {
    observed.errors.push_back(m.msg);
  }
}

ros::Subscriber velocity_sub, attitude_sub, rc_sub, log_sub;
ros::Publisher status_pub;
uint32_t log_publishers_without_bridge = 0;

bool bridgeLinked()
{
  return velocity_sub.getNumPublishers() > 0 && attitude_sub.getNumPublishers() > 0 && rc_sub.getNumPublishers() > 0 &&
         status_pub.getNumSubscribers() > 0 && log_sub.getNumPublishers() > log_publishers_without_bridge;
}

bool bridgeUnlinked()
{
  return velocity_sub.getNumPublishers() == 0 && status_pub.getNumSubscribers() == 0 &&
         log_sub.getNumPublishers() == log_publishers_without_bridge;
}

void publishStatus(uint8_t value)
{
  std_msgs::UInt8 m;
  m.data = value;
  status_pub.publish(m);
}

class StateBridge : public ::testing::Test
{
protected:
  void SetUp() override
  {
    ASSERT_TRUE(waitFor(bridgeUnlinked, 10.0)) << "a bridge of an earlier case is still linked";
    std::lock_guard<std::mutex> lock(observed.mutex);
    observed.velocities.clear();
    observed.attitudes.clear();
    observed.rcs.clear();
    observed.infos.clear();
    observed.errors.clear();
  }
  void TearDown() override
  {
    waitFor(bridgeUnlinked, 10.0);
  }

  // Starts the server and a bridge and waits until the bridge is connected to
  // both the server and every topic of the test.
  void connect(RecordServer& server, Bridge& bridge)
  {
    ASSERT_TRUE(server.listening()) << "port 28770 is taken";
    ASSERT_TRUE(server.acceptClient(20.0)) << "the bridge did not connect";
    ASSERT_TRUE(waitFor(bridgeLinked, 20.0)) << "the bridge's topics did not link up";
    ASSERT_TRUE(bridge.running());
  }
};

TEST_F(StateBridge, WithoutAServerItPrintsTheConnectErrorAndExitsWithAFailureStatus)
{
  Bridge bridge(true);
  ASSERT_TRUE(bridge.waitExit(30.0));
  ASSERT_TRUE(WIFEXITED(bridge.status()));
  EXPECT_NE(0, WEXITSTATUS(bridge.status()));
  EXPECT_NE(std::string::npos, bridge.stderrText().find("ERROR connecting: Connection refused\n"));
}

TEST_F(StateBridge, StatusSequenceLogsEveryCaseAndSendsPauseResumePause)
{
  RecordServer server;
  Bridge bridge;
  connect(server, bridge);
  server.startStreaming(Record().bytes());
  ASSERT_TRUE(waitFor([]() { return countOf(observed.velocities) > 0; }, 10.0));

  for (uint8_t value : {0, 1, 1, 0, 0, 7, 1})
  {
    publishStatus(value);
  }
  const std::vector<std::string> expected = {"Entered Callback", "Received 0, but not paused",
                                             "Entered Callback", "Received 1",
                                             "Entered Callback", "Received 1, but already paused",
                                             "Entered Callback", "Received 0",
                                             "Entered Callback", "Received 0, but not paused",
                                             "Entered Callback", "Bad value entered on pause topic.",
                                             "Entered Callback", "Received 1"};
  ASSERT_TRUE(waitFor([&]() { return countOf(observed.infos) >= expected.size(); }, 10.0));
  {
    std::lock_guard<std::mutex> lock(observed.mutex);
    EXPECT_EQ(expected, observed.infos);
  }
  ASSERT_TRUE(waitFor([&]() { return server.received().size() >= 16; }, 10.0));
  pause(0.3);  // room for a stray extra write to show up
  EXPECT_EQ("PauseResumePause", server.received());
}

TEST_F(StateBridge, FirstCyclePublishesVelocityAndAttitudeAndTheSecondAlsoTheSticks)
{
  RecordServer server;
  Bridge bridge;
  connect(server, bridge);

  Record first;
  first.vx = 3.0;
  first.vy = 4.0;
  first.vz = 0.1;
  first.health_flag = 257;
  first.q0 = 0.0;  // squared norm 0: logged
  first.pitch = 0.5;
  first.roll = -0.25;
  server.send(first.bytes());
  ASSERT_TRUE(waitFor([]() { return countOf(observed.attitudes) >= 1; }, 10.0));

  Record second;
  second.health_flag = 0;
  second.q0 = 0.5;
  second.q1 = 0.5;
  second.q2 = -0.5;
  second.q3 = 0.5;
  second.pitch = 1200.0;
  second.roll = -3400.0;
  second.throttle = 5600.0;
  server.send(second.bytes());
  ASSERT_TRUE(waitFor([]() { return countOf(observed.rcs) >= 1; }, 10.0));
  ASSERT_TRUE(waitFor([]() { return countOf(observed.attitudes) >= 2; }, 10.0));
  pause(0.2);

  std::lock_guard<std::mutex> lock(observed.mutex);
  ASSERT_EQ(2u, observed.velocities.size());
  ASSERT_EQ(2u, observed.attitudes.size());
  ASSERT_EQ(1u, observed.rcs.size());
  const zyr_sdk::Velocity& v = observed.velocities[0];
  EXPECT_EQ(3.0f, v.vx);
  EXPECT_EQ(4.0f, v.vy);
  EXPECT_EQ(0.1f, v.vz);
  EXPECT_EQ(1, v.health_flag);
  EXPECT_EQ(0, observed.velocities[1].health_flag);
  EXPECT_EQ(0.0f, observed.attitudes[0].q0);
  const zyr_sdk::AttitudeQuaternion& q = observed.attitudes[1];
  EXPECT_EQ(0.5f, q.q0);
  EXPECT_EQ(0.5f, q.q1);
  EXPECT_EQ(-0.5f, q.q2);
  EXPECT_EQ(0.5f, q.q3);
  EXPECT_EQ(0.0f, q.wx);
  const zyr_sdk::RCChannels& rc = observed.rcs[0];
  EXPECT_EQ(1200.0f, rc.pitch);
  EXPECT_EQ(-3400.0f, rc.roll);
  EXPECT_EQ(5600.0f, rc.throttle);
  EXPECT_EQ(0.0f, rc.yaw);
  EXPECT_LE(observed.velocities[1].header.stamp, q.header.stamp);
  EXPECT_LE(q.header.stamp, rc.header.stamp);
  EXPECT_NE(ros::Time(), v.header.stamp);
  // Only the first record's quaternion is logged: 25.01 = 3² + 4² + 0.1² in single precision.
  EXPECT_EQ(std::vector<std::string>{"q:0.000000, v:25.010000, ux:0.500000, uy:-0.250000"}, observed.infos);
}

TEST_F(StateBridge, RecordSentInTwoPiecesArrivesWholeAndTheNextIsNotShifted)
{
  RecordServer server;
  Bridge bridge;
  connect(server, bridge);
  const std::string first = withVx(1.0).bytes();
  server.send(first.substr(0, 40));
  pause(0.2);
  EXPECT_EQ(0u, countOf(observed.velocities));
  server.send(first.substr(40));
  server.send(withVx(2.0).bytes());
  ASSERT_TRUE(waitFor([]() { return countOf(observed.velocities) >= 2; }, 10.0));
  pause(0.2);
  std::lock_guard<std::mutex> lock(observed.mutex);
  ASSERT_EQ(2u, observed.velocities.size());
  EXPECT_EQ(1.0f, observed.velocities[0].vx);
  EXPECT_EQ(1, observed.velocities[0].health_flag);
  EXPECT_EQ(2.0f, observed.velocities[1].vx);
  EXPECT_EQ(1, observed.velocities[1].health_flag);
}

TEST_F(StateBridge, TwoRecordsSentTogetherBothArriveInOrder)
{
  RecordServer server;
  Bridge bridge;
  connect(server, bridge);
  server.send(withVx(1.0).bytes() + withVx(2.0).bytes());
  ASSERT_TRUE(waitFor([]() { return countOf(observed.velocities) >= 2; }, 10.0));
  pause(0.2);
  std::lock_guard<std::mutex> lock(observed.mutex);
  ASSERT_EQ(2u, observed.velocities.size());
  EXPECT_EQ(1.0f, observed.velocities[0].vx);
  EXPECT_EQ(2.0f, observed.velocities[1].vx);
  EXPECT_EQ(2u, observed.attitudes.size());
  EXPECT_EQ(1u, observed.rcs.size());
}

TEST_F(StateBridge, AfterTheServerClosesNothingIsPublishedAndStatusChangesAreSurvived)
{
  RecordServer server;
  Bridge bridge;
  connect(server, bridge);
  server.send(withVx(1.0).bytes() + withVx(2.0).bytes() + withVx(3.0).bytes().substr(0, 40));
  ASSERT_TRUE(waitFor([]() { return countOf(observed.velocities) >= 2; }, 10.0));
  server.closeClient();  // mid-record: the 40 bytes must not become a message
  ASSERT_TRUE(waitFor([]() { return countOf(observed.errors) >= 1; }, 10.0));

  // Each change writes to the dead connection; the second write would raise SIGPIPE.
  for (uint8_t value : {1, 0, 1})
  {
    publishStatus(value);
  }
  ASSERT_TRUE(waitFor([]() { return countOf(observed.infos) >= 6; }, 10.0));
  pause(0.5);
  EXPECT_TRUE(bridge.running());
  std::lock_guard<std::mutex> lock(observed.mutex);
  EXPECT_EQ(2u, observed.velocities.size());
  EXPECT_EQ(2u, observed.attitudes.size());
  EXPECT_EQ(1u, observed.rcs.size());
  EXPECT_EQ(1u, observed.errors.size());
  EXPECT_EQ((std::vector<std::string>{"Entered Callback", "Received 1", "Entered Callback", "Received 0",
                                      "Entered Callback", "Received 1"}),
            observed.infos);
}

TEST_F(StateBridge, InterruptEndsTheBridgeWithinASecondWhileTheServerIsSilent)
{
  RecordServer server;
  Bridge bridge;
  connect(server, bridge);
  pause(0.3);  // well inside the wait for the first record
  bridge.interrupt();
  ASSERT_TRUE(bridge.waitExit(1.0));
  ASSERT_TRUE(WIFEXITED(bridge.status()));
  EXPECT_EQ(0, WEXITSTATUS(bridge.status()));
}
}  // namespace

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  ros::init(argc, argv, "test_state_bridge");
  ros::NodeHandle nh;
  velocity_sub = nh.subscribe("/zyr_sdk/velocity", 1000, onVelocity);
  attitude_sub = nh.subscribe("/zyr_sdk/attitude_quaternion", 1000, onAttitude);
  rc_sub = nh.subscribe("/zyr_sdk/rc_channels", 1000, onRc);
  log_sub = nh.subscribe("/rosout", 1000, onLog);
  status_pub = nh.advertise<std_msgs::UInt8>("/collision_info_msg", 1000);
  ros::AsyncSpinner spinner(1);
  spinner.start();
  pause(1.0);  // let the links to the test's own log publisher settle
  log_publishers_without_bridge = log_sub.getNumPublishers();
  const int result = RUN_ALL_TESTS();
  spinner.stop();
  ros::shutdown();
  return result;
}
