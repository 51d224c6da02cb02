// guarded_flight against the SDK node stand-in. Each test starts its own
// guarded_flight (and stand-in, when it needs one) as child processes, so that
// every test sees a fresh node and can signal it and read its exit status.
// The test plays the rest of the world: it publishes sticks, GPS, velocity and
// collision status, and watches the requests that the stand-in records, the
// debug echo and the node's log lines on /rosout.
// The SIGINT and SIGTERM cases are in test_guarded_flight_sigint.cpp.
#include <gtest/gtest.h>
#include <ros/master.h>
#include <ros/ros.h>
#include <ros/xmlrpc_manager.h>
#include <rosgraph_msgs/Log.h>
#include <zyr_sdk/RCChannels.h>
#include <zyr_simulation/AttitudeCommand.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "guarded_flight_fixture.h"
#include "zyr_test_support/loopback_server.h"
#include "zyr_test_support/rostest_main.h"

using namespace guarded_flight_test;

namespace
{

// Stands in for an SDK node that is registered at the master but drops every
// connection: each attitude-control call then shows as one accepted
// connection, and fails.
class DroppingService
{
public:
  ~DroppingService()
  {
    running_ = false;
    thread_.join();
  }

  bool listening() const
  {
    return server_.listening();
  }

  std::string uri() const
  {
    return "rosrpc://127.0.0.1:" + std::to_string(server_.port());
  }

  int connections() const
  {
    return connections_;
  }

private:
  void dropLoop()
  {
    while (running_)
    {
      if (!server_.acceptClient(0.1))
        continue;
      ++connections_;
      // Take what the client sends (its connection header), then hang up.
      waitFor([this] { return !server_.received().empty(); }, 0.5);
      server_.closeClient();
    }
  }

