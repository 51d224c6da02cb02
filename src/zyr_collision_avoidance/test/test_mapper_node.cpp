// occupancy_mapper_node in a ROS graph: tf filtering, the rolling window,
// logging, rejection of malformed clouds, subscriber-gated publication and
// the mapping of a real LiDAR scan.
//
// The node runs in the namespace "uav1" on simulated time that this test
// publishes on /clock, so that every cloud is handled at a known ROS time.
// The node's log lines carry its clock in their stamps; a malformed probe
// cloud, which the node rejects without touching its map, tells when the node
// has seen a new clock value.
#include <gtest/gtest.h>
#include <octomap/OcTree.h>
#include <ros/master.h>
#include <ros/ros.h>
#include <roscpp/SetLoggerLevel.h>
#include <rosgraph_msgs/Log.h>
#include <visualization_msgs/Marker.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "mapper_graph.h"
#include "zyr_collision_avoidance/cloud_insertion.h"

using namespace mapper_test;

namespace
{
MapperGraph* graph = nullptr;
}  // namespace

// Runs first: the node has handled no cloud before it.
TEST(MapperNode, FirstCloudOpensTheWindowAndRolloverPublishesThePreviousTree)
{
  ASSERT_TRUE(spinUntil(
      []
      {
        return graph->nodePublishesTo(kNs + "zyr_collision_avoidance/octomap_binary") &&
               graph->nodePublishesTo(kNs + "zyr_collision_avoidance/debug_insert_pc_freq");
      }));

  graph->handleAt(100.0, pointsAlongX({1.0f}));  // opens the window
  graph->handleAt(100.06, pointsAlongX({2.0f}));
  graph->handleAt(100.12, pointsAlongX({3.0f}));  // exactly 0.12 s: still this window
  graph->handleAt(100.13, pointsAlongX({4.0f}));  // rolls over and opens the next window

  auto first = graph->treePublishedAt(100.13);
  ASSERT_TRUE(first);
  // Nothing went out before the rollover (same topic, so in order).
  EXPECT_EQ(ros::Time(100.13), graph->octomaps.front().header.stamp);
  EXPECT_TRUE(occupiedAt(*first, 1.0, 0.45, 0.45));
  EXPECT_TRUE(occupiedAt(*first, 2.0, 0.45, 0.45));
  EXPECT_TRUE(occupiedAt(*first, 3.0, 0.45, 0.45));
  EXPECT_FALSE(first->search(4.0, 0.45, 0.45));

  graph->handleAt(100.2, pointsAlongX({5.0f}));
  graph->handleAt(100.3, pointsAlongX({6.0f}));  // 0.17 s after the window opened
  auto second = graph->treePublishedAt(100.3);
  ASSERT_TRUE(second);
  EXPECT_EQ(2u, graph->octomaps.size());
  EXPECT_EQ(2u, mapper_test::occupiedLeaves(*second).size());
  EXPECT_TRUE(occupiedAt(*second, 4.0, 0.45, 0.45));
  EXPECT_TRUE(occupiedAt(*second, 5.0, 0.45, 0.45));
  EXPECT_FALSE(second->search(1.0, 0.45, 0.45));
  EXPECT_FALSE(second->search(6.0, 0.45, 0.45));
}

