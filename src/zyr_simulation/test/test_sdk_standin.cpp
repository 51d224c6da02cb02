// The SDK node stand-in on its own: scripted streams, streams switched off,
// live height and GPS health, the ways it answers, and its records. Each test
// starts its own stand-in, with the parameters it needs.
#include <gtest/gtest.h>
#include <ros/ros.h>
#include <std_msgs/Float32.h>
#include <std_msgs/Int8.h>
#include <zyr_sdk/AttitudeControl.h>
#include <zyr_sdk/GlobalPosition.h>
#include <zyr_sdk/RCChannels.h>
#include <zyr_sdk/SDKPermissionControl.h>
#include <zyr_sdk/Velocity.h>
#include <zyr_simulation/AttitudeCommand.h>
#include <zyr_simulation/SdkPermissionRequest.h>
#include <zyr_simulation/SdkServiceBehaviour.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "zyr_test_support/child_process.h"
#include "zyr_test_support/inbox.h"
#include "zyr_test_support/rostest_main.h"

using test_support::Inbox;

namespace
{
using test_support::kWait;

class SdkStandin : public ::testing::Test
{
protected:
  void SetUp() override
  {
    path_ = test_support::findExecutable("zyr_simulation", "sdk_standin");
    ASSERT_FALSE(path_.empty());
    ros::param::del("/sdk_standin");
    height_pub_ = nh_.advertise<std_msgs::Float32>("/sdk_standin/set_height", 10);
    health_pub_ = nh_.advertise<std_msgs::Int8>("/sdk_standin/set_gps_health", 10);
    behaviour_pub_ = nh_.advertise<zyr_simulation::SdkServiceBehaviour>("/sdk_standin/set_behaviour", 10);
  }

  void TearDown() override
  {
    standin_.stop(kWait);
  }

  void start()
  {
    ASSERT_TRUE(standin_.start(path_, {"__name:=sdk_standin"}));
    ASSERT_TRUE(test_support::waitFor(
        [&]
        {
          return attitude_.subscriber().getNumPublishers() > 0 && behaviour_pub_.getNumSubscribers() > 0 &&
                 ros::service::exists("zyr_sdk/attitude_control", false);
        }))
        << "the stand-in did not come up";
  }

  // Changes how a service answers and waits until the change is in force.
  void behave(const std::string& service, const std::string& mode, double delay = 0.0)
  {
    zyr_simulation::SdkServiceBehaviour b;
    b.service = service;
    b.mode = mode;
    b.delay = delay;
    const size_t before = behaviour_.size();
    behaviour_pub_.publish(b);
    ASSERT_TRUE(behaviour_.waitForCount(before + 1));
  }

