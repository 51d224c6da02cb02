// The attitude the flight controller reports (front-right-down body in
// north-east-down) as the rotation of "drone" (front-right-down) in "world"
// (east-north-up), against rotations worked out by hand, and the LiDAR's
// mounting.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "zyr_collision_avoidance/attitude_conversion.h"

using Eigen::Quaterniond;
using Eigen::Vector3d;

namespace
{
const double kS = std::sqrt(0.5);
const double kDeg = M_PI / 180.0;

struct Case
{
  const char* what;
  Quaterniond reported;             // (w, x, y, z) in north-east-down
  Vector3d nose, rightWing, belly;  // body x, y, z in east-north-up
};

void expectNear(const Vector3d& expected, const Vector3d& actual, const char* what, const char* axis)
{
  EXPECT_TRUE(actual.isApprox(expected, 1e-9) || (actual - expected).norm() < 1e-9)
      << what << ", " << axis << ": (" << actual.transpose() << ") instead of (" << expected.transpose() << ")";
}
}  // namespace

TEST(AttitudeConversion, BodyAxesLandWhereTheAircraftPoints)
{
  const double c15 = std::cos(15 * kDeg), s15 = std::sin(15 * kDeg);
  const double c30 = std::cos(30 * kDeg), s30 = std::sin(30 * kDeg);
  const double c5 = std::cos(5 * kDeg), s5 = std::sin(5 * kDeg);
  const double c10 = std::cos(10 * kDeg), s10 = std::sin(10 * kDeg);
  const Case cases[] = {
      {"level, nose north", {1, 0, 0, 0}, {0, 1, 0}, {1, 0, 0}, {0, 0, -1}},
      {"level, nose east", {kS, 0, 0, kS}, {1, 0, 0}, {0, -1, 0}, {0, 0, -1}},
      {"level, nose south", {0, 0, 0, 1}, {0, -1, 0}, {-1, 0, 0}, {0, 0, -1}},
      {"level, nose west", {kS, 0, 0, -kS}, {-1, 0, 0}, {0, 1, 0}, {0, 0, -1}},
      // Right wing down: it points east and down, the belly swings west.
      {"rolled 30 deg right, nose north", {c15, s15, 0, 0}, {0, 1, 0}, {c30, 0, -s30}, {-s30, 0, -c30}},
      // Nose up: it points north and up, the belly swings forward.
      {"pitched 10 deg up, nose north", {c5, 0, s5, 0}, {0, c10, s10}, {1, 0, 0}, {0, s10, -c10}},
  };
  for (const Case& c : cases)
  {
    Quaterniond q;
    ASSERT_TRUE(
        attitude_conversion::worldFromAttitude(c.reported.w(), c.reported.x(), c.reported.y(), c.reported.z(), &q))
        << c.what;
    EXPECT_NEAR(1.0, q.norm(), 1e-12) << c.what;
    expectNear(c.nose, q * Vector3d::UnitX(), c.what, "nose (x)");
    expectNear(c.rightWing, q * Vector3d::UnitY(), c.what, "right wing (y)");
    expectNear(c.belly, q * Vector3d::UnitZ(), c.what, "belly (z)");
  }
}

TEST(AttitudeConversion, TheMonitorsStickPointLandsOnTheAircraftsRightAndAbove)
{
  // Nose east: roll right (y = roll) points south, throttle up (z = -throttle) points up.
  Quaterniond q;
  ASSERT_TRUE(attitude_conversion::worldFromAttitude(kS, 0, 0, kS, &q));
  expectNear({0, -3, 2}, q * Vector3d(0, 3, -2), "stick point", "roll right, throttle up");
}

TEST(AttitudeConversion, WhatIsNoRotationIsRefusedAndANearUnitOneNormalised)
{
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const double refused[][4] = {{nan, 0, 0, 0}, {1, 0, inf, 0}, {0, 0, 0, 0}, {0.8, 0, 0, 0}, {1.2, 0, 0, 0}};
  Quaterniond untouched(0.5, 0.5, 0.5, 0.5);
  for (const auto& r : refused)
  {
    Quaterniond q = untouched;
    EXPECT_FALSE(attitude_conversion::worldFromAttitude(r[0], r[1], r[2], r[3], &q)) << r[0] << " " << r[2];
    EXPECT_TRUE(q.coeffs() == untouched.coeffs());
  }
  Quaterniond q;
  ASSERT_TRUE(attitude_conversion::worldFromAttitude(1.05, 0, 0, 0, &q));
  EXPECT_NEAR(1.0, q.norm(), 1e-12);
  expectNear({0, 1, 0}, q * Vector3d::UnitX(), "norm 1.05", "nose");
}

TEST(AttitudeConversion, MountingTurnsAboutFixedAxesRollFirst)
{
  // Half a turn about x: a LiDAR with z up and y left under a front-right-down body.
  const Eigen::Matrix3d flipped = attitude_conversion::mountingRotation(M_PI, 0, 0).toRotationMatrix();
  EXPECT_TRUE(flipped.isApprox(Vector3d(1, -1, -1).asDiagonal().toDenseMatrix(), 1e-12));
  // Roll first, then yaw: the LiDAR's y goes to the body's z, its x to the body's y.
  const Quaterniond q = attitude_conversion::mountingRotation(M_PI / 2, 0, M_PI / 2);
  expectNear({0, 0, 1}, q * Vector3d::UnitY(), "roll then yaw", "y");
  expectNear({0, 1, 0}, q * Vector3d::UnitX(), "roll then yaw", "x");
}