  test_support::LoopbackServer server_{0};
  std::atomic<bool> running_{true};
  std::atomic<int> connections_{0};
  std::thread thread_{[this] { dropLoop(); }};  // last: starts once the rest is in place
};

bool registerFakeService(const std::string& uri, bool on)
{
  XmlRpc::XmlRpcValue args, result, payload;
  args[0] = std::string("/fake_sdk_node");
  args[1] = std::string("/zyr_sdk/attitude_control");
  args[2] = uri;
  if (on)
  {
    args[3] = ros::XMLRPCManager::instance()->getServerURI();
  }
  return ros::master::execute(on ? "registerService" : "unregisterService", args, result, payload, true);
}

TEST_F(GuardedFlight, CommandsCarryFlagPitchInXRollInYZAndYaw)
{
  startStandin();
  startGuardedFlight();
  ASSERT_GT(gpsUntil(12.25f, 4, Outcome::kCommand), 0);

  zyr_simulation::AttitudeCommand c;
  ASSERT_EQ(Outcome::kCommand, sendStick(10000.0f, -5000.0f, -10000.0f, 250.0f, &c));
  EXPECT_EQ(74, c.flag);
  EXPECT_EQ(-1.5f, c.x);
  EXPECT_EQ(3.0f, c.y);
  EXPECT_EQ(0.05f, c.z);
  EXPECT_EQ(-45.0f, c.yaw);

  ASSERT_EQ(Outcome::kCommand, sendStick(-2000.0f, 3000.0f, 1000.0f, -249.9f, &c));
  EXPECT_EQ(90, c.flag);
  EXPECT_EQ(3000.0f / 3333.3333f, c.x);
  EXPECT_EQ(-2000.0f / 3333.3333f, c.y);
  EXPECT_EQ(12.25f, c.z);
  EXPECT_EQ(1000.0f / 222.22223f, c.yaw);

  ASSERT_EQ(Outcome::kCommand, sendStick(0.0f, 0.0f, 0.0f, -10000.0f, &c));
  EXPECT_EQ(74, c.flag);
  EXPECT_EQ(-2.0f, c.z);

  // The height held is the latest measured one at each stick message.
  publishGps(20.5f, 4);
  ASSERT_TRUE(waitFor(
      [&]
      {
        zyr_simulation::AttitudeCommand latest;
        return sendCentredStick(&latest) == Outcome::kCommand && latest.z == 20.5f;
      },
      kWait, 0.01));

  // The node never asks for control authority.
  EXPECT_EQ(0u, permissions_.size());
  for (const auto& command : commands_.all())
  {
    EXPECT_TRUE(command.flag == 90 || command.flag == 74);
    EXPECT_TRUE(command.z == 12.25f || command.z == 20.5f || command.flag == 74);
  }
}

TEST_F(GuardedFlight, GarbageSticksOrANonFiniteHeldHeightGiveAWarningAndNoCommand)
{
  startStandin();
  startGuardedFlight();
  ASSERT_GT(gpsUntil(5.0f, 4, Outcome::kCommand), 0);

  // Each channel in turn carries garbage; the valid message after them, full
  // deflection on every channel, is the only one to reach the stand-in. Stick
  // messages are handled in order, so its command comes after every refusal.
  for (int channel = 0; channel < 4; ++channel)
  {
    SCOPED_TRACE(channel);
    const size_t commands = commands_.size();
    for (float bad : {NAN, INFINITY, -INFINITY, 1e6f, -10001.0f})
    {
      float sticks[4] = {0, 0, 0, 0};
      sticks[channel] = bad;
      publishStick(sticks[0], sticks[1], sticks[2], sticks[3]);
    }
    zyr_simulation::AttitudeCommand c;
    ASSERT_EQ(Outcome::kCommand, sendStick(10000.0f, -10000.0f, 10000.0f, -10000.0f, &c));
    EXPECT_EQ(commands + 1, commands_.size());
    EXPECT_EQ(74, c.flag);
    EXPECT_EQ(-3.0f, c.x);
    EXPECT_EQ(3.0f, c.y);
    EXPECT_EQ(-2.0f, c.z);
    EXPECT_EQ(45.0f, c.yaw);
  }
  const auto warning = [](const rosgraph_msgs::Log& l)
  { return l.level == rosgraph_msgs::Log::WARN && l.msg.find("no command sent") != std::string::npos; };
  EXPECT_TRUE(log_.waitForMatch(warning));

  // A centred throttle holds the measured height: with none that is finite
  // there is no command, while a throttle outside the dead band needs none.
  // The GPS message travels on its own connection; until the node has it, a
  // centred stick still holds the old height. A climb after each centred
  // stick marks where its outcome ends: stick messages are handled in order.
  const auto climbAfter = [this](std::size_t from)
  {
    publishStick(0, 0, 0, 0);
    publishStick(0, 0, 0, 5000.0f);
    return commands_.waitUntil([from](const std::vector<zyr_simulation::AttitudeCommand>& all)
                               { return all.size() > from && all.back().flag == 74; });
  };
  publishGps(NAN, 4);
  bool refused = false;
  for (int i = 0; i < 50 && !refused; ++i)
  {
    const size_t commands = commands_.size();
    ASSERT_TRUE(climbAfter(commands));
    const std::vector<zyr_simulation::AttitudeCommand> all = commands_.all();
    refused = all.size() == commands + 1;
    if (!refused)
    {
      ASSERT_EQ(90, all[commands].flag);
      ASSERT_EQ(5.0f, all[commands].z) << "a height that is not finite went out";
    }
  }
  EXPECT_TRUE(refused);

  // A finite height again: the centred stick holds it.
  publishGps(6.0f, 4);
  bool held = false;
  for (int i = 0; i < 50 && !held; ++i)
  {
    const size_t commands = commands_.size();
    ASSERT_TRUE(climbAfter(commands));
    const std::vector<zyr_simulation::AttitudeCommand> all = commands_.all();
    held = all.size() == commands + 2 && all[commands].flag == 90 && all[commands].z == 6.0f;
  }
  EXPECT_TRUE(held);
}

TEST_F(GuardedFlight, ScriptedStandinStreamsBecomeCommands)
{
  ros::param::del("/sdk_standin");
  XmlRpc::XmlRpcValue profile;
  profile[0]["duration"] = 1000.0;
  profile[0]["roll"] = 10000;
  profile[0]["pitch"] = -5000;
  profile[0]["yaw"] = -10000;
  profile[0]["throttle"] = 250;
  profile[0]["height"] = 12.5;
  profile[0]["health"] = 4;
  ros::param::set("/sdk_standin/profile", profile);
  ros::param::set("/sdk_standin/rate", 20.0);
  startStandinWithParamsSet();
  startGuardedFlight();

  ASSERT_TRUE(commands_.waitForCount(5));
  for (const auto& c : commands_.all())
  {
    EXPECT_EQ(74, c.flag);
    EXPECT_EQ(-1.5f, c.x);
    EXPECT_EQ(3.0f, c.y);
    EXPECT_EQ(0.05f, c.z);
    EXPECT_EQ(-45.0f, c.yaw);
  }
}

TEST_F(GuardedFlight, NoCommandBeforeFirstGpsMessageAndHealthMustExceedTwo)
{
  startStandin();
  startGuardedFlight();

  // No global position yet: no height to hold, so no command.
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(Outcome::kPoorGps, sendCentredStick());

  ASSERT_GT(gpsUntil(7.5f, 3, Outcome::kCommand), 0);
  ASSERT_EQ(1u, commands_.size());
  const zyr_simulation::AttitudeCommand first = commands_.back();
  EXPECT_EQ(1u, first.index);
  EXPECT_EQ(90, first.flag);
  EXPECT_EQ(7.5f, first.z);

  ASSERT_GT(gpsUntil(7.5f, 2, Outcome::kPoorGps), 0);
  const size_t commands = commands_.size();
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(Outcome::kPoorGps, sendCentredStick());
  // A signed health byte: 0xFB is -5, not 251.
  publishGps(7.5f, static_cast<int8_t>(0xFB));
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(Outcome::kPoorGps, sendCentredStick());

  ASSERT_GT(gpsUntil(7.5f, 3, Outcome::kCommand), 0);
  ASSERT_EQ(commands + 1, commands_.size());
  EXPECT_EQ(commands + 1, commands_.back().index);
}

TEST_F(GuardedFlight, DangerReleasedAfterSixteenSlowClearsThenCommandsResume)
{
  startStandin();
  startGuardedFlight();
  ASSERT_GT(gpsUntil(5.0f, 4, Outcome::kCommand), 0);
  startVelocity(0.1f, 0.0f);

  std::vector<int> echoed(17, -1);
  ASSERT_TRUE(sendStatus(1, &echoed[0]));
  EXPECT_EQ(Outcome::kDanger, sendCentredStick());
  for (int i = 1; i <= 16; ++i)
    ASSERT_TRUE(sendStatus(0, &echoed[i]));
  std::vector<int> expected(16, 1);
  expected.push_back(0);
  EXPECT_EQ(expected, echoed);

  const size_t commands = commands_.size();
  zyr_simulation::AttitudeCommand c;
  ASSERT_EQ(Outcome::kCommand, sendCentredStick(&c));
  EXPECT_EQ(commands + 1, c.index);

  // Neither a 2 nor further clear messages change the cleared status.
  int e = -1;
  ASSERT_TRUE(sendStatus(2, &e));
  EXPECT_EQ(0, e);
  ASSERT_TRUE(sendStatus(0, &e));
  EXPECT_EQ(0, e);
}

TEST_F(GuardedFlight, ClearMessagesAtSpeedKeepDanger)
{
  startStandin();
  startGuardedFlight();
  ASSERT_GT(gpsUntil(5.0f, 4, Outcome::kCommand), 0);
  startVelocity(0.3f, 0.0f);

  int e = -1;
  ASSERT_TRUE(sendStatus(1, &e));
  EXPECT_EQ(1, e);
  for (int i = 0; i < 16; ++i)
  {
    ASSERT_TRUE(sendStatus(0, &e));
    EXPECT_EQ(1, e) << "clear message " << i + 1;
  }
  ASSERT_TRUE(sendStatus(2, &e));
  EXPECT_EQ(1, e);
  EXPECT_EQ(Outcome::kDanger, sendCentredStick());
}

TEST_F(GuardedFlight, VerdictsThatStopLatchDangerAndOnlyTheReleaseBringsCommandsBack)
{
  startStandin();
  startGuardedFlight();
  ASSERT_GT(gpsUntil(5.0f, 4, Outcome::kCommand), 0);
  startVelocity(0.1f, 0.0f);
  int e = -1;
  ASSERT_TRUE(sendStatus(0, &e));
  ASSERT_EQ(0, e);

  // The verdicts stop: sticks are commands until the last verdict is older
  // than half a second, then each is refused, and the latch shows DANGER.
  const size_t echoes = echoes_.size();
  ASSERT_TRUE(waitFor([&] { return sendCentredStick() == Outcome::kDanger; }, kWait, 0.05));
  const auto staleLine = [](const rosgraph_msgs::Log& l)
  { return l.level == rosgraph_msgs::Log::WARN && l.msg.find("No collision verdict for") == 0; };
  EXPECT_TRUE(log_.waitForMatch(staleLine));
  ASSERT_TRUE(echoes_.waitForCount(echoes + 1));
  EXPECT_EQ(1, echoes_.all()[echoes].data);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(Outcome::kDanger, sendCentredStick());

  // Verdicts again: the usual release, fifteen slow clear ones and then one
  // more, not the first fresh one, brings the commands back.
  std::vector<int> echoed(16, -1);
  for (int i = 0; i < 15; ++i)
    ASSERT_TRUE(sendStatus(0, &echoed[i]));
  EXPECT_EQ(Outcome::kDanger, sendCentredStick());
  ASSERT_TRUE(sendStatus(0, &echoed[15]));
  std::vector<int> expected(15, 1);
  expected.push_back(0);
  EXPECT_EQ(expected, echoed);
  EXPECT_EQ(Outcome::kCommand, sendCentredStick());
  settle();
  EXPECT_EQ(echoes + 17, echoes_.size()) << "the stale latch is echoed once, not for every stick";
}

TEST_F(GuardedFlight, SendingLineOnlyForEveryFiftiethStickThatPassesTheGates)
{
  startStandin();
  startGuardedFlight();
  const float height = 7.5f;
  // Each stick carries its own number in the roll channel, so the log line
  // tells which stick it belongs to.
  auto stick = [&] { return sendStick(10.0f * (sticks_sent_ + 1), 0, 0, 0); };

  publishGps(height, 4);
  ASSERT_TRUE(waitFor([&] { return stick() == Outcome::kCommand; }, kWait, 0.02));
  ASSERT_LT(sticks_sent_, 40);
  while (sticks_sent_ < 49)
    ASSERT_EQ(Outcome::kCommand, stick());

  // The 50th stick meets DANGER: counted, but no line.
  int e = -1;
  ASSERT_TRUE(sendStatus(1, &e));
  ASSERT_EQ(Outcome::kDanger, stick());
  for (int i = 0; i < 16; ++i)
    ASSERT_TRUE(sendStatus(0, &e));
  ASSERT_EQ(0, e);
  startClearVerdicts();
  while (sticks_sent_ < 120)
    ASSERT_EQ(Outcome::kCommand, stick());

  char line100[128];
  std::snprintf(line100, sizeof(line100), "sending flag=%d, pitch=%f, roll=%f, z=%f, yaw=%f", 90, 0.0,
                1000.0f / 3333.3333f, height, 0.0);
  ASSERT_TRUE(log_.waitForMatch(test_support::lineIs(line100))) << "no line for the 100th stick";
  settle(0.3);
  std::vector<std::string> sending;
  for (const auto& l : log_.all())
    if (l.msg.compare(0, 8, "sending ") == 0)
      sending.push_back(l.msg);
  EXPECT_EQ(std::vector<std::string>{line100}, sending);
}

TEST_F(GuardedFlight, WithoutSdkNodeEachPassingStickIsOneFailedCallAndNoLogLine)
{
  startGuardedFlight();

  // An SDK node that is registered but drops every connection shows each call.
  DroppingService dropping;
  ASSERT_TRUE(dropping.listening());
  ASSERT_TRUE(registerFakeService(dropping.uri(), true));
  publishGps(3.0f, 4);
  for (int i = 0; i < 50 && dropping.connections() == 0; ++i)
  {
    zyr_sdk::RCChannels rc;
    rc_pub_.publish(rc);
    // Each stick gives either a "Poor GPS" line or a connection.
    const size_t poor = count(kPoorGps);
    waitFor([&] { return count(kPoorGps) > poor || dropping.connections() > 0; });
  }
  ASSERT_EQ(1, dropping.connections());
  const size_t lines = log_.size();

  for (int i = 2; i <= 6; ++i)
  {
    rc_pub_.publish(zyr_sdk::RCChannels());
    EXPECT_TRUE(waitFor([&] { return dropping.connections() >= i; }));
  }
  settle();
  EXPECT_EQ(6, dropping.connections()) << "failed calls must not be retried";

  // Not registered at all: the calls fail at the lookup; the node carries on.
  ASSERT_TRUE(registerFakeService(dropping.uri(), false));
  for (int i = 0; i < 5; ++i)
    rc_pub_.publish(zyr_sdk::RCChannels());
  int e = -1;
  ASSERT_TRUE(sendStatus(2, &e)) << "the node must keep handling messages";
  EXPECT_EQ(0, e);
  settle();
  EXPECT_EQ(6, dropping.connections());
  EXPECT_EQ(lines, log_.size()) << "a failed call must not be logged";
  EXPECT_TRUE(guarded_.running());
}

}  // namespace

int main(int argc, char** argv)
{
  return test_support::runRostest(argc, argv, "test_guarded_flight", 2);
}
