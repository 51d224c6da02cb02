// What state_bridge publishes for the SDK node's subscribers, recorded, for
// the tests that run the bridge against a state server.
#ifndef ZYR_TEST_SUPPORT_BRIDGE_OUTPUTS_H
#define ZYR_TEST_SUPPORT_BRIDGE_OUTPUTS_H

#include <ros/ros.h>
#include <zyr_sdk/AttitudeQuaternion.h>
#include <zyr_sdk/RCChannels.h>
#include <zyr_sdk/Velocity.h>

#include "zyr_test_support/inbox.h"

namespace test_support
{
struct BridgeOutputs
{
  explicit BridgeOutputs(ros::NodeHandle& nh)
      : velocities(nh, "/zyr_sdk/velocity"),
        attitudes(nh, "/zyr_sdk/attitude_quaternion"),
        rcs(nh, "/zyr_sdk/rc_channels")
  {
  }

  // True when a bridge publishes on every topic to this test.
  bool linked() const
  {
    return velocities.subscriber().getNumPublishers() > 0 && attitudes.subscriber().getNumPublishers() > 0 &&
           rcs.subscriber().getNumPublishers() > 0;
  }

  void clear()
  {
    velocities.clear();
    attitudes.clear();
    rcs.clear();
  }

  Inbox<zyr_sdk::Velocity> velocities;
  Inbox<zyr_sdk::AttitudeQuaternion> attitudes;
  Inbox<zyr_sdk::RCChannels> rcs;
};
}  // namespace test_support

#endif  // ZYR_TEST_SUPPORT_BRIDGE_OUTPUTS_H
