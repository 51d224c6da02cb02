// How the mapper reads clouds and turns their points into hits, without ROS:
// cloud validation and packing, the rolling window, the sensor model and scan
// insertion.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

#include "mapper_test_clouds.h"
#include "zyr_collision_avoidance/cloud_insertion.h"

using mapper_test::Leaf;
using mapper_test::makeCloud;
using mapper_test::occupiedLeaves;
using occupancy_mapping::cloudLayoutProblem;

namespace
{
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

bool hasNodeAt(const octomap::OcTree& tree, float x, float y, float z)
{
  return tree.search(x, y, z) != nullptr;
}
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
  auto tree = mapper_test::newTree();
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
  auto tree = mapper_test::treeOf({{30.0f, 0.0f, 1.0f},
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
  auto tree = mapper_test::treeOf({{kNaN, 1.0f, 1.0f},
                                   {1.0f, kNaN, 1.0f},
                                   {kInf, 0.0f, 0.0f},
                                   {0.0f, -kInf, 0.0f},
                                   {1.0f, 1.0f, kNaN},
                                   {1.0f, 1.0f, kInf}});
  EXPECT_EQ(0u, tree->size());
}

TEST(ScanInsertion, EveryPointIsOneHitAndHitsClampAtTheUpperThreshold)
{
  auto tree = mapper_test::newTree();
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
  auto tree = mapper_test::treeOf(cube);
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
