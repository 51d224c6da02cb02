// The probe fan, the decision taken from it and the markers, without a ROS
// master.
#include <gtest/gtest.h>
#include <ros/time.h>

#include <cmath>
#include <limits>
#include <memory>
#include <utility>

#include "zyr_collision_avoidance/cloud_insertion.h"
#include "zyr_collision_avoidance/collision_monitor.h"
#include "zyr_collision_avoidance/collision_probe.h"

using collision_probe::buildFan;
using collision_probe::castFan;
using collision_probe::Fan;
using collision_probe::Verdict;

namespace
{
// A tree with the mapper's own sensor model; `resolution` finer than the
// mapper's lets a test place an obstacle exactly between two rays.
std::unique_ptr<octomap::OcTree> mapperTree(double resolution = occupancy_mapping::kResolution)
{
  return std::unique_ptr<octomap::OcTree>(occupancy_mapping::newSensorModelTree(resolution));
}

void occupy(octomap::OcTree& tree, float x, float y, float z)
{
  tree.updateNode(octomap::point3d(x, y, z), true, false);
}

// Occupied cells filling the plane x = `x` for |y| <= 4 and |z| <= 2.
void addWall(octomap::OcTree& tree, float x)
{
  for (float y = -4.0f; y <= 4.0f; y += 0.1f)
    for (float z = -2.0f; z <= 2.0f; z += 0.1f)
      occupy(tree, x, y, z);
  tree.updateInnerOccupancy();
}

Eigen::Vector3f pointOnRay(const collision_probe::Segment& ray, float x)
{
  const float t = (x - ray.start.x()) / (ray.end.x() - ray.start.x());
  return ray.start + t * (ray.end - ray.start);
}

int rayIndex(int j, int k)
{
  return collision_probe::kRows * j + k;
}

void expectVector(const Eigen::Vector3f& actual, float x, float y, float z)
{
  EXPECT_NEAR(x, actual.x(), 1e-5) << actual.transpose();
  EXPECT_NEAR(y, actual.y(), 1e-5) << actual.transpose();
  EXPECT_NEAR(z, actual.z(), 1e-5) << actual.transpose();
}

void expectPoint(const geometry_msgs::Point& actual, const Eigen::Vector3f& expected)
{
  EXPECT_EQ(static_cast<double>(expected.x()), actual.x);
  EXPECT_EQ(static_cast<double>(expected.y()), actual.y);
  EXPECT_EQ(static_cast<double>(expected.z()), actual.z);
}
}  // namespace

TEST(ProbeChoice, AboveAQuarterMetrePerSecondTheVelocityLooksTenSecondsAheadWithinFifteenToTwentyFive)
{
  const Eigen::Vector3f stick(0, 3, 0);
  const std::pair<float, double> cases[] = {{0.26f, 15}, {1.5f, 15}, {2.0f, 20}, {2.4f, 24}, {3.0f, 25}, {40.0f, 25}};
  for (const auto& c : cases)
  {
    SCOPED_TRACE(c.first);
    // The vertical component plays no part.
    const collision_probe::Probe probe = collision_probe::chooseProbe(Eigen::Vector3f(c.first, 0, -7), stick);
    EXPECT_TRUE(probe.alongVelocity);
    EXPECT_NEAR(c.second, probe.range, 1e-5);
    expectVector(probe.direction, c.first, 0, 0);
    EXPECT_FLOAT_EQ(c.first, probe.speed);
    EXPECT_FLOAT_EQ(3.0f, probe.stickLength);
  }
}

TEST(ProbeChoice, AtRestOrWithANaNSpeedTheSticksAreProbedTwentyMetres)
{
  const Eigen::Vector3f stick(1, 2, -2);
  for (const Eigen::Vector3f& velocity :
       {Eigen::Vector3f(0.25f, 0, 0), Eigen::Vector3f(0, 0, 5), Eigen::Vector3f(std::nanf(""), 1, 0)})
  {
    const collision_probe::Probe probe = collision_probe::chooseProbe(velocity, stick);
    EXPECT_FALSE(probe.alongVelocity);
    EXPECT_EQ(20.0, probe.range);
    expectVector(probe.direction, 1, 2, 0);
    expectVector(probe.stick, 1, 2, 0);
  }
}

