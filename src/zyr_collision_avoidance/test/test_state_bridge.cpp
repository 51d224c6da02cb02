// state_bridge as a process, against a TCP server run inside the test that
// controls every byte on the wire. Each StateBridge case starts a fresh
// bridge; the StateBridgeRespawn case meets the one its launch file started.
#include <gtest/gtest.h>
#include <ros/ros.h>
#include <std_msgs/UInt8.h>
#include <sys/wait.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "zyr_collision_avoidance/trajectory_record.h"
#include "zyr_test_support/bridge_outputs.h"
#include "zyr_test_support/child_process.h"
#include "zyr_test_support/loopback_server.h"
#include "zyr_test_support/rostest_main.h"
#include "zyr_test_support/wire_record.h"

using test_support::settle;
using test_support::waitFor;
using test_support::WireRecord;
using RecordServer = test_support::LoopbackServer;

namespace
{
// What the bridge published and logged, recorded on the spinner thread.
struct Observed : test_support::BridgeOutputs
{
  explicit Observed(ros::NodeHandle& nh)
      : BridgeOutputs(nh),
        logs(nh, "/rosout", test_support::fromNode("/state_bridge")),
        status(nh.advertise<std_msgs::UInt8>("/collision_info_msg", 1000))
  {
    // The test's own log publisher, linked to its own /rosout subscriber, is
    // there before any bridge.
    waitFor([&] { return logs.subscriber().getNumPublishers() > 0; });
    log_publishers_without_bridge = logs.subscriber().getNumPublishers();
  }
  test_support::Inbox<test_support::Log> logs;  // the bridge's own lines
  ros::Publisher status;
  uint32_t log_publishers_without_bridge = 0;
};
std::unique_ptr<Observed> observed;  // made in main while ROS runs

std::vector<std::string> infos()
{
  return test_support::textsAt(observed->logs.all(), rosgraph_msgs::Log::INFO);
}

bool bridgeLinked()
{
  const Observed& o = *observed;
  return o.linked() && o.status.getNumSubscribers() > 0 &&
         o.logs.subscriber().getNumPublishers() > o.log_publishers_without_bridge;
}

bool bridgeUnlinked()
{
  const Observed& o = *observed;
  return o.velocities.subscriber().getNumPublishers() == 0 && o.status.getNumSubscribers() == 0 &&
         o.logs.subscriber().getNumPublishers() == o.log_publishers_without_bridge;
}

void publishStatus(uint8_t value)
{
  test_support::publishData<std_msgs::UInt8>(observed->status, value);
}

class StateBridge : public ::testing::Test
{
protected:
  void SetUp() override
  {
    ASSERT_TRUE(waitFor(bridgeUnlinked)) << "a bridge of an earlier case is still linked";
    observed->clear();
    observed->logs.clear();
  }
  void TearDown() override
  {
    bridge_.stop(10.0);
    server_.reset();
    waitFor(bridgeUnlinked);
  }

  // Starts the server and a bridge and waits until the bridge is connected to
  // both the server and every topic of the test.
  void connect()
  {
    server_.reset(new RecordServer(kStateServerPort));
    ASSERT_TRUE(server_->listening()) << "the state server's port is taken";
    ASSERT_TRUE(bridge_.start(STATE_BRIDGE_BIN, {}));
    ASSERT_TRUE(server_->acceptClient(20.0)) << "the bridge did not connect";
    ASSERT_TRUE(waitFor(bridgeLinked, 20.0)) << "the bridge's topics did not link up";
    ASSERT_TRUE(bridge_.running());
  }

