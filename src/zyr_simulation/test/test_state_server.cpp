// The state server stand-in streaming to the real state_bridge: what the
// bridge publishes follows the stand-in's records, rate and pause state.
#include <gtest/gtest.h>
#include <ros/ros.h>
#include <std_msgs/Bool.h>
#include <std_msgs/String.h>
#include <std_msgs/UInt8.h>
#include <zyr_sdk/AttitudeQuaternion.h>
#include <zyr_sdk/RCChannels.h>
#include <zyr_sdk/Velocity.h>
#include <zyr_simulation/StateRecord.h>

#include <algorithm>
#include <boost/function.hpp>
#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"

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

struct Observed
{
  std::mutex mutex;
  std::vector<zyr_sdk::Velocity> velocities;
  std::vector<zyr_sdk::AttitudeQuaternion> attitudes;
  std::vector<zyr_sdk::RCChannels> rcs;
  std::vector<zyr_simulation::StateRecord> sent;
  std::vector<bool> paused;
  std::vector<bool> connected;
  std::string received;
};
Observed observed;

template <class T>
std::size_t countOf(const std::vector<T>& v)
{
  std::lock_guard<std::mutex> lock(observed.mutex);
  return v.size();
}

template <class T>
boost::function<void(const T&)> collectInto(std::vector<T>& into)
{
  return [&into](const T& m)
  {
    std::lock_guard<std::mutex> lock(observed.mutex);
    into.push_back(m);
  };
}

boost::function<void(const std_msgs::Bool&)> flagsInto(std::vector<bool>& into)
{
  return [&into](const std_msgs::Bool& m)
  {
    std::lock_guard<std::mutex> lock(observed.mutex);
    into.push_back(m.data);
  };
}

void onReceived(const std_msgs::String& m)
{
  std::lock_guard<std::mutex> lock(observed.mutex);
  observed.received += m.data;
}

ros::NodeHandle* nh;
ros::Subscriber velocity_sub, attitude_sub, rc_sub, sent_sub, paused_sub, connected_sub, received_sub;
ros::Publisher status_pub, hold_pub, record_pub;

bool lastIs(const std::vector<bool>& flags, bool value)
{
  std::lock_guard<std::mutex> lock(observed.mutex);
  return !flags.empty() && flags.back() == value;
}

void publishStatus(uint8_t value)
{
  std_msgs::UInt8 m;
  m.data = value;
  status_pub.publish(m);
}

void hold(bool held)
{
  std_msgs::Bool m;
  m.data = held;
  hold_pub.publish(m);
}

class StateServerWithBridge : public ::testing::Test
{
protected:
  void SetUp() override
  {
    ASSERT_TRUE(
        waitFor([]() { return velocity_sub.getNumPublishers() == 0 && connected_sub.getNumPublishers() == 0; }, 15.0))
        << "processes of an earlier case are still linked";
    std::lock_guard<std::mutex> lock(observed.mutex);
    observed.velocities.clear();
    observed.attitudes.clear();
    observed.rcs.clear();
    observed.sent.clear();
    observed.paused.clear();
    observed.connected.clear();
    observed.received.clear();
  }

  // Starts the stand-in with `params` (name:=value), waits until it listens,
  // then starts the bridge and waits until both are linked to the test.
  void start(const std::vector<std::string>& params)
  {
    ros::param::del("/state_server");  // private parameters outlive the stand-in of an earlier case
    std::vector<std::string> args = {"__name:=state_server"};
    for (const std::string& p : params)
    {
      args.push_back("_" + p);
    }
    server_.reset(new test_support::ChildProcess);
    ASSERT_TRUE(server_->start(STATE_SERVER_BIN, args));
    ASSERT_TRUE(waitFor([]() { return lastIs(observed.connected, false); }, 20.0)) << "the stand-in did not listen";
    const std::string bridge = test_support::findExecutable("zyr_collision_avoidance", "state_bridge");
    ASSERT_FALSE(bridge.empty()) << "state_bridge is not built";
    bridge_.reset(new test_support::ChildProcess);
    ASSERT_TRUE(bridge_->start(bridge, {}));
    ASSERT_TRUE(waitFor([]() { return lastIs(observed.connected, true); }, 20.0)) << "the bridge did not connect";
    ASSERT_TRUE(waitFor(
        [this]()
        {
          return velocity_sub.getNumPublishers() > 0 && attitude_sub.getNumPublishers() > 0 &&
                 rc_sub.getNumPublishers() > 0 && sent_sub.getNumPublishers() > 0 &&
                 received_sub.getNumPublishers() > 0 && status_pub.getNumSubscribers() > 0 &&
                 hold_pub.getNumSubscribers() > 0 && record_pub.getNumSubscribers() >= expected_record_subscribers_;
        },
        20.0))
        << "the topics did not link up";
  }