TEST(ProbeChoice, GarbageMotionGivesAProblemInsteadOfAClearVerdict)
{
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  const Eigen::Vector3f stick(1, 2, 0);
  const auto problem = [](const Eigen::Vector3f& velocity, const Eigen::Vector3f& stick, bool stickUsable = true)
  { return collision_probe::chooseProbe(velocity, stick, stickUsable).problem != nullptr; };
  // A component that is not a number, the vertical one included, or a
  // horizontal length whose square overflows single precision.
  for (const Eigen::Vector3f& velocity :
       {Eigen::Vector3f(nan, 0, 0), Eigen::Vector3f(inf, 0, 0), Eigen::Vector3f(0, -inf, 0), Eigen::Vector3f(0, 0, nan),
        Eigen::Vector3f(1e30f, 0, 0), Eigen::Vector3f(2e19f, 0, 0)})
    EXPECT_TRUE(problem(velocity, stick)) << velocity.transpose();
  // At rest: sticks marked as garbage, or a stick vector that is not finite.
  EXPECT_TRUE(problem(Eigen::Vector3f::Zero(), stick, false));
  EXPECT_TRUE(problem(Eigen::Vector3f::Zero(), Eigen::Vector3f(nan, 0, 0)));
  EXPECT_TRUE(problem(Eigen::Vector3f::Zero(), Eigen::Vector3f(3e38f, 3e38f, 0)));
  // Moving, the sticks play no part; hovering with centred sticks is clear.
  EXPECT_FALSE(problem(Eigen::Vector3f(1, 0, 0), Eigen::Vector3f(nan, 0, 0), false));
  EXPECT_FALSE(problem(Eigen::Vector3f(1e18f, 0, 0), stick));
  EXPECT_FALSE(problem(Eigen::Vector3f::Zero(), Eigen::Vector3f::Zero()));
  EXPECT_FALSE(problem(Eigen::Vector3f(0, 0, 5), stick));

  using collision_probe::queryProblem;
  EXPECT_EQ(nullptr, queryProblem(Eigen::Vector3f(1, 0, 0), 15.0));
  EXPECT_EQ(nullptr, queryProblem(Eigen::Vector3f::Zero(), 20.0));
  EXPECT_NE(nullptr, queryProblem(Eigen::Vector3f(1, 0, 0), 0.0));
  EXPECT_NE(nullptr, queryProblem(Eigen::Vector3f(1, 0, 0), std::nan("")));
  EXPECT_NE(nullptr, queryProblem(Eigen::Vector3f(1, 0, 0), std::numeric_limits<double>::infinity()));
}

TEST(ProbeChoice, SticksAndMapsOutsideTheirRangeAreNotUsed)
{
  using collision_probe::stickValuesUsable;
  EXPECT_TRUE(stickValuesUsable(10000, -10000, 10000));
  for (float bad : {std::nanf(""), std::numeric_limits<float>::infinity(), 1e6f, -10001.0f, 10000.001f})
  {
    EXPECT_FALSE(stickValuesUsable(bad, 0, 0)) << bad;
    EXPECT_FALSE(stickValuesUsable(0, bad, 0)) << bad;
    EXPECT_FALSE(stickValuesUsable(0, 0, bad)) << bad;
  }

  using collision_probe::mapResolutionUsable;
  for (double usable : {0.3, 25.0 / 32768, 10.0})
    EXPECT_TRUE(mapResolutionUsable(usable)) << usable;
  for (double absurd :
       {std::nan(""), std::numeric_limits<double>::infinity(), 1e-300, 0.99 * 25.0 / 32768, 10.01, 1e300, 0.0, -0.3})
    EXPECT_FALSE(mapResolutionUsable(absurd)) << absurd;
}

TEST(ProbeChoice, FullSticksReachThreeMetresForwardOrSidewaysAndTwoUp)
{
  expectVector(collision_probe::stickPointInBody(0, 10000, 0), 3, 0, 0);
  expectVector(collision_probe::stickPointInBody(-10000, 0, 0), 0, -3, 0);
  expectVector(collision_probe::stickPointInBody(0, 0, 10000), 0, 0, -2);
}

