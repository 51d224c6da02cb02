// The scene is the ground truth every other part of the simulation measures
// against: a wrong hit distance shows up as a wall at the wrong place in the
// map, a wrong distance as a collision that did or did not happen.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <stdexcept>

#include "zyr_simulation/scene.h"
#include "zyr_test_support/error_text.h"

using Eigen::Vector3d;
using zyr_simulation::RayHit;
using zyr_simulation::Scene;

namespace
{
Scene parse(const std::string& text)
{
  std::istringstream in(text);
  return zyr_simulation::parseScene(in, "test.scene");
}

// Distance of the first hit, or -1 for none.
double cast(const Scene& scene, const Vector3d& origin, const Vector3d& direction, double max_range = 1000.0)
{
  RayHit hit;
  return scene.intersect(origin, direction.normalized(), max_range, &hit) ? hit.distance : -1.0;
}

std::string parseError(const std::string& text)
{
  return test_support::errorText<std::runtime_error>([&] { parse(text); });
}
}  // namespace

TEST(SceneFile, ReadsEveryItemKind)
{
  const Scene scene = parse(
      "# a comment line\n"
      "ground 0\n"
      "start 1 2 3 90   # trailing comment\n"
      "\n"
      "wall 10 -5 10 5 0 4 0.4\n"
      "pole 5 5 0.25 0 6\n"
      "box 0 -8 1 2 2 2\n"
      "box 0 8 1 2 2 2 45\n");
  ASSERT_EQ(5u, scene.objects().size());
  EXPECT_EQ(Scene::Kind::Ground, scene.objects()[0].kind);
  EXPECT_EQ(Scene::Kind::Box, scene.objects()[1].kind);
  EXPECT_EQ(Scene::Kind::Pole, scene.objects()[2].kind);
  EXPECT_EQ("wall at test.scene:5", scene.objects()[1].label);
  ASSERT_TRUE(scene.hasStart());
  EXPECT_EQ(Vector3d(1, 2, 3), scene.start().position);
  EXPECT_DOUBLE_EQ(90.0, scene.start().yaw_deg);
  EXPECT_DOUBLE_EQ(0.0, scene.start().speed);
  EXPECT_DOUBLE_EQ(2.5, parse("start 0 0 3 0 2.5\n").start().speed);
}

TEST(SceneFile, RejectsBadLinesNamingTheLine)
{
  EXPECT_EQ("test.scene:2: unknown item 'tree'", parseError("ground 0\ntree 1 2 3\n"));
  EXPECT_NE(std::string::npos, parseError("pole 1 2 0.5 0\n").find("test.scene:1: expected 'pole X Y RADIUS"));
  EXPECT_NE(std::string::npos, parseError("box 1 2 3 1 1 1x\n").find("test.scene:1: '1x' is not a finite number"));
  EXPECT_NE(std::string::npos, parseError("box 1 2 3 nan 1 1\n").find("test.scene:1:"));
  EXPECT_NE(std::string::npos, parseError("box 1 2 3 1 1 1e999\n").find("not a finite number"));
  EXPECT_NE(std::string::npos, parseError("\n\npole 1 2 -0.5 0 3\n").find("test.scene:3:"));
  EXPECT_NE(std::string::npos, parseError("wall 1 1 1 1 0 3 0.2\n").find("two distinct ends"));
  EXPECT_NE(std::string::npos, parseError("box 0 0 0 0 1 1\n").find("sizes above 0"));
  EXPECT_NE(std::string::npos, parseError("ground 0\nground 1\n").find("test.scene:2: a second ground"));
  EXPECT_NE(std::string::npos, parseError("start 0 0 1\nstart 0 0 2\n").find("a second start"));
  EXPECT_NE(std::string::npos, parseError("start 0 0 1 0 -1\n").find("test.scene:1: a start speed below 0"));
  EXPECT_NE(std::string::npos, parseError("start 0 0 1 0 1 7\n").find("expected 'start X Y Z [HEADING [SPEED]]'"));
  EXPECT_THROW(zyr_simulation::loadScene("/nonexistent/scene.txt"), std::runtime_error);
}

