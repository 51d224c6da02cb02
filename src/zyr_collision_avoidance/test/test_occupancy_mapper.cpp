// The mapper's computations that need no ROS graph: cloud validation, the
// sensor model, scan insertion and the marker array.
#include <gtest/gtest.h>
#include <ros/time.h>

#include <cmath>
#include <limits>
#include <memory>

#include "mapper_test_clouds.h"
#include "zyr_collision_avoidance/occupancy_mapper.h"

using mapper_test::Leaf;
using mapper_test::makeCloud;
using mapper_test::occupiedLeaves;
using occupancy_mapping::cloudLayoutProblem;

namespace
{
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

std::unique_ptr<octomap::OcTree> newTree()
{
  return std::unique_ptr<octomap::OcTree>(occupancy_mapping::newSensorModelTree(0.3));
}

std::unique_ptr<octomap::OcTree> treeOf(const std::vector<mapper_test::Point>& points)
{
  auto tree = newTree();
  occupancy_mapping::insertHits(makeCloud(points), *tree);
  return tree;
}

bool hasNodeAt(const octomap::OcTree& tree, float x, float y, float z)
{
  return tree.search(x, y, z) != nullptr;
}

visualization_msgs::MarkerArray markersOf(const octomap::OcTree& tree)
{
  visualization_msgs::MarkerArray markers;
  EXPECT_TRUE(occupancy_mapping::fillOccupiedCellMarkers(tree, "world", true, markers));
  return markers;
}

std::vector<std::array<double, 3>> pointsOf(const visualization_msgs::Marker& marker)
{
  std::vector<std::array<double, 3>> points;
  for (const auto& p : marker.points)
    points.push_back({p.x, p.y, p.z});
  return points;
}

class MarkerArrayTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    ros::Time::init();  // the markers are stamped with the ROS clock
  }
};
}  // namespace

TEST(CloudValidation, PackedXyzCloudsAreAccepted)
{
  EXPECT_EQ("", cloudLayoutProblem(makeCloud({{1, 2, 3}, {4, 5, 6}})));
  EXPECT_EQ("", cloudLayoutProblem(makeCloud({})));

  // Extra fields and a wider point are fine as long as everything fits.
  sensor_msgs::PointCloud2 cloud;
  sensor_msgs::PointCloud2Modifier modifier(cloud);
  modifier.setPointCloud2FieldsByString(2, "xyz", "rgb");
  modifier.resize(3);
  EXPECT_EQ("", cloudLayoutProblem(cloud));
}

TEST(CloudValidation, MissingOrNonFloatCoordinateIsNamed)
{
  sensor_msgs::PointCloud2 cloud = makeCloud({{1, 2, 3}});
  cloud.fields.pop_back();
  EXPECT_EQ("no field \"z\"", cloudLayoutProblem(cloud));

  EXPECT_EQ("no field \"x\"", cloudLayoutProblem(sensor_msgs::PointCloud2()));

  cloud = makeCloud({{1, 2, 3}});
  cloud.fields[1].datatype = sensor_msgs::PointField::FLOAT64;
  EXPECT_EQ("field \"y\" is not float32 (datatype 8)", cloudLayoutProblem(cloud));
}

TEST(CloudValidation, FieldsMustFitInsideOnePoint)
{
  sensor_msgs::PointCloud2 cloud = makeCloud({{1, 2, 3}});
  cloud.point_step = 11;  // "z" needs bytes 8..11
  cloud.row_step = 11;
  cloud.data.resize(11);
  EXPECT_EQ("point_step 11 is too small for field \"z\" (4 bytes at offset 8)", cloudLayoutProblem(cloud));

  // The transform reads "distance" as a float and "vp_x" as three floats,
  // whatever they declare.
  cloud = makeCloud({{1, 2, 3}});
  sensor_msgs::PointField distance;
  distance.name = "distance";
  distance.offset = 10;
  distance.datatype = sensor_msgs::PointField::UINT8;
  distance.count = 1;
  cloud.fields.push_back(distance);
  EXPECT_NE(std::string::npos, cloudLayoutProblem(cloud).find("\"distance\" (4 bytes at offset 10)"));

  cloud.fields.back().name = "vp_x";
  cloud.fields.back().offset = 4;
  EXPECT_NE(std::string::npos, cloudLayoutProblem(cloud).find("\"vp_x\" (12 bytes at offset 4)"));

  cloud.fields.back().name = "intensity";
  cloud.fields.back().datatype = sensor_msgs::PointField::FLOAT64;
  cloud.fields.back().offset = 8;
  EXPECT_NE(std::string::npos, cloudLayoutProblem(cloud).find("\"intensity\" (8 bytes at offset 8)"));
}