TEST(ProbeGrid, OffsetsRunFromTheLowerBoundAndStopOneStepShortOfTheUpper)
{
  EXPECT_FLOAT_EQ(-0.9f, collision_probe::startColumnOffset(0));
  EXPECT_FLOAT_EQ(static_cast<float>(-0.9 + 9 * 0.18), collision_probe::startColumnOffset(9));
  EXPECT_NEAR(0.72, collision_probe::startColumnOffset(9), 1e-6);
  EXPECT_NEAR(-0.3, collision_probe::startRowOffset(0), 1e-6);
  EXPECT_NEAR(0.2, collision_probe::startRowOffset(5), 1e-6);
  EXPECT_NEAR(-2.4, collision_probe::endColumnOffset(0), 1e-6);
  EXPECT_NEAR(1.92, collision_probe::endColumnOffset(9), 1e-6);
  EXPECT_NEAR(-0.9, collision_probe::endRowOffset(0), 1e-6);
  EXPECT_NEAR(0.6, collision_probe::endRowOffset(5), 1e-6);
  // Column 5 and row 3 are the centre line.
  EXPECT_NEAR(0.0, collision_probe::startColumnOffset(5), 1e-7);
  EXPECT_NEAR(0.0, collision_probe::startRowOffset(3), 1e-7);
  EXPECT_NEAR(0.0, collision_probe::endColumnOffset(5), 1e-7);
  EXPECT_NEAR(0.0, collision_probe::endRowOffset(3), 1e-7);
}

TEST(ProbeFan, HeadingAlongXAtFifteenMetresSpansTheAsymmetricGrid)
{
  const Fan fan = buildFan(Eigen::Vector3f(1, 0, 0), 15.0);
  ASSERT_TRUE(fan.usable);
  expectVector(fan.side, 0, 1, 0);
  expectVector(fan.up, 0, 0, 1);
  expectVector(fan.rays[rayIndex(0, 0)].start, 0, -0.9f, -0.3f);
  expectVector(fan.rays[rayIndex(0, 0)].end, 15, -2.4f, -0.9f);
  expectVector(fan.rays[rayIndex(5, 3)].start, 0, 0, 0);
  expectVector(fan.rays[rayIndex(5, 3)].end, 15, 0, 0);
  expectVector(fan.rays[rayIndex(9, 5)].start, 0, 0.72f, 0.2f);
  expectVector(fan.rays[rayIndex(9, 5)].end, 15, 1.92f, 0.6f);
  // Column 1, row 0: the column index moves along the side vector.
  expectVector(fan.rays[rayIndex(1, 0)].start, 0, -0.72f, -0.3f);
  expectVector(fan.rays[rayIndex(1, 0)].end, 15, -1.92f, -0.9f);
}

TEST(ProbeFan, SideVectorIsTheHeadingTurnedLeftAndLengthDoesNotMatter)
{
  // Heading +y: turned by +90 degrees about z the side vector is -x.
  const Fan fan = buildFan(Eigen::Vector3f(0, 0.3f, 0), 20.0);
  ASSERT_TRUE(fan.usable);
  expectVector(fan.far, 0, 20, 0);
  expectVector(fan.side, -1, 0, 0);
  expectVector(fan.up, 0, 0, 1);
  expectVector(fan.rays[rayIndex(0, 0)].start, 0.9f, 0, -0.3f);
  expectVector(fan.rays[rayIndex(0, 0)].end, 2.4f, 20, -0.9f);
}

