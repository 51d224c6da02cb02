// The test's side of an occupancy_mapper_node running in the namespace
// "uav1" on simulated time: the clock, static transforms and clouds it sends,
// and everything the node publishes, collected in arrival order.
#ifndef ZYR_COLLISION_AVOIDANCE_TEST_MAPPER_GRAPH_H
#define ZYR_COLLISION_AVOIDANCE_TEST_MAPPER_GRAPH_H

#include <geometry_msgs/TransformStamped.h>
#include <gtest/gtest.h>
#include <octomap/OcTree.h>
#include <octomap_msgs/Octomap.h>
#include <octomap_msgs/conversions.h>
#include <ros/master.h>
#include <ros/network.h>
#include <ros/ros.h>
#include <rosgraph_msgs/Clock.h>
#include <rosgraph_msgs/Log.h>
#include <sensor_msgs/PointCloud2.h>
#include <std_msgs/String.h>
#include <tf2_msgs/TFMessage.h>
#include <visualization_msgs/MarkerArray.h>
#include <xmlrpcpp/XmlRpcClient.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mapper_test_clouds.h"
#include "zyr_test_support/inbox.h"

namespace mapper_test
{
using test_support::spinUntil;

const std::string kMapper = "/uav1/occupancy_mapper_node";
const std::string kNs = "/uav1/";
const unsigned kProbeWidth = 999;

inline std::unique_ptr<octomap::OcTree> decode(const octomap_msgs::Octomap& msg)
{
  octomap::AbstractOcTree* tree = octomap_msgs::msgToMap(msg);
  auto* octree = dynamic_cast<octomap::OcTree*>(tree);
  if (!octree)
    delete tree;
  return std::unique_ptr<octomap::OcTree>(octree);
}

inline bool occupiedAt(const octomap::OcTree& tree, double x, double y, double z)
{
  const octomap::OcTreeNode* node = tree.search(x, y, z);
  return node && tree.isNodeOccupied(node);
}

// Everything the test sees of the node, collected in arrival order.
class MapperGraph
{
public:
  MapperGraph()
  {
    clockPub = nh.advertise<rosgraph_msgs::Clock>("/clock", 10);
    tfStaticPub = nh.advertise<tf2_msgs::TFMessage>("/tf_static", 10, true);
    cloudPub = nh.advertise<sensor_msgs::PointCloud2>(kNs + "velodyne_points", 50);
    insertSub =
        nh.subscribe<std_msgs::String>(kNs + "zyr_collision_avoidance/debug_insert_pc_freq", 100,
                                       [this](const std_msgs::String::ConstPtr& m) { inserts.push_back(m->data); });
    octomapSub = subscribeOctomaps();
    debugTransformSub = nh.subscribe<sensor_msgs::PointCloud2>(kNs + "zyr_collision_avoidance/debug_transform_pc", 10,
                                                               [this](const sensor_msgs::PointCloud2::ConstPtr&)
                                                               { ++debugTransformMessages; });
    rosoutSub = nh.subscribe<rosgraph_msgs::Log>("/rosout", 1000,
                                                 [this](const rosgraph_msgs::Log::ConstPtr& m)
                                                 {
                                                   if (m->name == kMapper)
                                                     logs.push_back(*m);
                                                 });
    addStaticTransform("world", "lidar", 10.0, 0.0, 0.0, false);
  }

  ros::Subscriber subscribeOctomaps()
  {
    return nh.subscribe<octomap_msgs::Octomap>(kNs + "zyr_collision_avoidance/octomap_binary", 100,
                                               [this](const octomap_msgs::Octomap::ConstPtr& m)
                                               { octomaps.push_back(*m); });
  }

  ros::Subscriber subscribeMarkers()
  {
    return nh.subscribe<visualization_msgs::MarkerArray>(kNs + "zyr_collision_avoidance/occupied_cells_vis_array", 100,
                                                         [this](const visualization_msgs::MarkerArray::ConstPtr& m)
                                                         { markerArrays.push_back(*m); });
  }

  // A static transform parent → child: a translation, optionally after a
  // half turn about z (both exact in single precision).
  void addStaticTransform(const std::string& parent, const std::string& child, double x, double y, double z,
                          bool halfTurn)
  {
    geometry_msgs::TransformStamped t;
    t.header.frame_id = parent;
    t.child_frame_id = child;
    t.transform.translation.x = x;
    t.transform.translation.y = y;
    t.transform.translation.z = z;
    t.transform.rotation.z = halfTurn ? 1.0 : 0.0;
    t.transform.rotation.w = halfTurn ? 0.0 : 1.0;
    staticTransforms.transforms.push_back(t);
    tfStaticPub.publish(staticTransforms);
  }

