// The stand-in's scripted profile, without a ROS master.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "zyr_simulation/sdk_profile.h"
#include "zyr_test_support/error_text.h"

using zyr_simulation::parseProfile;
using zyr_simulation::ProfileStep;
using zyr_simulation::stepAt;

namespace
{
std::string errorOf(const XmlRpc::XmlRpcValue& value)
{
  return test_support::errorText<std::invalid_argument>([&] { parseProfile(value); }, "accepted");
}
}  // namespace

TEST(SdkProfile, UnsetParameterGivesOneHealthyStepAtRest)
{
  const auto steps = parseProfile(XmlRpc::XmlRpcValue());
  ASSERT_EQ(1u, steps.size());
  EXPECT_EQ(0.0f, steps[0].throttle);
  EXPECT_EQ(0.0f, steps[0].vx);
  EXPECT_EQ(1, steps[0].health_flag);
  EXPECT_GT(steps[0].health, 2);
}

TEST(SdkProfile, FieldsLeftOutCarryOverFromTheStepBefore)
{
  XmlRpc::XmlRpcValue p;
  p[0]["duration"] = 2;
  p[0]["roll"] = 1000;
  p[0]["height"] = 3.5;
  p[0]["health"] = -3;
  p[1]["pitch"] = -2000.5;
  p[1]["health_flag"] = 0;
  const auto steps = parseProfile(p);
  ASSERT_EQ(2u, steps.size());
  EXPECT_EQ(2.0, steps[0].duration);
  EXPECT_EQ(-3, steps[0].health);
  EXPECT_EQ(1000.0f, steps[1].roll);
  EXPECT_EQ(-2000.5f, steps[1].pitch);
  EXPECT_EQ(3.5f, steps[1].height);
  EXPECT_EQ(-3, steps[1].health);
  EXPECT_EQ(0, steps[1].health_flag);
  EXPECT_EQ(2.0, steps[1].duration);
}

TEST(SdkProfile, LastStepHoldsUnlessLooping)
{
  std::vector<ProfileStep> steps(2);
  steps[0].duration = 1.0;
  steps[0].roll = 1;
  steps[1].duration = 0.5;
  steps[1].roll = 2;
  EXPECT_EQ(1, stepAt(steps, 0.0, false).roll);
  EXPECT_EQ(1, stepAt(steps, 0.99, false).roll);
  EXPECT_EQ(2, stepAt(steps, 1.0, false).roll);
  EXPECT_EQ(2, stepAt(steps, 100.0, false).roll);
  EXPECT_EQ(1, stepAt(steps, 1.6, true).roll);
  EXPECT_EQ(2, stepAt(steps, 2.7, true).roll);
}

TEST(SdkProfile, BadProfilesAreRejectedNamingStepAndField)
{
  XmlRpc::XmlRpcValue unknown;
  unknown[0]["rol"] = 1;
  EXPECT_EQ("profile step 1 field \"rol\" is unknown", errorOf(unknown));

  XmlRpc::XmlRpcValue text;
  text[0]["roll"] = 1;
  text[1]["pitch"] = std::string("up");
  EXPECT_EQ("profile step 2 field \"pitch\" is not a number", errorOf(text));

  XmlRpc::XmlRpcValue zero;
  zero[0]["duration"] = 0;
  EXPECT_EQ("profile step 1 field \"duration\" must be positive", errorOf(zero));

  XmlRpc::XmlRpcValue health;
  health[0]["health"] = 200;
  EXPECT_EQ("profile step 1 field \"health\" is out of range", errorOf(health));

  XmlRpc::XmlRpcValue huge;
  huge[0]["vx"] = 1e300;
  EXPECT_EQ("profile step 1 field \"vx\" is out of range", errorOf(huge));

  XmlRpc::XmlRpcValue scalar(5);
  EXPECT_EQ("profile must be a non-empty list of steps", errorOf(scalar));

  XmlRpc::XmlRpcValue list_of_numbers;
  list_of_numbers[0] = 1;
  EXPECT_EQ("profile step 1 is not a struct of fields", errorOf(list_of_numbers));
}