TEST(CloudValidation, RowsAndDataMustHoldExactlyTheDeclaredPoints)
{
  const sensor_msgs::PointCloud2 good = makeCloud({{1, 2, 3}, {4, 5, 6}});  // 2 * 12 bytes

  sensor_msgs::PointCloud2 cloud = good;
  cloud.row_step = 23;
  EXPECT_EQ("row_step 23 is shorter than width * point_step = 24", cloudLayoutProblem(cloud));

  cloud = good;
  cloud.data.pop_back();
  EXPECT_EQ("data holds 23 bytes, fewer than height * row_step = 24", cloudLayoutProblem(cloud));

  cloud = good;
  cloud.height = 2;
  EXPECT_EQ("data holds 24 bytes, fewer than height * row_step = 48", cloudLayoutProblem(cloud));

  // Rows may be padded; trailing bytes beyond the rows may not.
  cloud = good;
  cloud.row_step = 30;
  cloud.data.resize(30);
  EXPECT_EQ("", cloudLayoutProblem(cloud));

  cloud = good;
  cloud.data.resize(30);
  EXPECT_EQ("data holds 30 bytes, more than height * row_step = 24", cloudLayoutProblem(cloud));

  // Sizes are compared without 32-bit wrap-around.
  cloud = good;
  cloud.width = 0x80000000u;
  cloud.row_step = 0;
  EXPECT_EQ("row_step 0 is shorter than width * point_step = 25769803776", cloudLayoutProblem(cloud));
}

TEST(CloudPacking, PaddedRowsOrUnalignedFloatsArePackedToThePlainCloudOfTheSamePoints)
{
  const std::vector<mapper_test::Point> points = {{1, 2, 3}, {-4, 5.5f, kNaN}, {7, -8, 9}, {10, 11, -12}};
  const sensor_msgs::PointCloud2 plain = makeCloud(points, "lidar");
  EXPECT_FALSE(occupancy_mapping::needsPacking(plain));

  using mapper_test::Layout;
  for (const Layout& layout : {Layout{{0, 4, 8}, 16, 8}, Layout{{1, 5, 9}, 13, 0}, Layout{{9, 1, 5}, 13, 3}})
  {
    SCOPED_TRACE(layout.pointStep + layout.rowPadding);
    const sensor_msgs::PointCloud2 cloud = mapper_test::makeLaidOutCloud(points, "lidar", 2, layout);
    ASSERT_EQ("", cloudLayoutProblem(cloud));
    EXPECT_TRUE(occupancy_mapping::needsPacking(cloud));
    const sensor_msgs::PointCloud2 packed = occupancy_mapping::packedXyz(cloud);
    EXPECT_EQ("lidar", packed.header.frame_id);
    EXPECT_EQ(2u, packed.height);
    EXPECT_EQ(2u, packed.width);
    EXPECT_EQ(plain.fields, packed.fields);
    EXPECT_EQ(12u, packed.point_step);
    EXPECT_EQ(24u, packed.row_step);
    EXPECT_EQ(plain.data, packed.data);  // byte for byte, the NaN included
  }

  // A float the transform reads beside the coordinates counts as well.
  sensor_msgs::PointCloud2 withDistance = mapper_test::makeLaidOutCloud(points, "lidar", 1, {{0, 4, 8}, 20, 0});
  sensor_msgs::PointField distance = withDistance.fields[0];
  distance.name = "distance";
  distance.offset = 13;
  withDistance.fields.push_back(distance);
  ASSERT_EQ("", cloudLayoutProblem(withDistance));
  EXPECT_TRUE(occupancy_mapping::needsPacking(withDistance));
  withDistance.fields.back().offset = 12;
  EXPECT_FALSE(occupancy_mapping::needsPacking(withDistance));
}

