// The monitor's markers: the collision sphere, the vector arrows and the ray
// fan, which draws exactly the rays that the probe casts.
#include <gtest/gtest.h>
#include <ros/time.h>

#include <cmath>

#include "vector_expectations.h"
#include "zyr_collision_avoidance/collision_monitor.h"
#include "zyr_collision_avoidance/collision_probe.h"

using collision_probe::buildFan;
using collision_probe::Fan;

namespace
{
void expectPoint(const geometry_msgs::Point& actual, const Eigen::Vector3f& expected)
{
  EXPECT_EQ(static_cast<double>(expected.x()), actual.x);
  EXPECT_EQ(static_cast<double>(expected.y()), actual.y);
  EXPECT_EQ(static_cast<double>(expected.z()), actual.z);
}
}  // namespace

TEST(Markers, CollisionSphereSitsAtThePointOpaqueRed)
{
  const auto marker = collision_probe::makeCollisionMarker(octomath::Vector3(10.05f, -1.95f, 0.15f));
  EXPECT_EQ("world", marker.header.frame_id);
  EXPECT_TRUE(marker.header.stamp.isZero());
  EXPECT_EQ("", marker.ns);
  EXPECT_EQ(0, marker.id);
  EXPECT_EQ(visualization_msgs::Marker::SPHERE, marker.type);
  EXPECT_EQ(visualization_msgs::Marker::ADD, marker.action);
  EXPECT_EQ(static_cast<double>(10.05f), marker.pose.position.x);
  EXPECT_EQ(static_cast<double>(-1.95f), marker.pose.position.y);
  EXPECT_EQ(static_cast<double>(0.15f), marker.pose.position.z);
  EXPECT_EQ(0.0, marker.pose.orientation.x);
  EXPECT_EQ(1.0, marker.pose.orientation.w);
  EXPECT_EQ(0.5, marker.scale.x);
  EXPECT_EQ(0.5, marker.scale.z);
  EXPECT_EQ(1.0f, marker.color.r);
  EXPECT_EQ(0.0f, marker.color.g);
  EXPECT_EQ(1.0f, marker.color.a);
  EXPECT_TRUE(marker.points.empty());
}

TEST(Markers, VectorArrowIsDrawnOnlyAboveFiveCentimetresAndTakenAwayBelow)
{
  // 0.05f is 0.0500000007 long: above the double threshold.
  const struct
  {
    float x;
    bool drawn;
  } cases[] = {{0.0f, false}, {0.04f, false}, {0.05f, true}, {0.06f, true}};
  for (const auto& c : cases)
  {
    const auto m = collision_probe::makeVectorArrow(Eigen::Vector3f(c.x, 0, 0), 0.5f, 0, 0.5f);
    EXPECT_EQ(c.drawn ? 1.0f : 0.0f, m.color.a) << c.x;
    EXPECT_EQ(c.drawn ? visualization_msgs::Marker::ADD : visualization_msgs::Marker::DELETE, m.action) << c.x;
  }

  const auto arrow = collision_probe::makeVectorArrow(Eigen::Vector3f(1.5f, -2, 0), 0, 0.5f, 0.5f);
  EXPECT_EQ("world", arrow.header.frame_id);
  EXPECT_TRUE(arrow.header.stamp.isZero());
  EXPECT_EQ("", arrow.ns);
  EXPECT_EQ(visualization_msgs::Marker::ARROW, arrow.type);
  EXPECT_EQ(1.0, arrow.pose.orientation.w);  // a unit quaternion, as a viewer expects
  ASSERT_EQ(2u, arrow.points.size());
  expectPoint(arrow.points[0], Eigen::Vector3f::Zero());
  expectPoint(arrow.points[1], Eigen::Vector3f(1.5f, -2, 0));
  EXPECT_EQ(0.05, arrow.scale.x);
  EXPECT_EQ(0.1, arrow.scale.y);
  EXPECT_EQ(0.1, arrow.scale.z);
  EXPECT_EQ(0.5f, arrow.color.g);
  EXPECT_EQ(0.5f, arrow.color.b);
}