TEST(RayIntersection, HitsTheNearFaceOfABoxWithItsNormalAndMissesBehindOrBeyondRange)
{
  Scene scene;
  scene.addBox(Vector3d(10, 0, 0), Vector3d(2, 2, 2));
  RayHit hit;
  ASSERT_TRUE(scene.intersect(Vector3d::Zero(), Vector3d::UnitX(), 100.0, &hit));
  EXPECT_DOUBLE_EQ(9.0, hit.distance);
  EXPECT_TRUE(hit.normal.isApprox(Vector3d(-1, 0, 0)));
  EXPECT_EQ(0, hit.object);
  EXPECT_DOUBLE_EQ(9.0, cast(scene, Vector3d::Zero(), Vector3d::UnitX(), 9.0));
  EXPECT_EQ(-1.0, cast(scene, Vector3d::Zero(), Vector3d::UnitX(), 8.99));
  EXPECT_EQ(-1.0, cast(scene, Vector3d::Zero(), -Vector3d::UnitX()));   // behind the origin
  EXPECT_EQ(-1.0, cast(scene, Vector3d::Zero(), Vector3d(1, 0.2, 0)));  // passes beside it
  // Slanted: enters through the top face.
  ASSERT_TRUE(scene.intersect(Vector3d(7, 0, 5), Vector3d(0.6, 0, -0.8), 100.0, &hit));
  EXPECT_NEAR(5.0, hit.distance, 1e-12);
  EXPECT_TRUE(hit.normal.isApprox(Vector3d(0, 0, 1)));
}

TEST(RayIntersection, GrazingAFaceOrThePoleSideIsAHitAndAHairBesideIsAMiss)
{
  Scene scene;
  scene.addBox(Vector3d(10, 0, 0), Vector3d(2, 2, 2));
  scene.addPole(0, 20, 0.5, -1, 1);
  // Along the box's face plane y = 1.
  EXPECT_DOUBLE_EQ(9.0, cast(scene, Vector3d(0, 1, 0), Vector3d::UnitX()));
  EXPECT_EQ(-1.0, cast(scene, Vector3d(0, 1 + 1e-9, 0), Vector3d::UnitX()));
  // Tangent to the pole's side at x = 0.5.
  EXPECT_DOUBLE_EQ(20.0, cast(scene, Vector3d(0.5, 0, 0), Vector3d::UnitY()));
  EXPECT_EQ(-1.0, cast(scene, Vector3d(0.5 + 1e-9, 0, 0), Vector3d::UnitY()));
  // Across the pole's top edge height.
  EXPECT_DOUBLE_EQ(19.5, cast(scene, Vector3d(0, 0, 1), Vector3d::UnitY()));
  EXPECT_EQ(-1.0, cast(scene, Vector3d(0, 0, 1 + 1e-9), Vector3d::UnitY()));
}

TEST(RayIntersection, ARayStartingInsideOrOnASolidHitsAtOnce)
{
  Scene scene;
  scene.addBox(Vector3d(0, 0, 0), Vector3d(2, 2, 2));
  scene.addPole(10, 0, 1, 0, 5);
  scene.setGround(-5);
  RayHit hit;
  ASSERT_TRUE(scene.intersect(Vector3d(0.5, 0, 0), Vector3d::UnitX(), 100.0, &hit));
  EXPECT_EQ(0.0, hit.distance);
  EXPECT_EQ(0, hit.object);
  EXPECT_EQ(0.0, cast(scene, Vector3d(1, 0, 0), Vector3d::UnitX()));  // on the face, leaving
  EXPECT_EQ(0.0, cast(scene, Vector3d(10.2, 0.3, 4), Vector3d::UnitZ()));
  EXPECT_EQ(0.0, cast(scene, Vector3d(30, 0, -6), Vector3d::UnitZ()));
}

TEST(RayIntersection, WallsAndTurnedBoxesSitWhereTheirDescriptionPutsThem)
{
  const Scene scene = parse(
      "wall 20 -5 20 5 0 4 0.4\n"  // across +x, 20 m ahead
      "box -10 0 1 2 2 2 45\n");   // a cube turned by 45 deg: an edge faces the origin
  EXPECT_NEAR(19.8, cast(scene, Vector3d(0, 0, 2), Vector3d::UnitX()), 1e-12);
  EXPECT_NEAR(19.8, cast(scene, Vector3d(0, 4.99, 2), Vector3d::UnitX()), 1e-12);
  EXPECT_EQ(-1.0, cast(scene, Vector3d(0, 5.01, 2), Vector3d::UnitX()));  // past the wall's end
  EXPECT_EQ(-1.0, cast(scene, Vector3d(0, 0, 4.01), Vector3d::UnitX()));  // over it
  EXPECT_NEAR(10.0 - std::sqrt(2.0), cast(scene, Vector3d(0, 0, 1), -Vector3d::UnitX()), 1e-12);
  EXPECT_EQ(-1.0, cast(scene, Vector3d(0, 1.45, 1), -Vector3d::UnitX()));  // beside the turned corner
  EXPECT_GT(cast(scene, Vector3d(0, 1.35, 1), -Vector3d::UnitX()), 0.0);
}