  void TearDown() override
  {
    bridge_.reset();
    server_.reset();
  }

  std::unique_ptr<test_support::ChildProcess> server_;
  std::unique_ptr<test_support::ChildProcess> bridge_;
  uint32_t expected_record_subscribers_ = 0;
};

TEST_F(StateServerWithBridge, TenCyclesGiveTenVelocityTenAttitudeAndFiveRcMessagesTheFirstRcOnTheSecond)
{
  start({"profile:=counting", "count:=10", "start_held:=true"});
  hold(false);
  ASSERT_TRUE(waitFor([]() { return countOf(observed.velocities) >= 10; }, 10.0));
  pause(0.3);

  std::lock_guard<std::mutex> lock(observed.mutex);
  ASSERT_EQ(10u, observed.sent.size());
  ASSERT_EQ(10u, observed.velocities.size());
  ASSERT_EQ(10u, observed.attitudes.size());
  ASSERT_EQ(5u, observed.rcs.size());
  for (int n = 1; n <= 10; ++n)
  {
    EXPECT_EQ(float(n), observed.velocities[n - 1].vx);
    EXPECT_EQ(float(-n), observed.velocities[n - 1].vy);
  }
  for (int k = 0; k < 5; ++k)
  {
    const int n = 2 * (k + 1);  // cycles 2, 4, ..., 10
    EXPECT_EQ(float(100 * n), observed.rcs[k].pitch);
    EXPECT_EQ(float(-100 * n), observed.rcs[k].roll);
    EXPECT_EQ(float(n), observed.rcs[k].throttle);
  }
}

TEST_F(StateServerWithBridge, EveryTopicFollowsAServerSlowerThanTheLoop)
{
  start({"profile:=counting", "rate:=20", "start_held:=true"});
  hold(false);
  pause(1.5);
  hold(true);
  const auto settled = []()
  {
    std::lock_guard<std::mutex> lock(observed.mutex);
    return !observed.sent.empty() && observed.velocities.size() == observed.sent.size();
  };
  ASSERT_TRUE(waitFor(settled, 5.0));
  pause(0.3);

  std::lock_guard<std::mutex> lock(observed.mutex);
  const std::size_t n = observed.sent.size();
  ASSERT_GE(n, 10u);
  EXPECT_EQ(n, observed.velocities.size());
  EXPECT_EQ(n, observed.attitudes.size());
  EXPECT_EQ(n / 2, observed.rcs.size());
  // The bridge's stamps are taken when each record arrives: their spacing is
  // the server's 50 ms, not the loop's 10 ms.
  std::vector<double> gaps;
  for (std::size_t i = 1; i < n; ++i)
  {
    gaps.push_back((observed.velocities[i].header.stamp - observed.velocities[i - 1].header.stamp).toSec());
  }
  std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 2, gaps.end());
  EXPECT_NEAR(0.05, gaps[gaps.size() / 2], 0.015);
}

TEST_F(StateServerWithBridge, PauseFreezesTheProfileAndResumeContinuesWhereItStopped)
{
  start({"profile:=counting", "start_held:=true"});
  hold(false);
  ASSERT_TRUE(waitFor([]() { return countOf(observed.velocities) >= 5; }, 10.0));

  publishStatus(1);
  ASSERT_TRUE(waitFor([]() { return lastIs(observed.paused, true); }, 10.0));
  std::size_t paused_from;
  {
    std::lock_guard<std::mutex> lock(observed.mutex);
    paused_from = observed.sent.size();
  }
  ASSERT_TRUE(waitFor([&]() { return countOf(observed.sent) >= paused_from + 20; }, 10.0));
  publishStatus(0);
  ASSERT_TRUE(waitFor([]() { return lastIs(observed.paused, false); }, 10.0));
  ASSERT_TRUE(waitFor([&]() { return countOf(observed.sent) >= paused_from + 40; }, 10.0));
  hold(true);
  pause(0.3);

  std::lock_guard<std::mutex> lock(observed.mutex);
  EXPECT_EQ("PauseResume", observed.received);
  // Counting records while running, the frozen record standing still while
  // paused, then counting on from the frozen one.
  double last_counted = 0;
  std::size_t held_still = 0;
  bool resumed = false;
  for (const zyr_simulation::StateRecord& r : observed.sent)
  {
    if (r.vx == 0.0)
    {
      EXPECT_EQ(last_counted, r.throttle) << "a paused record must repeat the frozen one";
      EXPECT_FALSE(resumed) << "records stand still only while paused";
      ++held_still;
      continue;
    }
    resumed = held_still > 0;
    EXPECT_EQ(last_counted + 1, r.vx) << "the profile skipped or repeated a record";
    last_counted = r.vx;
  }
  EXPECT_GE(held_still, 15u);
  EXPECT_TRUE(resumed);
}