TEST(RollingWindow, ATreeIsDueStrictlyAfterTwelveHundredthsOfASecond)
{
  EXPECT_FALSE(occupancy_mapping::windowElapsed(0));
  EXPECT_FALSE(occupancy_mapping::windowElapsed(120000000));
  EXPECT_TRUE(occupancy_mapping::windowElapsed(120000001));
  EXPECT_FALSE(occupancy_mapping::windowElapsed(-1));  // a clock that went back
}

TEST(SensorModel, NewTreeHasTheMappersSettingsAndNoNodes)
{
  auto tree = newTree();
  ASSERT_TRUE(tree);
  EXPECT_DOUBLE_EQ(0.3, tree->getResolution());
  EXPECT_NEAR(0.7, tree->getProbHit(), 1e-6);
  EXPECT_NEAR(0.4, tree->getProbMiss(), 1e-6);
  EXPECT_NEAR(0.12, tree->getClampingThresMin(), 1e-6);
  EXPECT_NEAR(0.97, tree->getClampingThresMax(), 1e-6);
  EXPECT_NEAR(0.5, tree->getOccupancyThres(), 1e-6);  // library default
  EXPECT_EQ(16u, tree->getTreeDepth());
  EXPECT_EQ(0u, tree->size());
  EXPECT_EQ("OcTree", tree->getTreeType());
}

TEST(ScanInsertion, HorizontalRadiusOfThirtyMetresAtAnyHeight)
{
  auto tree = treeOf({{30.0f, 0.0f, 1.0f},
                      {30.001f, 0.0f, 4.0f},
                      {0.0f, -30.0f, -3.0f},
                      {21.3f, 21.3f, 0.0f},  // 30.12 m away
                      {0.0f, 0.0f, 500.0f},
                      {0.5f, 0.5f, -250.0f}});
  EXPECT_TRUE(hasNodeAt(*tree, 30.0f, 0.0f, 1.0f));
  EXPECT_FALSE(hasNodeAt(*tree, 30.001f, 0.0f, 4.0f));
  EXPECT_TRUE(hasNodeAt(*tree, 0.0f, -30.0f, -3.0f));
  EXPECT_FALSE(hasNodeAt(*tree, 21.3f, 21.3f, 0.0f));
  EXPECT_TRUE(hasNodeAt(*tree, 0.0f, 0.0f, 500.0f));
  EXPECT_TRUE(hasNodeAt(*tree, 0.5f, 0.5f, -250.0f));
  EXPECT_EQ(4u, occupiedLeaves(*tree).size());
}

TEST(ScanInsertion, NonFiniteCoordinatesLeaveTheTreeWithoutNodes)
{
  auto tree = treeOf({{kNaN, 1.0f, 1.0f},
                      {1.0f, kNaN, 1.0f},
                      {kInf, 0.0f, 0.0f},
                      {0.0f, -kInf, 0.0f},
                      {1.0f, 1.0f, kNaN},
                      {1.0f, 1.0f, kInf}});
  EXPECT_EQ(0u, tree->size());

  visualization_msgs::MarkerArray markers;
  EXPECT_FALSE(occupancy_mapping::fillOccupiedCellMarkers(*tree, "world", true, markers));
}

