// The 72 sectors of obstacle_distance: which sectors a voxel reaches, at what
// distance, within which band, turned with the aircraft's heading; and the
// same ranges from a map's binary stream as from its tree.
#include <gtest/gtest.h>
#include <octomap_msgs/conversions.h>

#include <cmath>
#include <memory>
#include <set>

#include "zyr_collision_avoidance/attitude_conversion.h"
#include "zyr_collision_avoidance/cloud_insertion.h"
#include "zyr_collision_avoidance/obstacle_sectors.h"

using obstacle_sectors::kSectorCount;
using obstacle_sectors::Ranges;
using obstacle_sectors::SectorRanges;

namespace
{
const double kDeg = M_PI / 180.0;
const double kRangeMax = 30.0;
const float kNone = 31.0f;  // range_max + 1: no obstacle
const double kEdge = 0.3;

obstacle_sectors::Heading headingFor(double yawDeg)
{
  // Reported in north-east-down: a yaw of 90 degrees is the nose east.
  Eigen::Quaterniond q;
  EXPECT_TRUE(
      attitude_conversion::worldFromAttitude(std::cos(yawDeg * kDeg / 2), 0, 0, std::sin(yawDeg * kDeg / 2), &q));
  obstacle_sectors::Heading h;
  EXPECT_TRUE(obstacle_sectors::headingOf(q, &h));
  return h;
}

// One voxel with its centre `distance` metres away at `bearingDeg` clockwise
// from north, seen with the nose north.
Ranges oneVoxel(double bearingDeg, double distance, double z = 0.0, double edge = kEdge, double yawDeg = 0.0)
{
  SectorRanges s(headingFor(yawDeg), 1.0, kRangeMax);
  s.addVoxel(distance * std::sin(bearingDeg * kDeg), distance * std::cos(bearingDeg * kDeg), z, edge);
  return s.ranges();
}

// The sectors that hold an obstacle.
std::set<int> occupied(const Ranges& r)
{
  std::set<int> out;
  for (int k = 0; k < kSectorCount; ++k)
    if (r[k] != kNone)
      out.insert(k);
  return out;
}

// Horizontal distance from the origin to the nearest point of a voxel.
double nearest(double x, double y, double edge = kEdge)
{
  return std::hypot(std::max(std::abs(x) - edge / 2, 0.0), std::max(std::abs(y) - edge / 2, 0.0));
}
}  // namespace

TEST(ObstacleSectors, BearingsRunClockwiseFromTheNoseAndBoundariesBelongToTheNextSector)
{
  const struct
  {
    double deg;
    int sector;
  } cases[] = {{0, 0},   {2.4999, 0}, {2.5, 1},  {-2.5, 0}, {-2.5001, 71},
               {90, 18}, {180, 36},   {-90, 54}, {360, 0},  {715, 71}};
  for (const auto& c : cases)
    EXPECT_EQ(c.sector, obstacle_sectors::sectorOf(c.deg * kDeg)) << c.deg << " deg";
}

TEST(ObstacleSectors, AVoxelCountsInItsSectorAtItsNearestPointAndNowhereElse)
{
  const struct
  {
    const char* what;
    double bearingDeg;
    int sector;
  } cases[] = {{"straight ahead", 0, 0}, {"to the right", 90, 18}, {"behind", 180, 36}, {"to the left", 270, 54}};
  for (const auto& c : cases)
  {
    const Ranges r = oneVoxel(c.bearingDeg, 10.0);
    EXPECT_EQ(std::set<int>{c.sector}, occupied(r)) << c.what;
    const double x = 10.0 * std::sin(c.bearingDeg * kDeg), y = 10.0 * std::cos(c.bearingDeg * kDeg);
    EXPECT_NEAR(nearest(x, y), r[c.sector], 1e-5) << c.what;
  }
}

TEST(ObstacleSectors, AVoxelOnABoundaryOrCloseByReachesEverySectorItsFootprintCovers)
{
  // Centred on the boundary between sectors 0 and 1.
  EXPECT_EQ((std::set<int>{0, 1}), occupied(oneVoxel(2.5, 10.0)));
  // 1 m ahead a 0.3 m voxel is seen under some 20 degrees.
  const Ranges close = oneVoxel(0, 1.0);
  EXPECT_EQ((std::set<int>{70, 71, 0, 1, 2}), occupied(close));
  for (int k : occupied(close))
    EXPECT_NEAR(0.85f, close[k], 1e-6);
  // Half a metre ahead, some 46 degrees wide.
  const Ranges closer = oneVoxel(0, 0.5);
  EXPECT_EQ((std::set<int>{67, 68, 69, 70, 71, 0, 1, 2, 3, 4, 5}), occupied(closer));
  EXPECT_NEAR(0.35f, closer[67], 1e-6);
  // Around the aircraft: every sector, at the least range a receiver takes.
  const Ranges around = oneVoxel(0, 0.0, 0.0, 0.6);
  for (float range : around)
    EXPECT_EQ(obstacle_sectors::kRangeMin, range);
}