TEST(ProbeFan, VerticalHeadingUsesAFixedSideVectorAndStaysFinite)
{
  const auto tree = mapperTree();
  addWall(*tree, 10.0f);
  for (const Eigen::Vector3f& heading : {Eigen::Vector3f(0, 0, 1), Eigen::Vector3f(0, 0, -7)})
  {
    const Fan fan = buildFan(heading, 20.0);
    ASSERT_TRUE(fan.usable);
    expectVector(fan.side, 0, 1, 0);
    EXPECT_NEAR(1.0f, fan.up.norm(), 1e-6);
    EXPECT_NEAR(0.0f, fan.up.dot(fan.far), 1e-5);
    for (const auto& ray : fan.rays)
    {
      EXPECT_TRUE(ray.start.allFinite());
      EXPECT_TRUE(ray.end.allFinite());
    }
    const Verdict verdict = castFan(*tree, fan);
    EXPECT_EQ(collision_probe::kRayCount, verdict.raysCast);
    EXPECT_EQ(0, verdict.status);
  }
}

TEST(ProbeFan, ShortOrNonFiniteHeadingCastsNothing)
{
  const auto empty = mapperTree();
  // The single-precision length of (0.01, 0, 0) is 0.0099999998.
  const Fan tooShort = buildFan(Eigen::Vector3f(0.01f, 0, 0), 15.0);
  EXPECT_FALSE(tooShort.usable);
  EXPECT_EQ(0, castFan(*empty, tooShort).raysCast);
  const Fan justLongEnough = buildFan(Eigen::Vector3f(0.0101f, 0, 0), 15.0);
  EXPECT_TRUE(justLongEnough.usable);
  EXPECT_EQ(collision_probe::kRayCount, castFan(*empty, justLongEnough).raysCast);

  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_FALSE(buildFan(Eigen::Vector3f(nan, 1, 0), 15.0).usable);
  EXPECT_FALSE(buildFan(Eigen::Vector3f(inf, 0, 0), 15.0).usable);
  EXPECT_FALSE(buildFan(Eigen::Vector3f(3e38f, 3e38f, 0), 15.0).usable);  // length overflows
  EXPECT_FALSE(buildFan(Eigen::Vector3f(1, 0, 0), std::nan("")).usable);
  EXPECT_FALSE(buildFan(Eigen::Vector3f(1, 0, 0), 0.0).usable);
  EXPECT_EQ(0, castFan(*empty, buildFan(Eigen::Vector3f(nan, 0, 0), 15.0)).raysCast);
}

TEST(ForwardQuery, EmptyTreeIsClearAfterAllSixtyRays)
{
  const auto empty = mapperTree();
  const Verdict verdict = castFan(*empty, buildFan(Eigen::Vector3f(1, 0, 0), 15.0));
  EXPECT_EQ(0, verdict.status);
  EXPECT_EQ(0, verdict.hits);
  EXPECT_EQ(collision_probe::kRayCount, verdict.raysCast);
  EXPECT_EQ(0.0f, verdict.collisionPoint.norm());
}

TEST(ForwardQuery, WallAheadIsACollisionAtTheFourthHitBehindUnknownSpace)
{
  const auto tree = mapperTree();
  addWall(*tree, 10.0f);
  // Everything between the aircraft and the wall is unknown, so every ray
  // that reaches the wall has crossed unknown cells as free.
  const Fan fan = buildFan(Eigen::Vector3f(2, 0, 0), 15.0);
  const Verdict verdict = castFan(*tree, fan);
  EXPECT_EQ(1, verdict.status);
  EXPECT_EQ(4, verdict.hits);
  EXPECT_EQ(4, verdict.raysCast);  // no 5th ray once the count exceeds 3
  // The point is the wall cell where the 4th ray in loop order, (0, 3), met it.
  const Eigen::Vector3f crossing = pointOnRay(fan.rays[rayIndex(0, 3)], 10.0f);
  EXPECT_NEAR(10.05, verdict.collisionPoint.x(), 1e-4);
  EXPECT_NEAR(crossing.y(), verdict.collisionPoint.y(), 0.15 + 1e-4);
  EXPECT_NEAR(crossing.z(), verdict.collisionPoint.z(), 0.15 + 1e-4);
  EXPECT_NEAR(std::sqrt(10.05 * 10.05 + 1.95 * 1.95 + 0.15 * 0.15), verdict.collisionPoint.norm(), 1e-4);

  // The same wall behind the aircraft, or beyond the rays' segments, is clear.
  EXPECT_EQ(0, castFan(*tree, buildFan(Eigen::Vector3f(-1, 0, 0), 15.0)).status);
  EXPECT_EQ(0, castFan(*tree, buildFan(Eigen::Vector3f(0, 1, 0), 25.0)).status);
  const auto farWall = mapperTree();
  addWall(*farWall, 20.0f);
  EXPECT_EQ(0, castFan(*farWall, buildFan(Eigen::Vector3f(1, 0, 0), 15.0)).status);
  EXPECT_EQ(1, castFan(*farWall, buildFan(Eigen::Vector3f(1, 0, 0), 25.0)).status);
}

