// The MD5 sums are what publishers, subscribers and service clients announce
// in the connection handshake; a mismatch with the SDK node or with a peer's
// octomap message makes ROS refuse the connection silently.
#include <gtest/gtest.h>
#include <octomap_msgs/Octomap.h>
#include <ros/message_traits.h>
#include <ros/service_traits.h>
#include <std_msgs/UInt8.h>
#include <zyr_sdk/AttitudeControl.h>
#include <zyr_sdk/AttitudeQuaternion.h>
#include <zyr_sdk/GlobalPosition.h>
#include <zyr_sdk/RCChannels.h>
#include <zyr_sdk/SDKPermissionControl.h>
#include <zyr_sdk/Velocity.h>

#include <cstring>
#include <string>

template <class M>
std::string md5()
{
  return ros::message_traits::MD5Sum<M>::value();
}

TEST(MessageContract, SdkTypesMatchTheSdkNodesHandshake)
{
  EXPECT_EQ("a89d7216b2636ddc4fc4375ae77dc15c", md5<zyr_sdk::Velocity>());
  EXPECT_EQ("6c42f5c30aa4b241b68bd1be86dd3fec", md5<zyr_sdk::RCChannels>());
  EXPECT_EQ("999d24c7cb273aa4f2c6044f85cac84c", md5<zyr_sdk::AttitudeQuaternion>());
  EXPECT_EQ("10784f0f63ab6f41e201fee714fabb2a", md5<zyr_sdk::GlobalPosition>());
  EXPECT_EQ("de4f6d2b1e0b995a7d472739c6318805",
            std::string(ros::service_traits::md5sum<zyr_sdk::SDKPermissionControl>()));
  EXPECT_EQ("29c0571c7f764a69752f1f1d3dac2ca2",
            std::string(ros::service_traits::md5sum<zyr_sdk::AttitudeControl>()));
}

TEST(MessageContract, SharedStandardTypesMatchTheEcosystem)
{
  EXPECT_EQ("7c8164229e7d2c17eb95e9231617fdee", md5<std_msgs::UInt8>());
  EXPECT_EQ("9a45536b45c5e409cd49f04bb2d9999f", md5<octomap_msgs::Octomap>());
  EXPECT_EQ("octomap_msgs/Octomap", std::string(ros::message_traits::DataType<octomap_msgs::Octomap>::value()));
}

TEST(MessageContract, AttitudeRequestIsSeventeenBytesPitchBeforeRoll)
{
  zyr_sdk::AttitudeControl::Request request;
  request.flag = 74;
  request.x = 1.5f;   // pitch
  request.y = -2.0f;  // roll
  request.z = 0.25f;
  request.yaw = 45.0f;
  EXPECT_EQ(17u, ros::serialization::serializationLength(request));
  uint8_t buffer[17];
  ros::serialization::OStream stream(buffer, sizeof(buffer));
  ros::serialization::serialize(stream, request);
  float pitch = 0.0f, roll = 0.0f;
  std::memcpy(&pitch, buffer + 1, 4);
  std::memcpy(&roll, buffer + 5, 4);
  EXPECT_EQ(74, buffer[0]);
  EXPECT_EQ(1.5f, pitch);
  EXPECT_EQ(-2.0f, roll);
}