TEST(ScanInsertion, EveryPointIsOneHitAndHitsClampAtTheUpperThreshold)
{
  auto tree = newTree();
  const float hit = octomap::logodds(0.7);
  const octomap::point3d voxel(2.0f, 3.0f, 1.0f);  // the voxel [1.8, 2.1) * [3.0, 3.3) * [0.9, 1.2)
  auto logOdds = [&] { return tree->search(voxel)->getLogOdds(); };

  // Clouds of one window hitting the same voxel add up.
  occupancy_mapping::insertHits(makeCloud({{2.0f, 3.0f, 1.0f}}), *tree);
  EXPECT_FLOAT_EQ(hit, logOdds());
  occupancy_mapping::insertHits(makeCloud({{2.05f, 3.1f, 1.1f}, {1.95f, 3.2f, 0.95f}}), *tree);
  EXPECT_FLOAT_EQ(3 * hit, logOdds());
  occupancy_mapping::insertHits(makeCloud({{2.0f, 3.0f, 1.0f}}), *tree);
  EXPECT_FLOAT_EQ(4 * hit, logOdds());
  EXPECT_LT(tree->search(voxel)->getOccupancy(), 0.97);

  // The fifth hit reaches the upper clamping threshold, and it stays there.
  occupancy_mapping::insertHits(makeCloud({{2.0f, 3.0f, 1.0f}, {2.0f, 3.0f, 1.0f}}), *tree);
  EXPECT_FLOAT_EQ(tree->getClampingThresMaxLog(), logOdds());
  EXPECT_NEAR(0.97, tree->search(voxel)->getOccupancy(), 1e-6);
  // Inner nodes are brought up to date with the maximum of their children.
  EXPECT_FLOAT_EQ(tree->getClampingThresMaxLog(), tree->getRoot()->getLogOdds());
  EXPECT_EQ(1u, occupiedLeaves(*tree).size());
}

TEST(ScanInsertion, EightEqualSiblingsBecomeOneLeafAtDepthFifteen)
{
  std::vector<mapper_test::Point> cube;
  for (float x : {0.1f, 0.4f})
    for (float y : {0.1f, 0.4f})
      for (float z : {0.1f, 0.4f})
        cube.push_back({x, y, z});
  cube.push_back({3.0f, 3.0f, 0.2f});
  auto tree = treeOf(cube);
  const std::set<Leaf> expected = {Leaf(0.3, 0.3, 0.3, 15), Leaf(3.15, 3.15, 0.15, 16)};
  const std::set<Leaf> leaves = occupiedLeaves(*tree);
  ASSERT_EQ(2u, leaves.size());
  auto near = [](const Leaf& a, const Leaf& b)
  {
    return std::get<3>(a) == std::get<3>(b) && std::abs(std::get<0>(a) - std::get<0>(b)) < 1e-6 &&
           std::abs(std::get<1>(a) - std::get<1>(b)) < 1e-6 && std::abs(std::get<2>(a) - std::get<2>(b)) < 1e-6;
  };
  EXPECT_TRUE(near(*expected.begin(), *leaves.begin()));
  EXPECT_TRUE(near(*expected.rbegin(), *leaves.rbegin()));
}

TEST_F(MarkerArrayTest, OnlyOccupiedLeavesStrictlyInsideTheHeightBandBecomeCubes)
{
  std::vector<mapper_test::Point> points = {{1.0f, 1.0f, 1.95f},   // leaf centre z 1.95
                                            {1.0f, 1.0f, 2.3f},    // 2.25
                                            {1.0f, 1.0f, -1.95f},  // -1.95
                                            {1.0f, 1.0f, -2.3f}};  // -2.25
  // Eight siblings pruned into one 0.6 m leaf whose centre is at z 2.1.
  for (float x : {3.1f, 3.4f})
    for (float y : {3.1f, 3.4f})
      for (float z : {1.9f, 2.2f})
        points.push_back({x, y, z});
  auto tree = treeOf(points);
  tree->updateNode(octomap::point3d(5.0f, 5.0f, 0.0f), false, false);  // a free voxel
  tree->updateInnerOccupancy();
  bool prunedLeafAt2point1 = false;
  for (const Leaf& leaf : occupiedLeaves(*tree))
    prunedLeafAt2point1 |= std::get<3>(leaf) == 15 && std::abs(std::get<2>(leaf) - 2.1) < 1e-6;
  ASSERT_TRUE(prunedLeafAt2point1);

  const visualization_msgs::MarkerArray markers = markersOf(*tree);
  ASSERT_EQ(17u, markers.markers.size());
  EXPECT_TRUE(markers.markers[15].points.empty());
  const auto drawn = pointsOf(markers.markers[16]);
  ASSERT_EQ(2u, drawn.size());
  for (const auto& p : drawn)
  {
    EXPECT_NEAR(1.05, p[0], 1e-6);
    EXPECT_NEAR(1.05, p[1], 1e-6);
    EXPECT_NEAR(1.95, std::abs(p[2]), 1e-6);
  }
  EXPECT_NE(drawn[0][2], drawn[1][2]);
  // Leaves outside the band stay in the tree; they are only not drawn.
  EXPECT_TRUE(tree->isNodeOccupied(tree->search(1.0, 1.0, 2.3)));
}