  ros::NodeHandle nh_;
  std::string path_;
  test_support::ChildProcess standin_;
  Inbox<zyr_sdk::Velocity> velocity_{nh_, "zyr_sdk/velocity"};
  Inbox<zyr_sdk::RCChannels> rc_{nh_, "zyr_sdk/rc_channels"};
  Inbox<zyr_sdk::GlobalPosition> gps_{nh_, "zyr_sdk/global_position"};
  Inbox<zyr_simulation::AttitudeCommand> attitude_{nh_, "/sdk_standin/attitude_requests"};
  Inbox<zyr_simulation::SdkPermissionRequest> permission_{nh_, "/sdk_standin/permission_requests"};
  Inbox<zyr_simulation::SdkServiceBehaviour> behaviour_{nh_, "/sdk_standin/behaviour"};
  ros::Publisher height_pub_, health_pub_, behaviour_pub_;
};

TEST_F(SdkStandin, StreamsFollowTheProfileAndLeftOutFieldsCarryOver)
{
  XmlRpc::XmlRpcValue profile;
  profile[0]["duration"] = 3.0;
  profile[0]["roll"] = 1000;
  profile[0]["vx"] = 0.5;
  profile[0]["height"] = 3.0;
  profile[0]["health"] = 4;
  profile[1]["duration"] = 1000.0;
  profile[1]["roll"] = -2000;
  profile[1]["health"] = 1;
  ros::param::set("/sdk_standin/profile", profile);
  start();

  EXPECT_TRUE(rc_.waitForMatch([](const zyr_sdk::RCChannels& m) { return m.roll == 1000.0f; }));
  zyr_sdk::GlobalPosition gps;
  ASSERT_TRUE(gps_.waitForMatch([](const zyr_sdk::GlobalPosition& m) { return m.health == 1; }, &gps));
  EXPECT_EQ(3.0f, gps.height);
  ASSERT_TRUE(rc_.waitForMatch([](const zyr_sdk::RCChannels& m) { return m.roll == -2000.0f; }));
  zyr_sdk::Velocity v;
  ASSERT_TRUE(velocity_.waitForMatch([](const zyr_sdk::Velocity&) { return true; }, &v));
  EXPECT_EQ(0.5f, v.vx);
  EXPECT_EQ(1, v.health_flag);
  // Time stamps and the SDK's own clock run forward.
  const auto rc = rc_.all();
  ASSERT_GE(rc.size(), 2u);
  EXPECT_LE(rc.front().ts, rc.back().ts);
  EXPECT_LT(rc.front().header.stamp, rc.back().header.stamp);
}

TEST_F(SdkStandin, SwitchedOffStreamsStaySilentAndLiveValuesOverrideTheProfile)
{
  ros::param::set("/sdk_standin/publish_velocity", false);
  ros::param::set("/sdk_standin/publish_rc_channels", false);
  XmlRpc::XmlRpcValue profile;
  profile[0]["height"] = 3.0;
  profile[0]["health"] = 4;
  ros::param::set("/sdk_standin/profile", profile);
  start();
  ASSERT_TRUE(gps_.waitForMatch([](const zyr_sdk::GlobalPosition& m) { return m.height == 3.0f && m.health == 4; }));

  ASSERT_TRUE(height_pub_.getNumSubscribers() > 0 && health_pub_.getNumSubscribers() > 0);
  test_support::publishData<std_msgs::Float32>(height_pub_, 42.5f);
  test_support::publishData<std_msgs::Int8>(health_pub_, 2);
  EXPECT_TRUE(gps_.waitForMatch([](const zyr_sdk::GlobalPosition& m) { return m.height == 42.5f && m.health == 2; }));

  EXPECT_EQ(0u, velocity_.subscriber().getNumPublishers());
  EXPECT_EQ(0u, rc_.subscriber().getNumPublishers());
  EXPECT_TRUE(velocity_.all().empty());
  EXPECT_TRUE(rc_.all().empty());
}

TEST_F(SdkStandin, AnswersAsToldAndRecordsEachRequestBeforeAnswering)
{
  const std::string csv = std::string(std::getenv("ROS_LOG_DIR") ? std::getenv("ROS_LOG_DIR") : "/tmp") +
                          "/sdk_standin_test_" + std::to_string(getpid()) + ".csv";
  ros::param::set("/sdk_standin/csv", csv);
  ros::param::set("/sdk_standin/publish_velocity", false);
  ros::param::set("/sdk_standin/publish_rc_channels", false);
  ros::param::set("/sdk_standin/publish_global_position", false);
  start();
  ros::ServiceClient attitude = nh_.serviceClient<zyr_sdk::AttitudeControl>("zyr_sdk/attitude_control");
  ros::ServiceClient permission = nh_.serviceClient<zyr_sdk::SDKPermissionControl>("zyr_sdk/sdk_permission_control");

  zyr_sdk::AttitudeControl srv;
  srv.request.flag = 74;
  srv.request.x = -1.5f;
  srv.request.y = 3.0f;
  srv.request.z = 0.05f;
  srv.request.yaw = -45.0f;
  ASSERT_TRUE(attitude.call(srv));
  EXPECT_TRUE(srv.response.result);
  zyr_simulation::AttitudeCommand record;
  ASSERT_TRUE(attitude_.waitForMatch([](const zyr_simulation::AttitudeCommand& m) { return m.index == 1; }, &record));
  EXPECT_EQ(74, record.flag);
  EXPECT_EQ(-1.5f, record.x);
  EXPECT_EQ(3.0f, record.y);
  EXPECT_EQ(0.05f, record.z);
  EXPECT_EQ(-45.0f, record.yaw);

  behave("attitude_control", "refuse");
  ASSERT_TRUE(attitude.call(srv));
  EXPECT_FALSE(srv.response.result);

  behave("attitude_control", "slow", 0.3);
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(attitude.call(srv));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(300));
  EXPECT_TRUE(srv.response.result);

