// A cloud that passed the tf filter but whose transform then cannot be looked
// up must be skipped: the buffer still holds the previous cloud, which must
// not be mapped a second time. Only a direct call reaches this case, since the
// filter lets through only clouds whose transform it has seen.
#include <gtest/gtest.h>
#include <octomap_msgs/Octomap.h>
#include <octomap_msgs/conversions.h>
#include <ros/ros.h>
#include <std_msgs/String.h>

#include <memory>
#include <string>
#include <vector>

#include "mapper_test_clouds.h"
#include "zyr_collision_avoidance/occupancy_mapper.h"
#include "zyr_test_support/inbox.h"

using mapper_test::makeCloud;

namespace
{
sensor_msgs::PointCloud2::ConstPtr cloudAlongX(std::vector<float> xs, const std::string& frame)
{
  std::vector<mapper_test::Point> points;
  for (float x : xs)
    points.push_back({x, 0.45f, 0.45f});
  sensor_msgs::PointCloud2::Ptr cloud(new sensor_msgs::PointCloud2(makeCloud(points, frame)));
  cloud->header.stamp = ros::Time::now();
  return cloud;
}

// The x of the points of the cloud that the tree holds among 1, 2, ... 6,
// given that every point here lies at y = z = 0.45.
std::vector<int> mappedXs(const octomap_msgs::Octomap& msg)
{
  std::unique_ptr<octomap::AbstractOcTree> tree(octomap_msgs::msgToMap(msg));
  auto* octree = dynamic_cast<octomap::OcTree*>(tree.get());
  std::vector<int> xs;
  if (!octree)
    return xs;
  for (int x = 1; x <= 6; ++x)
  {
    const octomap::OcTreeNode* node = octree->search(x, 0.45, 0.45);
    if (node && octree->isNodeOccupied(node))
      xs.push_back(x);
  }
  EXPECT_EQ(xs.size(), mapper_test::occupiedLeaves(*octree).size());
  return xs;
}
}  // namespace

TEST(MapperTransformFailure, UntransformableCloudIsSkippedAndStaleCloudNeverReinserted)
{
  OccupancyGridBuilder mapper(ros::NodeHandle("~"));
  ros::NodeHandle nh;
  std::vector<std::string> inserts;
  std::vector<octomap_msgs::Octomap> octomaps;
  ros::Subscriber insertSub =
      nh.subscribe<std_msgs::String>("zyr_collision_avoidance/debug_insert_pc_freq", 10,
                                     [&](const std_msgs::String::ConstPtr& m) { inserts.push_back(m->data); });
  ros::Subscriber octomapSub =
      nh.subscribe<octomap_msgs::Octomap>("zyr_collision_avoidance/octomap_binary", 10,
                                          [&](const octomap_msgs::Octomap::ConstPtr& m) { octomaps.push_back(*m); });
  ASSERT_GT(octomapSub.getNumPublishers(), 0u);

  mapper.pointCloudCallback(cloudAlongX({1.0f}, "world"));  // opens the window
  // No transform from "nowhere" exists; the lookup gives up after waiting,
  // well past the end of the window.
  mapper.pointCloudCallback(cloudAlongX({2.0f, 2.0f}, "nowhere"));
  mapper.pointCloudCallback(cloudAlongX({3.0f, 4.0f, 5.0f}, "world"));  // rolls over
  // The window of that cloud passes.
  ros::WallDuration(0.2).sleep();
  mapper.pointCloudCallback(cloudAlongX({}, "world"));  // rolls over

  test_support::spinUntil([&] { return inserts.size() >= 3 && octomaps.size() >= 2; });
  EXPECT_EQ((std::vector<std::string>{"Inserting 1", "Inserting 3", "Inserting 0"}), inserts);
  ASSERT_EQ(2u, octomaps.size());
  EXPECT_EQ((std::vector<int>{1}), mappedXs(octomaps[0]));
  EXPECT_EQ((std::vector<int>{3, 4, 5}), mappedXs(octomaps[1]));
}

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  ros::init(argc, argv, "mapper_transform_failure_test");
  return RUN_ALL_TESTS();
}