TEST(RayIntersection, AWireAcrossTheWayIsAWallAsThinAsItIsHigh)
{
  // 0.1 m thick, at 3 m, 20 m ahead: only what passes within its 0.1 m band meets it.
  const Scene scene = parse("wall 20 -20 20 20 2.95 3.05 0.1\n");
  EXPECT_NEAR(19.95, cast(scene, Vector3d(0, 7, 3), Vector3d::UnitX()), 1e-9);
  EXPECT_NEAR(19.95, cast(scene, Vector3d(0, -7, 3.04), Vector3d::UnitX()), 1e-9);
  EXPECT_EQ(-1.0, cast(scene, Vector3d(0, 0, 3.06), Vector3d::UnitX()));
  EXPECT_EQ(-1.0, cast(scene, Vector3d(0, 0, 2.94), Vector3d::UnitX()));
  EXPECT_NEAR(0.45, scene.distance(Vector3d(20, 0, 3.5)), 1e-9);
}

TEST(RayIntersection, PoleSideAndCapsCarryTheirNormals)
{
  Scene scene;
  scene.addPole(10, 0, 0.5, 0, 6);
  RayHit hit;
  ASSERT_TRUE(scene.intersect(Vector3d(0, 0, 3), Vector3d::UnitX(), 100.0, &hit));
  EXPECT_DOUBLE_EQ(9.5, hit.distance);
  EXPECT_TRUE(hit.normal.isApprox(Vector3d(-1, 0, 0)));
  ASSERT_TRUE(scene.intersect(Vector3d(10.2, 0, 10), -Vector3d::UnitZ(), 100.0, &hit));
  EXPECT_DOUBLE_EQ(4.0, hit.distance);
  EXPECT_TRUE(hit.normal.isApprox(Vector3d(0, 0, 1)));
  EXPECT_EQ(-1.0, cast(scene, Vector3d(10.6, 0, 10), -Vector3d::UnitZ()));
  // Diagonal, aimed at the axis: enters the side one radius short of it.
  EXPECT_NEAR(std::sqrt(200.0) - 0.5, cast(scene, Vector3d(0, -10, 3), Vector3d(1, 1, 0)), 1e-9);
}

TEST(RayIntersection, GroundIsMetFromAboveOnly)
{
  Scene scene;
  scene.setGround(0);
  EXPECT_NEAR(2.0 * std::sqrt(2.0), cast(scene, Vector3d(0, 0, 2), Vector3d(1, 0, -1)), 1e-12);
  EXPECT_EQ(-1.0, cast(scene, Vector3d(0, 0, 2), Vector3d::UnitX()));
  EXPECT_EQ(-1.0, cast(scene, Vector3d(0, 0, 2), Vector3d(1, 0, 0.1)));
  EXPECT_EQ(-1.0, cast(scene, Vector3d(0, 0, 2), Vector3d(1, 0, -1), 2.8));
}

TEST(RayIntersection, TheNearestOfSeveralSolidsWinsWhateverTheirOrder)
{
  for (bool near_first : {true, false})
  {
    Scene scene;
    if (near_first)
      scene.addBox(Vector3d(5, 0, 0), Vector3d(1, 1, 1));
    scene.addPole(10, 0, 1, -5, 5);
    scene.setGround(-3);
    if (!near_first)
      scene.addBox(Vector3d(5, 0, 0), Vector3d(1, 1, 1));
    RayHit hit;
    ASSERT_TRUE(scene.intersect(Vector3d::Zero(), Vector3d::UnitX(), 100.0, &hit));
    EXPECT_DOUBLE_EQ(4.5, hit.distance);
    EXPECT_EQ(near_first ? 0 : 2, hit.object);
  }
}

TEST(SceneDistance, MeasuresToTheNearestSurfaceAndIsZeroInside)
{
  Scene empty;
  EXPECT_TRUE(std::isinf(empty.distance(Vector3d::Zero())));
  EXPECT_FALSE(empty.touches(Vector3d::Zero(), 100.0));

  Scene scene;
  scene.addBox(Vector3d(10, 0, 0), Vector3d(2, 2, 2));
  scene.addPole(0, 10, 0.5, 0, 4);
  int nearest = -2;
  EXPECT_DOUBLE_EQ(3.0, scene.distance(Vector3d(6, 0, 0), &nearest));  // in front of a face
  EXPECT_EQ(0, nearest);
  EXPECT_NEAR(std::sqrt(3.0), scene.distance(Vector3d(8, 2, 2)), 1e-12);  // off a corner
  EXPECT_EQ(0.0, scene.distance(Vector3d(10.5, 0.5, 0)));                 // inside
  EXPECT_DOUBLE_EQ(2.5, scene.distance(Vector3d(0, 7, 2), &nearest));     // beside the pole
  EXPECT_EQ(1, nearest);
  EXPECT_NEAR(5.0, scene.distance(Vector3d(0, 13.5, 8)), 1e-12);  // above and beside its top edge: 3-4-5
  scene.setGround(-1);
  EXPECT_DOUBLE_EQ(1.5, scene.distance(Vector3d(-20, 0, 0.5)));
}