TEST(MapperNode, WorldCloudIsCopiedOtherFramesAreTransformed)
{
  roscpp::SetLoggerLevel level;
  level.request.logger = "ros.zyr_collision_avoidance";
  level.request.level = "debug";
  ASSERT_TRUE(ros::service::call(kMapper + "/set_logger_level", level));

  const std::size_t from = graph->logs.size();
  graph->handleAt(200.0, pointsAlongX({1.0f, 2.0f}));                  // "world", width 2
  graph->handleAt(200.05, pointsAlongX({1.0f, 2.0f, 3.0f}, "lidar"));  // lidar = world + (10, 0, 0)
  graph->syncLogs();

  const int copied = graph->findLog("No need to transform.", from);
  ASSERT_GE(copied, 0);
  EXPECT_EQ(rosgraph_msgs::Log::DEBUG, graph->logs[copied].level);
  const int transformed = graph->findLog("Transformed ", from);
  ASSERT_GE(transformed, 0);
  EXPECT_EQ("Transformed 3 points from lidar to  3 points in frame world", graph->logs[transformed].msg);
  EXPECT_EQ(rosgraph_msgs::Log::INFO, graph->logs[transformed].level);
  EXPECT_GT(transformed, copied);
  EXPECT_EQ(-1, graph->findLog("Transformed ", transformed + 1));

  level.request.level = "info";
  ASSERT_TRUE(ros::service::call(kMapper + "/set_logger_level", level));

  graph->handleAt(200.5, pointsAlongX({}));
  auto tree = graph->treePublishedAt(200.5);
  ASSERT_TRUE(tree);
  for (double x : {1.0, 2.0, 11.0, 12.0, 13.0})
    EXPECT_TRUE(occupiedAt(*tree, x, 0.45, 0.45)) << x;
  EXPECT_FALSE(tree->search(3.0, 0.45, 0.45));
}

TEST(MapperNode, CloudWaitsInTheTfFilterUntilItsTransformExists)
{
  graph->handleAt(300.0, pointsAlongX({1.0f}));  // opens a window

  // No transform to "late_lidar" yet: the cloud is held, and a later cloud
  // that can be transformed overtakes it.
  sensor_msgs::PointCloud2 late = pointsAlongX({1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f, 7.0f}, "late_lidar");
  late.header.stamp = ros::Time(300.0);
  graph->cloudPub.publish(late);
  graph->setClock(300.02);
  graph->handle(pointsAlongX({2.0f, 3.0f}));
  EXPECT_EQ("Inserting 2", graph->inserts.back());

  const std::size_t before = graph->inserts.size();
  graph->addStaticTransform("world", "late_lidar", 0.0, 20.0, 0.0, false);
  // The filter looks at waiting clouds again on its timer, which runs on the
  // ROS clock, once the node's tf listener has the new transform.
  for (int step = 3; step <= 10 && graph->inserts.size() == before; ++step)
  {
    graph->setClock(300.0 + 0.01 * step);
    spinUntil([&] { return graph->inserts.size() > before; }, 0.2);
  }
  ASSERT_EQ(before + 1, graph->inserts.size());
  EXPECT_EQ("Inserting 7", graph->inserts.back());

  graph->handleAt(300.5, pointsAlongX({}));
  auto tree = graph->treePublishedAt(300.5);
  ASSERT_TRUE(tree);
  EXPECT_TRUE(occupiedAt(*tree, 7.0, 20.45, 0.45));  // held, then transformed and mapped
  EXPECT_EQ(3u + 7u, mapper_test::occupiedLeaves(*tree).size());
}

TEST(MapperNode, MalformedCloudIsRejectedAndTheNextGoodCloudIsMapped)
{
  graph->handleAt(400.0, pointsAlongX({1.0f}));

  sensor_msgs::PointCloud2 noZ = pointsAlongX({2.0f, 3.0f, 4.0f, 5.0f});
  noZ.fields.pop_back();
  sensor_msgs::PointCloud2 truncated = pointsAlongX({2.0f, 3.0f, 4.0f, 5.0f});
  truncated.data.resize(truncated.data.size() - 5);

  const std::size_t insertsBefore = graph->inserts.size();
  const std::size_t logsBefore = graph->logs.size();
  graph->cloudPub.publish(noZ);
  graph->cloudPub.publish(truncated);
  graph->syncLogs();
  const int first = graph->findLog("Rejecting point cloud from frame world: no field \"z\"", logsBefore);
  ASSERT_GE(first, 0);
  EXPECT_EQ(rosgraph_msgs::Log::ERROR, graph->logs[first].level);
  EXPECT_GE(graph->findLog("data holds 43 bytes, fewer than height * row_step = 48", first), 0);

  // A malformed cloud after the window's end does not roll over either.
  graph->setClock(400.5);
  graph->cloudPub.publish(noZ);
  graph->syncLogs();
  EXPECT_EQ(insertsBefore, graph->inserts.size());

  graph->handleAt(400.51, pointsAlongX({6.0f}));  // the next good cloud rolls over
  graph->handleAt(401.0, pointsAlongX({}));
  auto closed = graph->treePublishedAt(400.51);
  ASSERT_TRUE(closed);
  EXPECT_EQ(1u, mapper_test::occupiedLeaves(*closed).size());
  EXPECT_TRUE(occupiedAt(*closed, 1.0, 0.45, 0.45));
  auto next = graph->treePublishedAt(401.0);
  ASSERT_TRUE(next);
  EXPECT_EQ(1u, mapper_test::occupiedLeaves(*next).size());
  EXPECT_TRUE(occupiedAt(*next, 6.0, 0.45, 0.45));
  for (const auto& msg : graph->octomaps)
    EXPECT_NE(ros::Time(400.5), msg.header.stamp);
}