TEST(ForwardQuery, ThreeHitsAreClearAndResetThePointTheFourthIsACollision)
{
  const auto tree = mapperTree(0.1);
  const Fan fan = buildFan(Eigen::Vector3f(1, 0, 0), 15.0);
  // One cell on each of three rays far out, where the rays are 0.28 m or more
  // apart, so that no other ray touches them.
  for (int index : {rayIndex(2, 1), rayIndex(5, 3), rayIndex(7, 4)})
  {
    const Eigen::Vector3f p = pointOnRay(fan.rays[index], 14.05f);
    occupy(*tree, p.x(), p.y(), p.z());
  }
  tree->updateInnerOccupancy();
  Verdict verdict = castFan(*tree, fan);
  EXPECT_EQ(3, verdict.hits);
  EXPECT_EQ(0, verdict.status);
  EXPECT_EQ(collision_probe::kRayCount, verdict.raysCast);
  EXPECT_EQ(0.0f, verdict.collisionPoint.norm());

  const Eigen::Vector3f fourth = pointOnRay(fan.rays[rayIndex(8, 0)], 14.05f);
  occupy(*tree, fourth.x(), fourth.y(), fourth.z());
  tree->updateInnerOccupancy();
  verdict = castFan(*tree, fan);
  EXPECT_EQ(1, verdict.status);
  EXPECT_EQ(rayIndex(8, 0) + 1, verdict.raysCast);
  EXPECT_NEAR(fourth.x(), verdict.collisionPoint.x(), 0.05 + 1e-4);
  EXPECT_NEAR(fourth.y(), verdict.collisionPoint.y(), 0.05 + 1e-4);
  EXPECT_NEAR(fourth.z(), verdict.collisionPoint.z(), 0.05 + 1e-4);
}

TEST(ForwardQuery, ObstacleBesideTheAircraftIsProbedOnTheMinusSideOnly)
{
  // A post right beside the aircraft, 0.8 to 0.9 m off the path. The start
  // grid reaches -0.9 m on one side but only 0.72 m on the other.
  const Fan fan = buildFan(Eigen::Vector3f(1, 0, 0), 15.0);
  for (float side : {-1.0f, 1.0f})
  {
    const auto tree = mapperTree(0.1);
    for (float x = 0.05f; x < 0.3f; x += 0.1f)
      for (float z = -0.45f; z < 0.3f; z += 0.1f)
        occupy(*tree, x, side * 0.85f, z);
    tree->updateInnerOccupancy();
    const Verdict verdict = castFan(*tree, fan);
    if (side < 0)
    {
      EXPECT_EQ(1, verdict.status);
      EXPECT_NEAR(0.85, std::hypot(verdict.collisionPoint.x(), verdict.collisionPoint.y()), 0.01);
    }
    else
    {
      EXPECT_EQ(0, verdict.status);
      EXPECT_EQ(0, verdict.hits);
    }
  }
}

TEST(ForwardQuery, FreeCellsAreNotHits)
{
  const auto tree = mapperTree();
  for (float y = -4.0f; y <= 4.0f; y += 0.1f)
    for (float z = -2.0f; z <= 2.0f; z += 0.1f)
      tree->updateNode(octomap::point3d(10.0f, y, z), false, false);
  tree->updateInnerOccupancy();
  const Verdict verdict = castFan(*tree, buildFan(Eigen::Vector3f(1, 0, 0), 15.0));
  EXPECT_EQ(0, verdict.status);
  EXPECT_EQ(0, verdict.hits);
}

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