TEST(Markers, ShortOrNonFiniteHeadingClearsTheFanWithOneDeleteAllArrow)
{
  ros::Time::init();
  const auto array = collision_probe::makeRaycastArray(Eigen::Vector3f(0.01f, 0, 0), 20.0);
  ASSERT_EQ(1u, array.markers.size());
  const auto& arrow = array.markers[0];
  EXPECT_EQ(1, arrow.id);
  EXPECT_EQ(visualization_msgs::Marker::DELETEALL, arrow.action);
  EXPECT_EQ(visualization_msgs::Marker::ARROW, arrow.type);
  ASSERT_EQ(2u, arrow.points.size());
  expectPoint(arrow.points[0], Eigen::Vector3f::Zero());
  expectPoint(arrow.points[1], Eigen::Vector3f(0.01f, 0, 0));

  const auto nan = collision_probe::makeRaycastArray(Eigen::Vector3f(std::nanf(""), 1, 0), 20.0);
  ASSERT_EQ(1u, nan.markers.size());
  EXPECT_EQ(visualization_msgs::Marker::DELETEALL, nan.markers[0].action);
  expectPoint(nan.markers[0].points[1], Eigen::Vector3f::Zero());
}

TEST(Markers, RayFanDrawsExactlyTheRaysThatAreCast)
{
  ros::Time::init();
  const auto array = collision_probe::makeRaycastArray(Eigen::Vector3f(1, 0, 0), 5.0);
  ASSERT_EQ(60u, array.markers.size());
  const Fan fan = buildFan(Eigen::Vector3f(1, 0, 0), 5.0);
  for (int id = 0; id < collision_probe::kRayCount; ++id)
  {
    const auto& arrow = array.markers[id];
    EXPECT_EQ(id, arrow.id);
    EXPECT_EQ(visualization_msgs::Marker::ADD, arrow.action);
    ASSERT_EQ(2u, arrow.points.size());
    expectPoint(arrow.points[0], fan.rays[id].start);
    expectPoint(arrow.points[1], fan.rays[id].end);
  }
  const auto pointOf = [&](int id, int end)
  {
    const auto& p = array.markers[id].points[end];
    return Eigen::Vector3f(p.x, p.y, p.z);
  };
  expectVector(pointOf(0, 0), 0, -0.9f, -0.3f);
  expectVector(pointOf(0, 1), 5, -2.4f, -0.9f);
  expectVector(pointOf(59, 0), 0, 0.72f, 0.2f);
  expectVector(pointOf(59, 1), 5, 1.92f, 0.6f);
  expectVector(pointOf(6, 0), 0, -0.72f, -0.3f);
  expectVector(pointOf(6, 1), 5, -1.92f, -0.9f);
}

TEST(Markers, RayArrowCarriesItsNamespaceStampAndStyle)
{
  ros::Time::init();
  const auto arrow = generateArrow(Eigen::Vector3f(0, 1, 2), Eigen::Vector3f(3, 4, 5), 17, true);
  EXPECT_EQ("world", arrow.header.frame_id);
  EXPECT_FALSE(arrow.header.stamp.isZero());
  EXPECT_EQ("world", arrow.ns);
  EXPECT_EQ(17, arrow.id);
  EXPECT_EQ(visualization_msgs::Marker::ARROW, arrow.type);
  EXPECT_EQ(visualization_msgs::Marker::ADD, arrow.action);
  EXPECT_EQ(1.0, arrow.pose.orientation.w);
  EXPECT_EQ(0.01, arrow.scale.x);
  EXPECT_EQ(0.1, arrow.scale.y);
  EXPECT_EQ(0.1, arrow.scale.z);
  EXPECT_EQ(0.5f, arrow.color.r);
  EXPECT_EQ(0.5f, arrow.color.g);
  EXPECT_EQ(0.0f, arrow.color.b);
  EXPECT_EQ(1.0f, arrow.color.a);
  EXPECT_TRUE(arrow.lifetime.isZero());
  EXPECT_FALSE(arrow.frame_locked);
  EXPECT_EQ(visualization_msgs::Marker::DELETEALL,
            generateArrow(Eigen::Vector3f::Zero(), Eigen::Vector3f::Zero(), 1, false).action);
}