TEST_F(StateServerWithBridge, TopicSourceStreamsTheLatestLiveRecord)
{
  expected_record_subscribers_ = 1;
  start({"source:=topic", "start_held:=false"});
  pause(0.3);
  EXPECT_EQ(0u, countOf(observed.sent)) << "nothing to send before the first live record";
  zyr_simulation::StateRecord live;
  live.vx = 1.25;
  live.health_flag = 1;
  live.q0 = 1.0;
  live.pitch = 4000.0;
  record_pub.publish(live);
  ASSERT_TRUE(waitFor([]() { return countOf(observed.rcs) >= 2; }, 10.0));
  publishStatus(1);
  ASSERT_TRUE(waitFor([]() { return lastIs(observed.paused, true); }, 10.0));
  live.vx = -0.5;
  record_pub.publish(live);  // the live feed goes on while paused: the simulator freezes itself
  ASSERT_TRUE(waitFor(
      []()
      {
        std::lock_guard<std::mutex> lock(observed.mutex);
        return observed.velocities.back().vx == -0.5f;
      },
      10.0));
  std::lock_guard<std::mutex> lock(observed.mutex);
  EXPECT_EQ(1.25f, observed.velocities.front().vx);
  EXPECT_EQ(4000.0f, observed.rcs.front().pitch);
}

TEST_F(StateServerWithBridge, CsvReplayEndsTheStreamAndStillRecordsWhatTheBridgeSends)
{
  char csv[] = "/tmp/state_server_csvXXXXXX";
  close(mkstemp(csv));
  std::ofstream(csv) << "vx,vy,vz,health_flag,q0,q1,q2,q3,pitch,roll,throttle\n"
                        "1,0,0,1,1,0,0,0,0,0,0\n"
                        "2,0,0,1,1,0,0,0,0,0,0\n"
                        "3,0,0,0,1,0,0,0,0,0,0\n";
  char received[] = "/tmp/state_server_receivedXXXXXX";
  close(mkstemp(received));
  start({"source:=csv", std::string("csv_file:=") + csv, "close_at_end:=true",
         std::string("received_file:=") + received, "start_held:=true"});
  hold(false);
  ASSERT_TRUE(waitFor([]() { return countOf(observed.velocities) >= 3; }, 10.0));
  pause(0.3);
  EXPECT_EQ(3u, countOf(observed.sent));
  // The stream has ended; the bridge still handles its status messages.
  publishStatus(1);
  ASSERT_TRUE(waitFor(
      []()
      {
        std::lock_guard<std::mutex> lock(observed.mutex);
        return observed.received.size() >= 5;
      },
      10.0));
  pause(0.3);

  std::ifstream file(received, std::ios::binary);
  const std::string recorded((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_EQ("Pause", recorded);
  std::lock_guard<std::mutex> lock(observed.mutex);
  EXPECT_EQ("Pause", observed.received);
  ASSERT_EQ(3u, observed.velocities.size());
  EXPECT_EQ(3.0f, observed.velocities[2].vx);
  EXPECT_EQ(0, observed.velocities[2].health_flag);
  unlink(csv);
  unlink(received);
}
}  // namespace

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  ros::init(argc, argv, "test_state_server");
  ros::NodeHandle handle;
  nh = &handle;
  velocity_sub = handle.subscribe<zyr_sdk::Velocity>("/zyr_sdk/velocity", 1000, collectInto(observed.velocities));
  attitude_sub = handle.subscribe<zyr_sdk::AttitudeQuaternion>("/zyr_sdk/attitude_quaternion", 1000,
                                                               collectInto(observed.attitudes));
  rc_sub = handle.subscribe<zyr_sdk::RCChannels>("/zyr_sdk/rc_channels", 1000, collectInto(observed.rcs));
  sent_sub = handle.subscribe<zyr_simulation::StateRecord>("/state_server/sent", 1000, collectInto(observed.sent));
  paused_sub = handle.subscribe<std_msgs::Bool>("/state_server/paused", 10, flagsInto(observed.paused));
  connected_sub = handle.subscribe<std_msgs::Bool>("/state_server/connected", 10, flagsInto(observed.connected));
  received_sub = handle.subscribe("/state_server/received", 100, onReceived);
  status_pub = handle.advertise<std_msgs::UInt8>("/collision_info_msg", 100);
  hold_pub = handle.advertise<std_msgs::Bool>("/state_server/hold", 10);
  record_pub = handle.advertise<zyr_simulation::StateRecord>("/state_server/record", 10);
  ros::AsyncSpinner spinner(1);
  spinner.start();
  const int result = RUN_ALL_TESTS();
  spinner.stop();
  ros::shutdown();
  return result;
}
