// The GuardedFlight fixture: the test plays the world around a guarded_flight
// (and an SDK node stand-in) that it starts as child processes, publishing
// sticks, GPS, velocity and collision status and recording the stand-in's
// requests, the debug echo and the node's log lines.
#ifndef ZYR_SIMULATION_TEST_GUARDED_FLIGHT_FIXTURE_H
#define ZYR_SIMULATION_TEST_GUARDED_FLIGHT_FIXTURE_H

#include <gtest/gtest.h>
#include <ros/ros.h>
#include <rosgraph_msgs/Log.h>
#include <std_msgs/UInt8.h>
#include <zyr_sdk/GlobalPosition.h>
#include <zyr_sdk/RCChannels.h>
#include <zyr_sdk/Velocity.h>
#include <zyr_simulation/AttitudeCommand.h>
#include <zyr_simulation/SdkPermissionRequest.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "zyr_test_support/child_process.h"
#include "zyr_test_support/inbox.h"

namespace guarded_flight_test
{
using test_support::ChildProcess;
using test_support::findExecutable;
using test_support::Inbox;
using test_support::kWait;
using test_support::settle;
using test_support::waitFor;

const char kNode[] = "/guarded_flight";
const char kPoorGps[] = "Poor GPS, quit callback";
const char kDanger[] = "collision_status == DANGER, no remapping";

enum class Outcome
{
  kCommand,
  kPoorGps,
  kDanger,
  kNothing
};

inline std::ostream& operator<<(std::ostream& out, Outcome outcome)
{
  const char* names[] = {"a command", "a \"Poor GPS\" line", "a DANGER line", "nothing"};
  return out << names[static_cast<int>(outcome)];
}

class GuardedFlight : public ::testing::Test
{
protected:
  void SetUp() override
  {
    guarded_path_ = findExecutable("zyr_collision_avoidance", "guarded_flight");
    standin_path_ = findExecutable("zyr_simulation", "sdk_standin");
    ASSERT_FALSE(guarded_path_.empty()) << "guarded_flight not built";
    ASSERT_FALSE(standin_path_.empty()) << "sdk_standin not built";

    rc_pub_ = nh_.advertise<zyr_sdk::RCChannels>("zyr_sdk/rc_channels", 100);
    gps_pub_ = nh_.advertise<zyr_sdk::GlobalPosition>("zyr_sdk/global_position", 100);
    vel_pub_ = nh_.advertise<zyr_sdk::Velocity>("zyr_sdk/velocity", 100);
    status_pub_ = nh_.advertise<std_msgs::UInt8>("collision_info_msg", 100);
  }

  void TearDown() override
  {
    vel_timer_.stop();
    stick_timer_.stop();
    verdict_timer_.stop();
    guarded_.stop(kWait);
    standin_.stop(kWait);
  }

  size_t count(const std::string& line)
  {
    return log_.count(test_support::lineIs(line, rosgraph_msgs::Log::INFO));
  }

  // Starts the stand-in with its streams off (the test publishes them) and
  // the given private parameters; waits until it serves and records.
  void startStandin(std::map<std::string, std::string> params = {})
  {
    ros::param::del("/sdk_standin");
    ros::param::set("/sdk_standin/publish_velocity", false);
    ros::param::set("/sdk_standin/publish_rc_channels", false);
    ros::param::set("/sdk_standin/publish_global_position", false);
    for (const auto& p : params)
      ros::param::set("/sdk_standin/" + p.first, p.second);
    startStandinWithParamsSet();
  }

  void startStandinWithParamsSet()
  {
    const uint32_t rosout_before = log_.subscriber().getNumPublishers();
    ASSERT_TRUE(standin_.start(standin_path_, {"__name:=sdk_standin"}));
    ASSERT_TRUE(waitFor(
        [&]
        {
          return commands_.subscriber().getNumPublishers() > 0 && permissions_.subscriber().getNumPublishers() > 0 &&
                 log_.subscriber().getNumPublishers() > rosout_before &&
                 ros::service::exists("zyr_sdk/attitude_control", false) &&
                 ros::service::exists("zyr_sdk/sdk_permission_control", false);
        }))
        << "the stand-in did not come up";
  }

  void startGuardedFlight()
  {
    const uint32_t rosout_before = log_.subscriber().getNumPublishers();
    ASSERT_TRUE(guarded_.start(guarded_path_, {}));
    ASSERT_TRUE(waitFor(
        [&]
        {
          return rc_pub_.getNumSubscribers() > 0 && gps_pub_.getNumSubscribers() > 0 &&
                 vel_pub_.getNumSubscribers() > 0 && status_pub_.getNumSubscribers() > 0 &&
                 echoes_.subscriber().getNumPublishers() > 0 && log_.subscriber().getNumPublishers() > rosout_before;
        }))
        << "guarded_flight did not come up";
  }

  void publishGps(float height, int8_t health)
  {
    zyr_sdk::GlobalPosition gps;
    gps.header.stamp = ros::Time::now();
    gps.height = height;
    gps.health = health;
    gps_pub_.publish(gps);
  }