TEST_F(MarkerArrayTest, OneCubeListPerDepthAndDeleteForEmptyDepths)
{
  auto tree = treeOf({{0.1f, 0.1f, 0.1f},
                      {0.1f, 0.1f, 0.4f},
                      {0.1f, 0.4f, 0.1f},
                      {0.1f, 0.4f, 0.4f},
                      {0.4f, 0.1f, 0.1f},
                      {0.4f, 0.1f, 0.4f},
                      {0.4f, 0.4f, 0.1f},
                      {0.4f, 0.4f, 0.4f},
                      {-5.9f, 2.0f, 0.5f}});
  const visualization_msgs::MarkerArray markers = markersOf(*tree);
  ASSERT_EQ(17u, markers.markers.size());
  for (unsigned i = 0; i < markers.markers.size(); ++i)
  {
    const visualization_msgs::Marker& m = markers.markers[i];
    SCOPED_TRACE(i);
    EXPECT_EQ("world", m.header.frame_id);
    EXPECT_FALSE(m.header.stamp.isZero());
    EXPECT_EQ("", m.ns);
    EXPECT_EQ(static_cast<int>(i), m.id);
    EXPECT_EQ(visualization_msgs::Marker::CUBE_LIST, m.type);
    EXPECT_NEAR(0.3 * std::pow(2.0, 16 - i), m.scale.x, 1e-9);
    EXPECT_EQ(m.scale.x, m.scale.y);
    EXPECT_EQ(m.scale.x, m.scale.z);
    EXPECT_EQ(1.0, m.pose.orientation.w);  // a unit quaternion, as a viewer expects
    EXPECT_EQ(1.0f, m.color.b);
    EXPECT_EQ(1.0f, m.color.a);
    EXPECT_EQ(0.0f, m.color.r + m.color.g);
    EXPECT_EQ(m.points.size(), m.colors.size());
    const bool filled = i == 15 || i == 16;
    EXPECT_EQ(filled ? visualization_msgs::Marker::ADD : visualization_msgs::Marker::DELETE, m.action);
    EXPECT_EQ(filled ? 1u : 0u, m.points.size());
  }
  EXPECT_NEAR(0.3, markers.markers[15].points[0].x, 1e-6);
  EXPECT_NEAR(0.3, markers.markers[15].points[0].z, 1e-6);
  EXPECT_NEAR(-5.85, markers.markers[16].points[0].x, 1e-6);
  EXPECT_EQ(1.0f, markers.markers[16].colors[0].b);
}

TEST_F(MarkerArrayTest, EmptyTreeHasNothingToDrawAndWalkOnlyFillsNothing)
{
  visualization_msgs::MarkerArray markers;
  EXPECT_FALSE(occupancy_mapping::fillOccupiedCellMarkers(*newTree(), "world", true, markers));

  auto tree = treeOf({{1.0f, 1.0f, 1.0f}});
  EXPECT_TRUE(occupancy_mapping::fillOccupiedCellMarkers(*tree, "world", false, markers));
  ASSERT_EQ(17u, markers.markers.size());
  for (const auto& m : markers.markers)
  {
    EXPECT_TRUE(m.points.empty());
    EXPECT_EQ("", m.header.frame_id);
  }
}
