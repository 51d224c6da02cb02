// state_bridge as a process, against a TCP server run inside the test that
// controls every byte on the wire. Each case starts a fresh bridge.
#include <gtest/gtest.h>
#include <ros/ros.h>
#include <std_msgs/UInt8.h>
#include <sys/wait.h>
#include <zyr_sdk/AttitudeQuaternion.h>
#include <zyr_sdk/RCChannels.h>
#include <zyr_sdk/Velocity.h>

#include <string>
#include <vector>

#include "zyr_test_support/child_process.h"
#include "zyr_test_support/inbox.h"
#include "zyr_test_support/loopback_state_server.h"
#include "zyr_test_support/wire_record.h"

using test_support::Inbox;
using test_support::settle;
using test_support::waitFor;
using test_support::WireRecord;
using RecordServer = test_support::LoopbackStateServer;

namespace
{
// What the bridge published, recorded on the spinner thread.
struct Observed
{
  Inbox<zyr_sdk::Velocity> velocities;
  Inbox<zyr_sdk::AttitudeQuaternion> attitudes;
  Inbox<zyr_sdk::RCChannels> rcs;
  Inbox<test_support::Log> logs;  // the bridge's own lines
  ros::Publisher status;
  uint32_t log_publishers_without_bridge = 0;
};
Observed* observed = nullptr;  // lives in main, while ROS runs

std::vector<std::string> infos()
{
  return test_support::textsAt(observed->logs.all(), rosgraph_msgs::Log::INFO);
}

// A state_bridge process, interrupted and reaped when it goes out of scope.
struct Bridge : test_support::ChildProcess
{
  explicit Bridge(bool capture_stderr = false)
  {
    start(STATE_BRIDGE_BIN, {}, capture_stderr);
  }
};

bool bridgeLinked()
{
  const Observed& o = *observed;
  return o.velocities.subscriber().getNumPublishers() > 0 && o.attitudes.subscriber().getNumPublishers() > 0 &&
         o.rcs.subscriber().getNumPublishers() > 0 && o.status.getNumSubscribers() > 0 &&
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
  std_msgs::UInt8 m;
  m.data = value;
  observed->status.publish(m);
}

class StateBridge : public ::testing::Test
{
protected:
  void SetUp() override
  {
    ASSERT_TRUE(waitFor(bridgeUnlinked)) << "a bridge of an earlier case is still linked";
    observed->velocities.clear();
    observed->attitudes.clear();
    observed->rcs.clear();
    observed->logs.clear();
  }
  void TearDown() override
  {
    waitFor(bridgeUnlinked);
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
  server.startStreaming(WireRecord().bytes());
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
  ASSERT_TRUE(waitFor([&]() { return server.received().size() >= 16; }));
  settle(0.3);  // room for a stray extra write to show up
  EXPECT_EQ("PauseResumePause", server.received());
}

TEST_F(StateBridge, FirstCyclePublishesVelocityAndAttitudeAndTheSecondAlsoTheSticks)
{
  RecordServer server;
  Bridge bridge;
  connect(server, bridge);

  WireRecord first;
  first.vx = 3.0;
  first.vy = 4.0;
  first.vz = 0.1;
  first.health_flag = 257;
  first.q0 = 0.0;  // squared norm 0: logged
  first.pitch = 0.5;
  first.roll = -0.25;
  ASSERT_TRUE(server.send(first.bytes()));
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
  ASSERT_TRUE(server.send(second.bytes()));
  ASSERT_TRUE(observed->rcs.waitForCount(1));
  ASSERT_TRUE(observed->attitudes.waitForCount(2));
  settle(0.2);

  const std::vector<zyr_sdk::Velocity> velocities = observed->velocities.all();
  const std::vector<zyr_sdk::AttitudeQuaternion> attitudes = observed->attitudes.all();
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
  RecordServer server;
  Bridge bridge;
  connect(server, bridge);
  const std::string first = WireRecord(1.0).bytes();
  ASSERT_TRUE(server.send(first.substr(0, 40)));
  settle(0.2);
  EXPECT_EQ(0u, observed->velocities.size());
  ASSERT_TRUE(server.send(first.substr(40)));
  ASSERT_TRUE(server.send(WireRecord(2.0).bytes()));
  ASSERT_TRUE(observed->velocities.waitForCount(2));
  settle(0.2);
  const std::vector<zyr_sdk::Velocity> velocities = observed->velocities.all();
  ASSERT_EQ(2u, velocities.size());
  EXPECT_EQ(1.0f, velocities[0].vx);
  EXPECT_EQ(1, velocities[0].health_flag);
  EXPECT_EQ(2.0f, velocities[1].vx);
  EXPECT_EQ(1, velocities[1].health_flag);
}

TEST_F(StateBridge, TwoRecordsSentTogetherBothArriveInOrder)
{
  RecordServer server;
  Bridge bridge;
  connect(server, bridge);
  ASSERT_TRUE(server.send(WireRecord(1.0).bytes() + WireRecord(2.0).bytes()));
  ASSERT_TRUE(observed->velocities.waitForCount(2));
  settle(0.2);
  const std::vector<zyr_sdk::Velocity> velocities = observed->velocities.all();
  ASSERT_EQ(2u, velocities.size());
  EXPECT_EQ(1.0f, velocities[0].vx);
  EXPECT_EQ(2.0f, velocities[1].vx);
  EXPECT_EQ(2u, observed->attitudes.size());
  EXPECT_EQ(1u, observed->rcs.size());
}

TEST_F(StateBridge, AfterTheServerClosesNothingIsPublishedAndStatusChangesAreSurvived)
{
  RecordServer server;
  Bridge bridge;
  connect(server, bridge);
  ASSERT_TRUE(server.send(WireRecord(1.0).bytes() + WireRecord(2.0).bytes() + WireRecord(3.0).bytes().substr(0, 40)));
  ASSERT_TRUE(observed->velocities.waitForCount(2));
  server.closeClient();  // mid-record: the 40 bytes must not become a message
  const auto error = test_support::levelAtLeast(rosgraph_msgs::Log::ERROR);
  ASSERT_TRUE(observed->logs.waitForMatch(error));

  // Each change writes to the dead connection; the second write would raise SIGPIPE.
  for (uint8_t value : {1, 0, 1})
  {
    publishStatus(value);
  }
  ASSERT_TRUE(waitFor([]() { return infos().size() >= 6; }));
  settle();
  EXPECT_TRUE(bridge.running());
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
  RecordServer server;
  Bridge bridge;
  connect(server, bridge);
  // The bridge shows nothing of its wait for the first record; this lets it
  // get well inside.
  settle(0.3);
  bridge.signal(SIGINT);
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
  Observed o;
  observed = &o;
  o.velocities.subscribe(nh, "/zyr_sdk/velocity");
  o.attitudes.subscribe(nh, "/zyr_sdk/attitude_quaternion");
  o.rcs.subscribe(nh, "/zyr_sdk/rc_channels");
  o.logs.subscribe(nh, "/rosout", test_support::fromNode("/state_bridge"));
  o.status = nh.advertise<std_msgs::UInt8>("/collision_info_msg", 1000);
  ros::AsyncSpinner spinner(1);
  spinner.start();
  // The test's own log publisher, linked to its own /rosout subscriber, is
  // there before any bridge.
  waitFor([&] { return o.logs.subscriber().getNumPublishers() > 0; });
  o.log_publishers_without_bridge = o.logs.subscriber().getNumPublishers();
  const int result = RUN_ALL_TESTS();
  spinner.stop();
  ros::shutdown();
  return result;
}