  void publishStick(float roll, float pitch, float yaw, float throttle)
  {
    zyr_sdk::RCChannels rc;
    rc.header.stamp = ros::Time::now();
    rc.roll = roll;
    rc.pitch = pitch;
    rc.yaw = yaw;
    rc.throttle = throttle;
    rc_pub_.publish(rc);
  }

  // Publishes one stick message and waits for what it leads to: exactly one
  // of a command at the stand-in, a "Poor GPS" line or a DANGER line.
  Outcome sendStick(float roll, float pitch, float yaw, float throttle,
                    zyr_simulation::AttitudeCommand* command = nullptr)
  {
    const size_t commands = commands_.size(), poor = count(kPoorGps), danger = count(kDanger);
    publishStick(roll, pitch, yaw, throttle);
    ++sticks_sent_;
    Outcome outcome = Outcome::kNothing;
    waitFor(
        [&]
        {
          if (commands_.size() > commands)
            outcome = Outcome::kCommand;
          else if (count(kPoorGps) > poor)
            outcome = Outcome::kPoorGps;
          else if (count(kDanger) > danger)
            outcome = Outcome::kDanger;
          return outcome != Outcome::kNothing;
        });
    if (outcome == Outcome::kCommand && command)
      *command = commands_.back();
    return outcome;
  }

  Outcome sendCentredStick(zyr_simulation::AttitudeCommand* command = nullptr)
  {
    return sendStick(0, 0, 0, 0, command);
  }

  // Publishes a GPS message, then sticks until one gives `wanted`; the GPS
  // message travels on its own connection, so the first sticks may still
  // meet the old state. Returns the sticks sent.
  int gpsUntil(float height, int8_t health, Outcome wanted)
  {
    publishGps(height, health);
    int sent = 0;
    if (waitFor(
            [&]
            {
              ++sent;
              return sendCentredStick() == wanted;
            },
            kWait, 0.02))
      return sent;
    ADD_FAILURE() << "GPS message without effect";
    return -1;
  }

  // Publishes one collision status and waits for its echo.
  bool sendStatus(uint8_t value, int* echoed)
  {
    const size_t before = echoes_.size();
    test_support::publishData<std_msgs::UInt8>(status_pub_, value);
    if (!echoes_.waitForCount(before + 1))
      return false;
    *echoed = echoes_.all()[before].data;
    return true;
  }

  // Keeps publishing a horizontal velocity, as the SDK node does. The node
  // shows no sign of a velocity message, so the status echo that follows a
  // few of them stands for their arrival: the status it answers was sent
  // after them.
  void startVelocity(float vx, float vy)
  {
    ASSERT_TRUE(waitFor([&] { return vel_pub_.getNumSubscribers() > 0; }));
    vel_timer_ = nh_.createWallTimer(ros::WallDuration(0.02),
                                     [this, vx, vy](const ros::WallTimerEvent&)
                                     {
                                       zyr_sdk::Velocity v;
                                       v.header.stamp = ros::Time::now();
                                       v.vx = vx;
                                       v.vy = vy;
                                       v.vz = 1.5f;  // vertical speed plays no part
                                       v.health_flag = 1;
                                       vel_pub_.publish(v);
                                       ++velocities_published_;
                                     });
    ASSERT_TRUE(waitFor([&] { return velocities_published_ >= 3; }));
    int echoed = -1;
    ASSERT_TRUE(sendStatus(2, &echoed));  // 2 changes nothing
  }

  // Keeps publishing clear verdicts ten times a second, as the monitor does:
  // the node sends no command on a verdict older than half a second.
  void startClearVerdicts()
  {
    verdict_timer_ = nh_.createWallTimer(ros::WallDuration(0.1), [this](const ros::WallTimerEvent&)
                                         { test_support::publishData<std_msgs::UInt8>(status_pub_, 0); });
  }

  ros::NodeHandle nh_;
  std::string guarded_path_, standin_path_;
  ChildProcess guarded_, standin_;
  ros::Publisher rc_pub_, gps_pub_, vel_pub_, status_pub_;
  ros::WallTimer vel_timer_, stick_timer_, verdict_timer_;
  std::atomic<int> velocities_published_{0};
  int sticks_sent_ = 0;

  Inbox<zyr_simulation::AttitudeCommand> commands_{nh_, "/sdk_standin/attitude_requests"};
  Inbox<zyr_simulation::SdkPermissionRequest> permissions_{nh_, "/sdk_standin/permission_requests"};
  Inbox<std_msgs::UInt8> echoes_{nh_, "zyr_collision_avoidance/debug_guarded_flight"};
  Inbox<rosgraph_msgs::Log> log_{nh_, "/rosout", test_support::fromNode(kNode)};  // the node's own lines
};
}  // namespace guarded_flight_test

#endif  // ZYR_SIMULATION_TEST_GUARDED_FLIGHT_FIXTURE_H