TEST(MapperNode, MarkerArrayGoesOutOnlyWhileItHasASubscriber)
{
  // An empty window: with no marker subscriber, the marker step is skipped
  // before it would warn that the tree is empty.
  const std::size_t logsBefore = graph->logs.size();
  graph->handleAt(500.0, pointsAlongX({NAN}));
  graph->handleAt(500.2, pointsAlongX({NAN}));
  auto empty = graph->treePublishedAt(500.2);
  ASSERT_TRUE(empty);
  EXPECT_EQ(0u, empty->size());
  graph->syncLogs();
  EXPECT_EQ(-1, graph->findLog("Nothing to publish", logsBefore));

  ros::Subscriber markers = graph->subscribeMarkers();
  ASSERT_TRUE(
      spinUntil([] { return graph->nodePublishesTo(kNs + "zyr_collision_avoidance/occupied_cells_vis_array"); }));
  graph->handleAt(500.4, pointsAlongX({NAN}));  // publishes the empty tree of 500.2
  graph->syncLogs();
  const int warned = graph->findLog("Nothing to publish, octree is empty", logsBefore);
  ASSERT_GE(warned, 0);
  EXPECT_EQ(rosgraph_msgs::Log::WARN, graph->logs[warned].level);

  graph->handleAt(500.6, pointsAlongX({1.0f}));  // publishes the empty tree of 500.4
  graph->handleAt(500.8, pointsAlongX({}));      // publishes the tree of 500.6
  ASSERT_TRUE(spinUntil([] { return !graph->markerArrays.empty(); }));
  ASSERT_TRUE(graph->treePublishedAt(500.8));
  ASSERT_EQ(1u, graph->markerArrays.size());
  const auto& array = graph->markerArrays.front();
  ASSERT_EQ(17u, array.markers.size());
  EXPECT_EQ(ros::Time(500.8), array.markers[16].header.stamp);
  ASSERT_EQ(1u, array.markers[16].points.size());
  EXPECT_NEAR(1.05, array.markers[16].points[0].x, 1e-6);
  EXPECT_EQ(visualization_msgs::Marker::DELETE, array.markers[0].action);
  markers.shutdown();
}

TEST(MapperNode, StreetScanGivesTheSameOccupiedVoxelsAsOctomapsOwnInsertion)
{
  const std::vector<Point> scan = mapper_test::loadStreetScan(ZYR_STREET_SCAN);
  ASSERT_EQ(120610u, scan.size());

  // The sensor sits 3 m ahead of and 1.5 m beside the world origin, turned
  // half round, 0.25 m up: x' = 3 - x, y' = -1.5 - y, z' = z + 0.25.
  graph->addStaticTransform("world", "street_lidar", 3.0, -1.5, 0.25, true);
  graph->handleAt(600.0, makeCloud(scan, "street_lidar"));
  graph->handleAt(600.2, pointsAlongX({}));
  auto mapped = graph->treePublishedAt(600.2);
  ASSERT_TRUE(mapped);

  std::unique_ptr<octomap::OcTree> tree(occupancy_mapping::newSensorModelTree());
  octomap::OcTree& reference = *tree;
  std::size_t inside = 0;
  for (const Point& p : scan)
  {
    const float x = 3.0f - p[0];
    const float y = -1.5f - p[1];
    if (double(x) * x + double(y) * y <= 900.0)
    {
      reference.updateNode(octomap::point3d(x, y, p[2] + 0.25f), true, false);
      ++inside;
    }
  }
  reference.updateInnerOccupancy();
  EXPECT_GT(inside, 100000u);

  const auto expected = mapper_test::occupiedLeaves(reference);
  const auto actual = mapper_test::occupiedLeaves(*mapped);
  EXPECT_GT(expected.size(), 10000u);
  EXPECT_EQ(expected.size(), actual.size());
  EXPECT_TRUE(expected == actual);
}

