// The mapper's marker array of occupied cells, without a ROS graph.
#include <gtest/gtest.h>
#include <ros/time.h>

#include <cmath>
#include <limits>
#include <memory>

#include "mapper_test_clouds.h"
#include "zyr_collision_avoidance/occupancy_mapper.h"

using mapper_test::Leaf;
using mapper_test::newTree;
using mapper_test::occupiedLeaves;
using mapper_test::treeOf;

namespace
{
const float kNaN = std::numeric_limits<float>::quiet_NaN();

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
  // Nor has a tree whose cloud held only points that cannot be placed.
  EXPECT_FALSE(occupancy_mapping::fillOccupiedCellMarkers(*treeOf({{kNaN, 1.0f, 1.0f}}), "world", true, markers));

  auto tree = treeOf({{1.0f, 1.0f, 1.0f}});
  EXPECT_TRUE(occupancy_mapping::fillOccupiedCellMarkers(*tree, "world", false, markers));
  ASSERT_EQ(17u, markers.markers.size());
  for (const auto& m : markers.markers)
  {
    EXPECT_TRUE(m.points.empty());
    EXPECT_EQ("", m.header.frame_id);
  }
}
