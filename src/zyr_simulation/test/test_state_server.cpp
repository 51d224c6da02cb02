// The state server stand-in streaming to the real state_bridge: what the
// bridge publishes follows the stand-in's records, rate and pause state.
#include <gtest/gtest.h>
#include <ros/ros.h>
#include <std_msgs/Bool.h>
#include <std_msgs/String.h>
#include <std_msgs/UInt8.h>
#include <zyr_simulation/StateRecord.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "zyr_test_support/bridge_outputs.h"
#include "zyr_test_support/child_process.h"
#include "zyr_test_support/rostest_main.h"

using test_support::Inbox;
using test_support::settle;
using test_support::waitFor;

namespace
{
// What the bridge and the stand-in published, recorded on the spinner thread.
struct Observed : test_support::BridgeOutputs
{
  explicit Observed(ros::NodeHandle& nh)
      : BridgeOutputs(nh),
        sent(nh, "/state_server/sent"),
        paused(nh, "/state_server/paused"),
        connected(nh, "/state_server/connected"),
        received(nh, "/state_server/received"),
        status(nh.advertise<std_msgs::UInt8>("/collision_info_msg", 100)),
        hold(nh.advertise<std_msgs::Bool>("/state_server/hold", 10)),
        record(nh.advertise<zyr_simulation::StateRecord>("/state_server/record", 10))
  {
  }
  Inbox<zyr_simulation::StateRecord> sent;
  Inbox<std_msgs::Bool> paused, connected;
  Inbox<std_msgs::String> received;
  ros::Publisher status, hold, record;
};
std::unique_ptr<Observed> observed;  // made in main while ROS runs

// Waits until the latest flag of `flags` reads `value`.
bool waitForLast(const Inbox<std_msgs::Bool>& flags, bool value, double seconds = test_support::kWait)
{
  return flags.waitUntil(
      [value](const std::vector<std_msgs::Bool>& all) { return !all.empty() && all.back().data == value; }, seconds);
}

// What the bridge has written to the stand-in so far.
std::string receivedText()
{
  std::string text;
  for (const std_msgs::String& m : observed->received.all())
    text += m.data;
  return text;
}

void publishStatus(uint8_t value)
{
  test_support::publishData<std_msgs::UInt8>(observed->status, value);
}

void hold(bool held)
{
  test_support::publishData<std_msgs::Bool>(observed->hold, held);
}

class StateServerWithBridge : public ::testing::Test
{
protected:
  void SetUp() override
  {
    Observed& o = *observed;
    ASSERT_TRUE(waitFor(
        [&] {
          return o.velocities.subscriber().getNumPublishers() == 0 && o.connected.subscriber().getNumPublishers() == 0;
        },
        15.0))
        << "processes of an earlier case are still linked";
    o.clear();
    o.sent.clear();
    o.paused.clear();
    o.connected.clear();
    o.received.clear();
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
    Observed& o = *observed;
    ASSERT_TRUE(server_.start(STATE_SERVER_BIN, args));
    ASSERT_TRUE(waitForLast(o.connected, false, 20.0)) << "the stand-in did not listen";
    const std::string bridge = test_support::findExecutable("zyr_collision_avoidance", "state_bridge");
    ASSERT_FALSE(bridge.empty()) << "state_bridge is not built";
    ASSERT_TRUE(bridge_.start(bridge, {}));
    ASSERT_TRUE(waitForLast(o.connected, true, 20.0)) << "the bridge did not connect";
    ASSERT_TRUE(waitFor(
        [&]
        {
          return o.linked() && o.sent.subscriber().getNumPublishers() > 0 &&
                 o.received.subscriber().getNumPublishers() > 0 && o.status.getNumSubscribers() > 0 &&
                 o.hold.getNumSubscribers() > 0 && o.record.getNumSubscribers() >= expected_record_subscribers_;
        },
        20.0))
        << "the topics did not link up";
  }

  void TearDown() override
  {
    bridge_.stop(3.0);
    server_.stop(3.0);
  }

