// guarded_flight on SIGINT and SIGTERM, against the SDK node stand-in in its
// answering, slow and hung modes, and without one.
#include <gtest/gtest.h>
#include <ros/ros.h>
#include <zyr_sdk/RCChannels.h>
#include <zyr_simulation/AttitudeCommand.h>
#include <zyr_simulation/SdkPermissionRequest.h>

#include <csignal>
#include <map>
#include <string>
#include <utility>

#include "guarded_flight_fixture.h"

using namespace guarded_flight_test;

namespace
{

// SIGINT: exactly one release request (control_enable 0), then exit 0.
class GuardedFlightSigint : public GuardedFlight
{
protected:
  void expectOneReleaseAfterExit()
  {
    EXPECT_TRUE(permissions_.waitForCount(1)) << "no release request";
    settle();
    ASSERT_EQ(1u, permissions_.size());
    EXPECT_EQ(0, permissions_.back().control_enable);
  }

  // With GPS given, publishes sticks until the stand-in has recorded an
  // attitude-control request. Against a stand-in that never answers, the
  // spin thread then sits in that call.
  bool sticksUntilFirstRequest()
  {
    publishGps(5.0f, 4);
    return waitFor(
        [&]
        {
          rc_pub_.publish(zyr_sdk::RCChannels());
          return commands_.waitForCount(1, 0.2);
        });
  }

  // SIGINT while the spin thread sits in an attitude call the stand-in (set up
  // by `params`) never answers: the release still goes out once, exit 0.
  void interruptStuckAttitudeCall(std::map<std::string, std::string> params)
  {
    startStandin(std::move(params));
    startGuardedFlight();
    ASSERT_TRUE(sticksUntilFirstRequest());
    ASSERT_TRUE(guarded_.signal(SIGINT));
    ASSERT_TRUE(guarded_.waitExit(kWait)) << "no exit after SIGINT";
    EXPECT_TRUE(guarded_.exitedWith(0)) << guarded_.describe();
    expectOneReleaseAfterExit();
  }
};

TEST_F(GuardedFlightSigint, WithSdkNodeReleasesOnceAndExitsZero)
{
  startStandin();
  startGuardedFlight();
  ASSERT_GT(gpsUntil(5.0f, 4, Outcome::kCommand), 0);
  ASSERT_TRUE(guarded_.signal(SIGINT));
  ASSERT_TRUE(guarded_.waitExit(kWait)) << "no exit after SIGINT";
  EXPECT_TRUE(guarded_.exitedWith(0)) << guarded_.describe();
  expectOneReleaseAfterExit();
}

TEST_F(GuardedFlightSigint, WithoutSdkNodeExitsZero)
{
  startGuardedFlight();
  ASSERT_TRUE(guarded_.signal(SIGINT));
  ASSERT_TRUE(guarded_.waitExit(kWait)) << "no exit after SIGINT";
  EXPECT_TRUE(guarded_.exitedWith(0)) << guarded_.describe();
}

TEST_F(GuardedFlightSigint, WhileStuckInAttitudeCallReleasesAndExitsZero)
{
  interruptStuckAttitudeCall({{"attitude_control/mode", "never"}});
}

TEST_F(GuardedFlightSigint, WithHungSdkNodeExitsZeroWithoutTheAnswer)
{
  interruptStuckAttitudeCall({{"attitude_control/mode", "never"}, {"sdk_permission_control/mode", "never"}});
}

TEST_F(GuardedFlightSigint, NoCommandAfterTheReleaseAndASecondSigintEndsTheNodeAtOnce)
{
  // The SDK node takes a second to answer the release.
  startStandin({{"sdk_permission_control/mode", "slow"}, {"sdk_permission_control/delay", "1.0"}});
  startGuardedFlight();
  ASSERT_GT(gpsUntil(5.0f, 4, Outcome::kCommand), 0);
  // Centred sticks at 50 Hz, as the SDK node streams them.
  stick_timer_ =
      nh_.createWallTimer(ros::WallDuration(0.02), [this](const ros::WallTimerEvent&) { publishStick(0, 0, 0, 0); });
  ASSERT_TRUE(commands_.waitForCount(commands_.size() + 10));

  ASSERT_TRUE(guarded_.signal(SIGINT));
  zyr_simulation::SdkPermissionRequest release;
  ASSERT_TRUE(permissions_.waitForMatch([](const zyr_simulation::SdkPermissionRequest&) { return true; }, &release));
  settle(0.4);  // sticks go on arriving while the answer is pending
  const ros::WallTime second = ros::WallTime::now();
  ASSERT_TRUE(guarded_.signal(SIGINT));
  ASSERT_TRUE(guarded_.waitExit(kWait));
  // Ended by the second signal itself, not by the answer due 0.6 s later.
  EXPECT_TRUE(guarded_.killedBy(SIGINT)) << guarded_.describe() << ", " << (ros::WallTime::now() - second).toSec()
                                         << " s after the second SIGINT";
  stick_timer_.stop();

  EXPECT_EQ(0u, commands_.count([&](const zyr_simulation::AttitudeCommand& c)
                                { return c.header.stamp >= release.header.stamp; }))
      << "attitude-control requests after the release request";
  EXPECT_EQ(1u, permissions_.size());
}

TEST_F(GuardedFlightSigint, SigtermKeepsItsDefaultActionWithoutRelease)
{
  startStandin();
  startGuardedFlight();
  ASSERT_TRUE(guarded_.signal(SIGTERM));
  ASSERT_TRUE(guarded_.waitExit(kWait));
  EXPECT_TRUE(guarded_.killedBy(SIGTERM)) << guarded_.describe();
  settle();
  EXPECT_EQ(0u, permissions_.size());
}

}  // namespace