TEST(MapperNode, PaddedRowsAndUnalignedFieldsGiveTheSameVoxelsAsThePackedCloud)
{
  // Two rows of eight points, each in a voxel of its own, sent from "lidar"
  // so that they take the transform.
  std::vector<Point> points;
  for (int i = 0; i < 16; ++i)
    points.push_back({1.0f + i, i % 2 ? -2.1f : 3.3f, 0.3f * i - 2.0f});
  graph->handleAt(700.0, makeCloud(points, "lidar"));
  graph->handleAt(700.2, pointsAlongX({}));
  auto packed = graph->treePublishedAt(700.2);
  ASSERT_TRUE(packed);
  const auto expected = mapper_test::occupiedLeaves(*packed);
  EXPECT_EQ(16u, expected.size());

  const mapper_test::Layout layouts[] = {{{0, 4, 8}, 16, 8}, {{1, 5, 9}, 13, 0}, {{1, 5, 9}, 13, 3}};
  double t = 700.2;
  for (const mapper_test::Layout& layout : layouts)
  {
    SCOPED_TRACE(layout.pointStep + layout.rowPadding);
    graph->handle(mapper_test::makeLaidOutCloud(points, "lidar", 2, layout));
    t += 0.2;
    graph->handleAt(t, pointsAlongX({}));
    auto tree = graph->treePublishedAt(t);
    ASSERT_TRUE(tree);
    EXPECT_TRUE(expected == mapper_test::occupiedLeaves(*tree));
  }
}

// Runs last, after every other test has driven the node.
TEST(MapperNode, TopicsResolveInTheNodesNamespaceAndTheDebugCloudStaysSilent)
{
  XmlRpc::XmlRpcValue args, result, state;
  args[0] = ros::this_node::getName();
  ASSERT_TRUE(ros::master::execute("getSystemState", args, result, state, true));
  auto hasNode = [&](int kind, const std::string& topic)
  {
    for (int i = 0; i < state[kind].size(); ++i)
      if (static_cast<std::string>(state[kind][i][0]) == topic)
        for (int j = 0; j < state[kind][i][1].size(); ++j)
          if (static_cast<std::string>(state[kind][i][1][j]) == kMapper)
            return true;
    return false;
  };
  const int publishers = 0, subscribers = 1;
  EXPECT_TRUE(hasNode(subscribers, kNs + "velodyne_points"));
  for (const char* topic : {"debug_transform_pc", "debug_insert_pc_freq", "occupied_cells_vis_array", "octomap_binary"})
  {
    EXPECT_TRUE(hasNode(publishers, kNs + "zyr_collision_avoidance/" + topic)) << topic;
    EXPECT_FALSE(hasNode(publishers, kMapper + "/zyr_collision_avoidance/" + topic)) << topic;
  }
  EXPECT_FALSE(hasNode(subscribers, "/velodyne_points"));
  EXPECT_FALSE(hasNode(subscribers, kMapper + "/velodyne_points"));
  EXPECT_EQ(0, graph->debugTransformMessages);
}

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  ros::init(argc, argv, "mapper_node_test");
  MapperGraph g;
  graph = &g;
  const int result = RUN_ALL_TESTS();
  graph = nullptr;
  return result;
}