TEST(SceneDistance, ObstacleDistanceLeavesTheGroundOut)
{
  // 3 m above the ground, 20 m before a wall: the ground is nearer, the wall is what can be flown into.
  const Scene scene = parse("ground 0\nwall 20 -5 20 5 0 8 0.4\n");
  int nearest = -2;
  EXPECT_DOUBLE_EQ(3.0, scene.distance(Vector3d(0, 0, 3), &nearest));
  EXPECT_EQ(0, nearest);
  EXPECT_DOUBLE_EQ(19.8, scene.obstacleDistance(Vector3d(0, 0, 3), &nearest));
  EXPECT_EQ(1, nearest);
  EXPECT_TRUE(std::isinf(parse("ground 0\n").obstacleDistance(Vector3d(0, 0, 3), &nearest)));
  EXPECT_EQ(-1, nearest);
}

TEST(SceneAppend, AddsTheOtherScenesObstaclesButNeverASecondGround)
{
  Scene scene = parse("ground 0\nstart 1 2 3\npole 5 0 0.5 0 4\n");
  scene.append(parse("ground -2\nwall 8 -3 8 3 0 6 0.4\nstart 9 9 9\n"));
  ASSERT_EQ(3u, scene.objects().size());
  EXPECT_EQ(Scene::Kind::Ground, scene.objects()[0].kind);
  EXPECT_EQ(Scene::Kind::Pole, scene.objects()[1].kind);
  EXPECT_EQ(Scene::Kind::Box, scene.objects()[2].kind);
  EXPECT_DOUBLE_EQ(0.0, scene.objects()[0].centre.z());  // the first ground stays
  EXPECT_DOUBLE_EQ(1.0, scene.start().position.x());     // and so does the start
  RayHit hit;
  ASSERT_TRUE(scene.intersect(Vector3d(0, 0, 2), Vector3d(1, 0, 0), 100.0, &hit));
  EXPECT_DOUBLE_EQ(4.5, hit.distance);  // the pole before the appended wall
  Scene empty;
  empty.append(parse("ground -2\n"));
  ASSERT_EQ(1u, empty.objects().size());  // a scene without ground takes the other's
}

TEST(Collision, TheAircraftSphereTouchesWhenItsRadiusReachesASurface)
{
  const Scene scene = parse("wall 10 -5 10 5 0 4 0.4\nground 0\n");
  // The wall's near face is at x = 9.8.
  EXPECT_FALSE(scene.touches(Vector3d(9.29, 0, 2), 0.5));
  EXPECT_TRUE(scene.touches(Vector3d(9.31, 0, 2), 0.5));
  EXPECT_TRUE(scene.touches(Vector3d(10, 0, 2), 0.5));  // inside
  EXPECT_FALSE(scene.touches(Vector3d(0, 0, 0.51), 0.5));
  EXPECT_TRUE(scene.touches(Vector3d(0, 0, 0.49), 0.5));  // on the ground
}

TEST(ShippedScenes, DemoPutsAWallAcrossThePathAndHoverAWallToTheRight)
{
  const Scene demo = zyr_simulation::loadScene(ZYR_SIM_CONFIG_DIR "/demo_scene.txt");
  ASSERT_TRUE(demo.hasStart());
  const Vector3d start = demo.start().position;
  EXPECT_GT(demo.distance(start), 2.5);
  RayHit hit;
  ASSERT_TRUE(demo.intersect(start, Vector3d::UnitX(), 100.0, &hit));
  EXPECT_GT(hit.distance, 40.0);
  EXPECT_LT(hit.distance, 60.0);
  EXPECT_EQ("wall", demo.objects()[hit.object].label.substr(0, 4));
  // Nothing but the ground within 2.5 m of the straight path to the wall (the monitor's probe is about 5 m wide).
  for (double x = 0.0; x < hit.distance - 2.5; x += 0.5)
    EXPECT_GT(demo.distance(start + Vector3d(x, 0, 0)), 2.5) << "at x = " << x;

  const Scene hover = zyr_simulation::loadScene(ZYR_SIM_CONFIG_DIR "/hover_scene.txt");
  ASSERT_TRUE(hover.hasStart());
  ASSERT_TRUE(hover.intersect(hover.start().position, -Vector3d::UnitY(), 100.0, &hit));  // right is -y
  EXPECT_NEAR(4.8, hit.distance, 1e-9);
  EXPECT_FALSE(hover.intersect(hover.start().position, Vector3d::UnitY(), 100.0, &hit));
}