  // A request left unanswered is recorded at once, and answered when told.
  behave("attitude_control", "never");
  std::atomic<bool> returned(false);
  zyr_sdk::AttitudeControl pending = srv;
  std::thread caller(
      [&]
      {
        attitude.call(pending);
        returned = true;
      });
  EXPECT_TRUE(attitude_.waitForMatch([](const zyr_simulation::AttitudeCommand& m) { return m.index == 4; }));
  // The other service still answers meanwhile.
  zyr_sdk::SDKPermissionControl release;
  release.request.control_enable = 0;
  EXPECT_TRUE(permission.call(release));
  EXPECT_TRUE(release.response.result);
  EXPECT_FALSE(returned);
  behave("", "answer");
  caller.join();
  EXPECT_TRUE(pending.response.result);

  ASSERT_TRUE(permission_.waitForMatch([](const zyr_simulation::SdkPermissionRequest& m)
                                       { return m.index == 1 && m.control_enable == 0; }));
  // One line per request, in the order they came.
  std::ifstream in(csv);
  std::vector<std::vector<std::string>> rows;
  for (std::string line; std::getline(in, line);)
  {
    std::vector<std::string> fields;
    std::stringstream split(line);
    for (std::string field; std::getline(split, field, ',');)
      fields.push_back(field);
    if (!line.empty() && line.back() == ',')
      fields.push_back("");
    rows.push_back(fields);
  }
  ASSERT_EQ(6u, rows.size());
  EXPECT_EQ((std::vector<std::string>{"service", "index", "stamp", "flag", "x", "y", "z", "yaw", "control_enable"}),
            rows[0]);
  for (size_t i = 1; i <= 4; ++i)
  {
    ASSERT_EQ(9u, rows[i].size());
    EXPECT_EQ("attitude_control", rows[i][0]);
    EXPECT_EQ(std::to_string(i), rows[i][1]);
    EXPECT_EQ("74", rows[i][3]);
    EXPECT_EQ(-1.5f, std::stof(rows[i][4]));
    EXPECT_EQ(3.0f, std::stof(rows[i][5]));
    EXPECT_EQ(0.05f, std::stof(rows[i][6]));
    EXPECT_EQ(-45.0f, std::stof(rows[i][7]));
    EXPECT_EQ("", rows[i][8]);
  }
  EXPECT_EQ((std::vector<std::string>{"sdk_permission_control", "1", rows[5][2], "", "", "", "", "", "0"}), rows[5]);
  std::remove(csv.c_str());
}

TEST_F(SdkStandin, BadBehaviourParameterEndsItWithStatusOne)
{
  ros::param::set("/sdk_standin/attitude_control/mode", std::string("sometimes"));
  ASSERT_TRUE(standin_.start(path_, {"__name:=sdk_standin"}));
  ASSERT_TRUE(standin_.waitExit(kWait));
  EXPECT_TRUE(standin_.exitedWith(1)) << standin_.describe();
}
}  // namespace

int main(int argc, char** argv)
{
  return test_support::runRostest(argc, argv, "test_sdk_standin", 2);
}