TEST(ObstacleSectors, OnlyVoxelsWithinTheBandAndTheRangeCount)
{
  const struct
  {
    const char* what;
    double distance, z, edge;
    bool counts;
  } cases[] = {{"within the band", 10, 0.9, kEdge, true},
               {"reaching into it from above", 10, 1.1, kEdge, true},
               {"above it", 10, 1.2, kEdge, false},
               {"below it", 10, -1.5, kEdge, false},
               {"a pruned leaf reaching into it", 10, 1.5, 1.2, true},
               {"beyond range_max", 30.5, 0, kEdge, false},
               {"at range_max", 30.1, 0, kEdge, true}};
  for (const auto& c : cases)
    EXPECT_EQ(c.counts, occupied(oneVoxel(0, c.distance, c.z, c.edge)).count(0) == 1) << c.what;
}

TEST(ObstacleSectors, TheSectorsTurnWithTheAircraftsYaw)
{
  // Nose east: a voxel to the east is ahead, one to the north on the left.
  EXPECT_EQ(std::set<int>{0}, occupied(oneVoxel(90, 10.0, 0, kEdge, 90)));
  EXPECT_EQ(std::set<int>{54}, occupied(oneVoxel(0, 10.0, 0, kEdge, 90)));
  // Nose 30 degrees right of north: a voxel at 40 degrees is 10 degrees right.
  EXPECT_EQ(std::set<int>{2}, occupied(oneVoxel(40, 10.0, 0, kEdge, 30)));
  // Lean does not turn them: rolled 20 degrees right, nose north.
  Eigen::Quaterniond q;
  ASSERT_TRUE(attitude_conversion::worldFromAttitude(std::cos(10 * kDeg), std::sin(10 * kDeg), 0, 0, &q));
  obstacle_sectors::Heading h;
  ASSERT_TRUE(obstacle_sectors::headingOf(q, &h));
  SectorRanges s(h, 1.0, kRangeMax);
  s.addVoxel(10, 0, 0, kEdge);
  EXPECT_EQ(std::set<int>{18}, occupied(s.ranges()));
  // Nose straight up: no heading.
  ASSERT_TRUE(attitude_conversion::worldFromAttitude(std::sqrt(0.5), 0, std::sqrt(0.5), 0, &q));
  EXPECT_FALSE(obstacle_sectors::headingOf(q, &h));
}

TEST(ObstacleSectors, AMapsBinaryStreamGivesTheRangesOfItsTreeAndAMalformedOneIsRefused)
{
  // A wall 8 m east, 6 m wide, from the ground to above the band, and a post
  // behind, with the nose east.
  std::unique_ptr<octomap::OcTree> tree(occupancy_mapping::newSensorModelTree());
  for (double y = -3; y <= 3; y += 0.1)
    for (double z = -3; z <= 3; z += 0.1)
      tree->updateNode(8.0, y, z, true);
  tree->updateNode(-5.0, 0.2, 0.0, true);
  tree->updateInnerOccupancy();
  octomap_msgs::Octomap msg;
  ASSERT_TRUE(octomap_msgs::binaryMapToMsg(*tree, msg));

  SectorRanges fromTree(headingFor(90), 1.0, kRangeMax), fromStream(headingFor(90), 1.0, kRangeMax);
  obstacle_sectors::addTree(*tree, &fromTree);
  ASSERT_TRUE(obstacle_sectors::addBinaryMap(msg.data, msg.resolution, &fromStream));
  const Ranges r = fromStream.ranges();
  EXPECT_EQ(fromTree.ranges(), r);
  EXPECT_NEAR(7.95, r[0], 0.16);  // the wall's near face, to within a voxel
  EXPECT_NEAR(4.95, r[36], 0.16);
  EXPECT_EQ(kNone, r[18]);

  msg.data.resize(msg.data.size() - 1);
  SectorRanges cut(headingFor(90), 1.0, kRangeMax);
  EXPECT_FALSE(obstacle_sectors::addBinaryMap(msg.data, msg.resolution, &cut));
}