  // Sets the simulated clock and returns once the node handles clouds at
  // that time. Time only moves forward in these tests.
  void setClock(double seconds)
  {
    now = seconds;
    const ros::Time target(seconds);
    bool seen = false;
    for (int attempt = 0; attempt < 200 && !seen && ros::ok(); ++attempt)
    {
      rosgraph_msgs::Clock clock;
      clock.clock = target;
      clockPub.publish(clock);
      const std::size_t before = logs.size();
      sensor_msgs::PointCloud2 probe;  // no fields: rejected, map untouched
      probe.header.frame_id = "world";
      probe.header.stamp = target;
      probe.width = kProbeWidth;
      cloudPub.publish(probe);
      spinUntil(
          [&]
          {
            for (std::size_t i = before; i < logs.size(); ++i)
              if (logs[i].msg.find("Rejecting") != std::string::npos && logs[i].header.stamp == target)
                seen = true;
            return seen;
          },
          0.05);
    }
    ASSERT_TRUE(seen) << "the node never saw clock " << seconds;
  }

  // Publishes a cloud at the current clock and waits for its "Inserting"
  // text. Only one cloud is in flight at a time.
  void handle(sensor_msgs::PointCloud2 cloud)
  {
    cloud.header.stamp = ros::Time(now);
    const std::size_t before = inserts.size();
    cloudPub.publish(cloud);
    ASSERT_TRUE(spinUntil([&] { return inserts.size() > before; })) << "cloud not handled";
    ASSERT_EQ(before + 1, inserts.size());
    EXPECT_EQ("Inserting " + std::to_string(cloud.width), inserts.back());
  }

  void handleAt(double seconds, const sensor_msgs::PointCloud2& cloud)
  {
    setClock(seconds);
    handle(cloud);
  }

  // The tree published at the given ROS time (the message's stamp).
  std::unique_ptr<octomap::OcTree> treePublishedAt(double seconds)
  {
    const octomap_msgs::Octomap* found = nullptr;
    spinUntil(
        [&]
        {
          for (const auto& msg : octomaps)
            if (msg.header.stamp == ros::Time(seconds))
              found = &msg;
          return found != nullptr;
        });
    if (!found)
      return nullptr;
    EXPECT_EQ("world", found->header.frame_id);
    EXPECT_TRUE(found->binary);
    EXPECT_EQ("OcTree", found->id);
    EXPECT_DOUBLE_EQ(0.3, found->resolution);
    return decode(*found);
  }

  // Index of the first log line of the node from `from` on that contains
  // `text`, or -1.
  int findLog(const std::string& text, std::size_t from = 0) const
  {
    for (std::size_t i = from; i < logs.size(); ++i)
      if (logs[i].msg.find(text) != std::string::npos)
        return static_cast<int>(i);
    return -1;
  }

  // Waits until the node has seen everything published so far on /rosout:
  // the reply to a probe comes after every earlier line of the node.
  void syncLogs()
  {
    setClock(now);
  }

  // True once the node's publisher of `topic` has a connection to this test.
  bool nodePublishesTo(const std::string& topic) const
  {
    XmlRpc::XmlRpcValue args, result, payload;
    args[0] = ros::this_node::getName();
    args[1] = kMapper;
    if (!ros::master::execute("lookupNode", args, result, payload, false))
      return false;
    std::string host;
    uint32_t port = 0;
    if (!ros::network::splitURI(static_cast<std::string>(payload), host, port))
      return false;
    XmlRpc::XmlRpcClient client(host.c_str(), static_cast<int>(port), "/");
    XmlRpc::XmlRpcValue request, response;
    request[0] = ros::this_node::getName();
    if (!client.execute("getBusInfo", request, response) || response.getType() != XmlRpc::XmlRpcValue::TypeArray ||
        response.size() < 3)
      return false;
    XmlRpc::XmlRpcValue& connections = response[2];
    for (int i = 0; i < connections.size(); ++i)
    {
      XmlRpc::XmlRpcValue& c = connections[i];
      if (c.size() >= 5 && static_cast<std::string>(c[1]) == ros::this_node::getName() &&
          static_cast<std::string>(c[2]) == "o" && static_cast<std::string>(c[4]) == topic)
        return true;
    }
    return false;
  }

  ros::NodeHandle nh;
  ros::Publisher clockPub, tfStaticPub, cloudPub;
  ros::Subscriber insertSub, octomapSub, debugTransformSub, rosoutSub;
  tf2_msgs::TFMessage staticTransforms;
  std::vector<std::string> inserts;
  std::vector<octomap_msgs::Octomap> octomaps;
  std::vector<visualization_msgs::MarkerArray> markerArrays;
  std::vector<rosgraph_msgs::Log> logs;
  int debugTransformMessages = 0;
  double now = 0.0;
};

// A cloud of one point per given x, each in its own voxel on the line
// y = z = 0.45.
inline sensor_msgs::PointCloud2 pointsAlongX(std::vector<float> xs, const std::string& frame = "world")
{
  std::vector<Point> points;
  for (float x : xs)
    points.push_back({x, 0.45f, 0.45f});
  return makeCloud(points, frame);
}
}  // namespace mapper_test

#endif  // ZYR_COLLISION_AVOIDANCE_TEST_MAPPER_GRAPH_H