  test_support::ChildProcess server_, bridge_;
  uint32_t expected_record_subscribers_ = 0;
};

TEST_F(StateServerWithBridge, TenCyclesGiveTenVelocityTenAttitudeAndFiveRcMessagesTheFirstRcOnTheSecond)
{
  start({"profile:=counting", "count:=10", "start_held:=true"});
  hold(false);
  const auto velocities = observed->velocities.collect(10, 0.3);
  const auto rcs = observed->rcs.all();
  ASSERT_EQ(10u, observed->sent.size());
  ASSERT_EQ(10u, velocities.size());
  ASSERT_EQ(10u, observed->attitudes.size());
  ASSERT_EQ(5u, rcs.size());
  for (int n = 1; n <= 10; ++n)
  {
    EXPECT_EQ(float(n), velocities[n - 1].vx);
    EXPECT_EQ(float(-n), velocities[n - 1].vy);
  }
  for (int k = 0; k < 5; ++k)
  {
    const int n = 2 * (k + 1);  // cycles 2, 4, ..., 10
    EXPECT_EQ(float(100 * n), rcs[k].pitch);
    EXPECT_EQ(float(-100 * n), rcs[k].roll);
    EXPECT_EQ(float(n), rcs[k].throttle);
  }
}

TEST_F(StateServerWithBridge, EveryTopicFollowsAServerSlowerThanTheLoop)
{
  start({"profile:=counting", "rate:=20", "start_held:=true"});
  hold(false);
  ASSERT_TRUE(observed->sent.waitForCount(30));
  hold(true);
  const auto settled = []
  {
    const std::size_t sent = observed->sent.size();
    return sent > 0 && observed->velocities.size() == sent;
  };
  ASSERT_TRUE(waitFor(settled, 5.0));
  settle(0.3);

  const auto velocities = observed->velocities.all();
  const std::size_t n = observed->sent.size();
  ASSERT_GE(n, 10u);
  EXPECT_EQ(n, velocities.size());
  EXPECT_EQ(n, observed->attitudes.size());
  EXPECT_EQ(n / 2, observed->rcs.size());
  // The bridge's stamps are taken when each record arrives: their spacing is
  // the server's 50 ms, not the loop's 10 ms.
  std::vector<double> gaps;
  for (std::size_t i = 1; i < velocities.size(); ++i)
  {
    gaps.push_back((velocities[i].header.stamp - velocities[i - 1].header.stamp).toSec());
  }
  std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 2, gaps.end());
  EXPECT_NEAR(0.05, gaps[gaps.size() / 2], 0.015);
}

TEST_F(StateServerWithBridge, PauseFreezesTheProfileAndResumeContinuesWhereItStopped)
{
  start({"profile:=counting", "start_held:=true"});
  hold(false);
  ASSERT_TRUE(observed->velocities.waitForCount(5));

  publishStatus(1);
  ASSERT_TRUE(waitForLast(observed->paused, true));
  const std::size_t paused_from = observed->sent.size();
  ASSERT_TRUE(observed->sent.waitForCount(paused_from + 20));
  publishStatus(0);
  ASSERT_TRUE(waitForLast(observed->paused, false));
  ASSERT_TRUE(observed->sent.waitForCount(paused_from + 40));
  hold(true);
  settle(0.3);

  EXPECT_EQ("PauseResume", receivedText());
  // Counting records while running, the frozen record standing still while
  // paused, then counting on from the frozen one.
  double last_counted = 0;
  std::size_t held_still = 0;
  bool resumed = false;
  for (const zyr_simulation::StateRecord& r : observed->sent.all())
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
  settle(0.3);
  EXPECT_EQ(0u, observed->sent.size()) << "nothing to send before the first live record";
  zyr_simulation::StateRecord live;
  live.vx = 1.25;
  live.health_flag = 1;
  live.q0 = 1.0;
  live.pitch = 4000.0;
  observed->record.publish(live);
  ASSERT_TRUE(observed->rcs.waitForCount(2));
  publishStatus(1);
  ASSERT_TRUE(waitForLast(observed->paused, true));
  live.vx = -0.5;
  observed->record.publish(live);  // the live feed goes on while paused: the simulator freezes itself
  ASSERT_TRUE(waitFor([] { return observed->velocities.back().vx == -0.5f; }));
  EXPECT_EQ(1.25f, observed->velocities.all().front().vx);
  EXPECT_EQ(4000.0f, observed->rcs.all().front().pitch);
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
  ASSERT_TRUE(observed->velocities.waitForCount(3));
  settle(0.3);
  EXPECT_EQ(3u, observed->sent.size());
  // The stream has ended; the bridge still handles its status messages.
  publishStatus(1);
  ASSERT_TRUE(waitFor([] { return receivedText().size() >= 5; }));
  settle(0.3);

  std::ifstream file(received, std::ios::binary);
  const std::string recorded((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_EQ("Pause", recorded);
  EXPECT_EQ("Pause", receivedText());
  const auto velocities = observed->velocities.all();
  ASSERT_EQ(3u, velocities.size());
  EXPECT_EQ(3.0f, velocities[2].vx);
  EXPECT_EQ(0, velocities[2].health_flag);
  unlink(csv);
  unlink(received);
}
}  // namespace

int main(int argc, char** argv)
{
  return test_support::runRostest(argc, argv, "test_state_server", 1, observed);
}