  std::unique_ptr<RecordServer> server_;
  test_support::ChildProcess bridge_;
};

TEST_F(StateBridge, WithoutAServerItPrintsTheConnectErrorAndExitsWithAFailureStatus)
{
  ASSERT_TRUE(bridge_.start(STATE_BRIDGE_BIN, {}, true));
  ASSERT_TRUE(bridge_.waitExit(30.0));
  ASSERT_TRUE(WIFEXITED(bridge_.status())) << bridge_.describe() << "\n" << bridge_.stderrText();
  EXPECT_NE(0, WEXITSTATUS(bridge_.status()));
  EXPECT_NE(std::string::npos, bridge_.stderrText().find("ERROR connecting: Connection refused\n"));
}

TEST_F(StateBridge, StatusSequenceLogsEveryCaseAndSendsPauseResumePause)
{
  connect();
  server_->startStreaming(WireRecord().bytes());
  ASSERT_TRUE(observed->velocities.waitForCount(1));

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
  ASSERT_TRUE(waitFor([&]() { return infos().size() >= expected.size(); }));
  EXPECT_EQ(expected, infos());
  ASSERT_TRUE(waitFor([&]() { return server_->received().size() >= 16; }));
  settle(0.3);  // room for a stray extra write to show up
  EXPECT_EQ("PauseResumePause", server_->received());
}

TEST_F(StateBridge, AStatusIsHandledAtOnceWhileTheServerIsSilent)
{
  connect();
  publishStatus(1);
  EXPECT_TRUE(waitFor([&]() { return server_->received() == "Pause"; }));
}

TEST_F(StateBridge, FirstCyclePublishesVelocityAndAttitudeAndTheSecondAlsoTheSticks)
{
  connect();

  WireRecord first;
  first.vx = 3.0;
  first.vy = 4.0;
  first.vz = 0.1;
  first.health_flag = 257;
  first.q0 = 0.0;  // squared norm 0: logged
  first.pitch = 0.5;
  first.roll = -0.25;
  ASSERT_TRUE(server_->send(first.bytes()));
  ASSERT_TRUE(observed->attitudes.waitForCount(1));

  WireRecord second;
  second.health_flag = 0;
  second.q0 = 0.5;
  second.q1 = 0.5;
  second.q2 = -0.5;
  second.q3 = 0.5;
  second.pitch = 1200.0;
  second.roll = -3400.0;
  second.throttle = 5600.0;
  ASSERT_TRUE(server_->send(second.bytes()));
  ASSERT_TRUE(observed->rcs.waitForCount(1));
  const std::vector<zyr_sdk::AttitudeQuaternion> attitudes = observed->attitudes.collect(2, 0.2);
  const std::vector<zyr_sdk::Velocity> velocities = observed->velocities.all();
  const std::vector<zyr_sdk::RCChannels> rcs = observed->rcs.all();
  ASSERT_EQ(2u, velocities.size());
  ASSERT_EQ(2u, attitudes.size());
  ASSERT_EQ(1u, rcs.size());
  const zyr_sdk::Velocity& v = velocities[0];
  EXPECT_EQ(3.0f, v.vx);
  EXPECT_EQ(4.0f, v.vy);
  EXPECT_EQ(0.1f, v.vz);
  EXPECT_EQ(1, v.health_flag);
  EXPECT_EQ(0, velocities[1].health_flag);
  EXPECT_EQ(0.0f, attitudes[0].q0);
  const zyr_sdk::AttitudeQuaternion& q = attitudes[1];
  EXPECT_EQ(0.5f, q.q0);
  EXPECT_EQ(0.5f, q.q1);
  EXPECT_EQ(-0.5f, q.q2);
  EXPECT_EQ(0.5f, q.q3);
  EXPECT_EQ(0.0f, q.wx);
  const zyr_sdk::RCChannels& rc = rcs[0];
  EXPECT_EQ(1200.0f, rc.pitch);
  EXPECT_EQ(-3400.0f, rc.roll);
  EXPECT_EQ(5600.0f, rc.throttle);
  EXPECT_EQ(0.0f, rc.yaw);
  EXPECT_LE(velocities[1].header.stamp, q.header.stamp);
  EXPECT_LE(q.header.stamp, rc.header.stamp);
  EXPECT_NE(ros::Time(), v.header.stamp);
  // Only the first record's quaternion is logged: 25.01 = 3² + 4² + 0.1² in single precision.
  EXPECT_EQ(std::vector<std::string>{"q:0.000000, v:25.010000, ux:0.500000, uy:-0.250000"}, infos());
}

TEST_F(StateBridge, RecordSentInTwoPiecesArrivesWholeAndTheNextIsNotShifted)
{
  connect();
  const std::string first = WireRecord(1.0).bytes();
  ASSERT_TRUE(server_->send(first.substr(0, 40)));
  settle(0.2);
  EXPECT_EQ(0u, observed->velocities.size());
  ASSERT_TRUE(server_->send(first.substr(40)));
  ASSERT_TRUE(observed->velocities.waitForCount(1));
  // The second record ends in a piece of the third: the piece waits for the rest.
  const std::string third = WireRecord(3.0).bytes();
  ASSERT_TRUE(server_->send(WireRecord(2.0).bytes() + third.substr(0, 50)));
  ASSERT_TRUE(observed->velocities.waitForCount(2));
  ASSERT_TRUE(server_->send(third.substr(50)));
  const std::vector<zyr_sdk::Velocity> velocities = observed->velocities.collect(3, 0.2);
  ASSERT_EQ(3u, velocities.size());
  for (int i = 0; i < 3; ++i)
  {
    EXPECT_EQ(i + 1.0f, velocities[i].vx);
    EXPECT_EQ(1, velocities[i].health_flag);
  }
}

namespace
{
bool carries(const std::vector<zyr_sdk::Velocity>& velocities, float vx)
{
  return !velocities.empty() && velocities.back().vx == vx;
}

// Records numbered `from` to `to` in vx, one every 10 ms, as a 100 Hz server
// sends them.
void sendNumbered(RecordServer& server, int from, int to)
{
  for (int n = from; n <= to; ++n)
  {
    ASSERT_TRUE(server.send(WireRecord(n).bytes()));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::size_t publishedBetween(float first, float last)
{
  return observed->velocities.count([=](const zyr_sdk::Velocity& v) { return v.vx >= first && v.vx <= last; });
}
}  // namespace

TEST_F(StateBridge, ABurstOfRecordsIsSkippedToTheNewestAndTheStreamAfterItFollowsAtOnce)
{
  connect();
  std::string burst;
  for (int n = 1; n <= 50; ++n)
    burst += WireRecord(n).bytes();
  ASSERT_TRUE(server_->send(burst));
  ASSERT_TRUE(observed->velocities.waitUntil([](const std::vector<zyr_sdk::Velocity>& v) { return carries(v, 50); }));
  // One cycle takes the whole burst; a second only if it came in two reads.
  EXPECT_LE(observed->velocities.size(), 2u);
  EXPECT_EQ(observed->velocities.size(), observed->attitudes.size());

  sendNumbered(*server_, 51, 80);
  ASSERT_TRUE(observed->velocities.waitUntil([](const std::vector<zyr_sdk::Velocity>& v) { return carries(v, 80); }));
  const std::vector<zyr_sdk::Velocity> velocities = observed->velocities.all();
  for (std::size_t i = 1; i < velocities.size(); ++i)
    EXPECT_LT(velocities[i - 1].vx, velocities[i].vx) << "an older record published after a newer one";
}

TEST_F(StateBridge, AServerFasterThanThePeriodIsRelayedOncePerPeriodEndingWithItsNewestRecord)
{
  connect();
  const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  for (int n = 1; n <= 300; ++n)  // about 1 kHz
  {
    ASSERT_TRUE(server_->send(WireRecord(n).bytes()));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(observed->velocities.waitUntil([](const std::vector<zyr_sdk::Velocity>& v) { return carries(v, 300); }));
  const double elapsed_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  const std::vector<zyr_sdk::Velocity> velocities = observed->velocities.all();
  // However loaded the machine, the publications lie within the elapsed time:
  // one per 10 ms, and one more at the start.
  EXPECT_LE(velocities.size(), elapsed_ms / 10 + 2);
  EXPECT_LT(velocities.size(), 100u);
  for (std::size_t i = 1; i < velocities.size(); ++i)
    EXPECT_LT(velocities[i - 1].vx, velocities[i].vx) << "an older record published after a newer one";
}

TEST_F(StateBridge, AfterAStallTheBacklogIsSkippedAndTheNewestRecordPublished)
{
  connect();
  sendNumbered(*server_, 1, 20);
  ASSERT_TRUE(observed->velocities.waitUntil([](const std::vector<zyr_sdk::Velocity>& v) { return carries(v, 20); }));

  // Half a second without the bridge (CPU load, a paused process), the server
  // going on at 100 Hz.
  ASSERT_TRUE(bridge_.signal(SIGSTOP));
  sendNumbered(*server_, 21, 70);
  ASSERT_TRUE(bridge_.signal(SIGCONT));
  sendNumbered(*server_, 71, 100);
  ASSERT_TRUE(observed->velocities.waitUntil([](const std::vector<zyr_sdk::Velocity>& v) { return carries(v, 100); }));
  // The records of the stall are stale by the time the bridge runs again:
  // at most the newest of them is published, not one per cycle from then on.
  EXPECT_LE(publishedBetween(21, 70), 1u);
}

TEST_F(StateBridge, AfterTheServerClosesNothingIsPublishedAndStatusChangesAreSurvived)
{
  connect();
  ASSERT_TRUE(server_->send(WireRecord(1.0).bytes()));
  ASSERT_TRUE(observed->velocities.waitForCount(1));
  ASSERT_TRUE(server_->send(WireRecord(2.0).bytes() + WireRecord(3.0).bytes().substr(0, 40)));
  ASSERT_TRUE(observed->velocities.waitForCount(2));
  server_->closeClient();  // mid-record: the 40 bytes must not become a message
  const auto error = test_support::levelAtLeast(rosgraph_msgs::Log::ERROR);
  ASSERT_TRUE(observed->logs.waitForMatch(error));

  // Each change writes to the dead connection; the second write would raise SIGPIPE.
  for (uint8_t value : {1, 0, 1})
  {
    publishStatus(value);
  }
  ASSERT_TRUE(waitFor([]() { return infos().size() >= 6; }));
  settle();
  EXPECT_TRUE(bridge_.running());
  EXPECT_EQ(2u, observed->velocities.size());
  EXPECT_EQ(2u, observed->attitudes.size());
  EXPECT_EQ(1u, observed->rcs.size());
  EXPECT_EQ(1u, observed->logs.count(error));
  EXPECT_EQ((std::vector<std::string>{"Entered Callback", "Received 1", "Entered Callback", "Received 0",
                                      "Entered Callback", "Received 1"}),
            infos());
}

TEST_F(StateBridge, InterruptEndsTheBridgeWithinASecondWhileTheServerIsSilent)
{
  connect();
  // The bridge shows nothing of its wait for the first record; this lets it
  // get well inside.
  settle(0.3);
  bridge_.signal(SIGINT);
  ASSERT_TRUE(bridge_.waitExit(1.0));
  ASSERT_TRUE(WIFEXITED(bridge_.status()));
  EXPECT_EQ(0, WEXITSTATUS(bridge_.status()));
}
// ---------------------------------------------------------------------------
// The bridge as collision_avoidance.launch starts it (state_bridge_respawn.test),
// not as a child of this test.

TEST(StateBridgeRespawn, AResetConnectionEndsTheBridgeAndTheLaunchFileStartsItAgain)
{
  RecordServer server(kStateServerPort);
  ASSERT_TRUE(server.listening()) << "the state server's port is taken";
  for (float vx : {1.0f, 2.0f})
  {
    SCOPED_TRACE(vx);
    // The first bridge waits for the port to listen, the second is the first
    // one started again a second after the reset ended it.
    ASSERT_TRUE(server.acceptClient(30.0)) << "no bridge connected";
    server.startStreaming(WireRecord(vx).bytes());
    ASSERT_TRUE(
        observed->velocities.waitUntil([vx](const std::vector<zyr_sdk::Velocity>& v) { return carries(v, vx); }, 30.0));
    server.resetClient();
  }
}
}  // namespace

int main(int argc, char** argv)
{
  return test_support::runRostest(argc, argv, "test_state_bridge", 1, observed);
}
