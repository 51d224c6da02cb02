#include "zyr_collision_avoidance/occupancy_mapper.h"

#include <octomap_msgs/Octomap.h>
#include <octomap_msgs/conversions.h>
#include <pcl_ros/transforms.h>
#include <std_msgs/String.h>

#include <boost/bind/bind.hpp>
#include <boost/make_shared.hpp>
#include <cassert>

namespace occupancy_mapping
{
bool fillOccupiedCellMarkers(const octomap::OcTree& tree, const std::string& frame, bool collectPoints,
                             visualization_msgs::MarkerArray& markers)
{
  std_msgs::ColorRGBA blue;
  blue.r = 0.0f;
  blue.g = 0.0f;
  blue.b = 1.0f;
  blue.a = 1.0f;
  const std::size_t nodeCount = tree.size();
  const unsigned treeDepth = tree.getTreeDepth();
  markers.markers.assign(treeDepth + 1, visualization_msgs::Marker());
  if (nodeCount <= 1)
    return false;

  // Pruning merges eight equal children, so a leaf can sit at any depth; each
  // depth gets its own marker because a CUBE_LIST has one cube size.
  for (auto it = tree.begin_leafs(treeDepth), end = tree.end_leafs(); it != end; ++it)
  {
    if (!tree.isNodeOccupied(*it))
      continue;
    const double z = it.getZ();
    if (!(z > -2.0 && z < 2.0))
      continue;
    const double x = it.getX();
    const double y = it.getY();
    if (collectPoints)
    {
      const unsigned idx = it.getDepth();
      assert(idx < markers.markers.size());
      geometry_msgs::Point centre;
      centre.x = x;
      centre.y = y;
      centre.z = z;
      markers.markers[idx].points.push_back(centre);
      markers.markers[idx].colors.push_back(blue);
    }
  }

  if (collectPoints)
  {
    for (unsigned i = 0; i < markers.markers.size(); ++i)
    {
      visualization_msgs::Marker& marker = markers.markers[i];
      marker.header.frame_id = frame;
      marker.header.stamp = ros::Time::now();
      marker.ns = "";
      marker.id = static_cast<int>(i);
      marker.type = visualization_msgs::Marker::CUBE_LIST;
      marker.pose.orientation.w = 1.0;
      const double size = tree.getNodeSize(i);
      marker.scale.x = size;
      marker.scale.y = size;
      marker.scale.z = size;
      marker.color = blue;
      // An empty depth still goes out, so that a viewer drops the cubes an
      // earlier array left there.
      marker.action = marker.points.empty() ? visualization_msgs::Marker::DELETE : visualization_msgs::Marker::ADD;
    }
  }
  return true;
}
}  // namespace occupancy_mapping

OccupancyGridBuilder::OccupancyGridBuilder(ros::NodeHandle /*nh*/)
    : nodeHandle(),
      tfListener(ros::Duration(tf::Transformer::DEFAULT_CACHE_TIME), true),
      pointCloudSub(nullptr),
      tfPointCloudFilter(nullptr),
      debugTransformPcPub(),
      debugInsertPcFreqPub(),
      occupiedCellsVisPub(),
      octomapBinaryPub(),
      transformedCloud(new sensor_msgs::PointCloud2()),
      octree(nullptr),
      targetFrame("world"),
      octreeResolution(occupancy_mapping::kResolution)
{
  pointCloudSub = new message_filters::Subscriber<sensor_msgs::PointCloud2>(nodeHandle, "velodyne_points", 20);
  tfPointCloudFilter = new tf::MessageFilter<sensor_msgs::PointCloud2>(*pointCloudSub, tfListener, targetFrame, 20,
                                                                       ros::NodeHandle(), ros::Duration(0.01));
  tfPointCloudFilter->registerCallback(
      boost::bind(&OccupancyGridBuilder::pointCloudCallback, this, boost::placeholders::_1));

  debugTransformPcPub =
      nodeHandle.advertise<sensor_msgs::PointCloud2>("zyr_collision_avoidance/debug_transform_pc", 2, false);
  debugInsertPcFreqPub =
      nodeHandle.advertise<std_msgs::String>("zyr_collision_avoidance/debug_insert_pc_freq", 2, false);
  occupiedCellsVisPub = nodeHandle.advertise<visualization_msgs::MarkerArray>(
      "zyr_collision_avoidance/occupied_cells_vis_array", 10, false);
  octomapBinaryPub = nodeHandle.advertise<octomap_msgs::Octomap>("zyr_collision_avoidance/octomap_binary", 5, false);
}

OccupancyGridBuilder::~OccupancyGridBuilder()
{
  // The filter disconnects from the subscriber, so it goes while that exists.
  delete tfPointCloudFilter;
  tfPointCloudFilter = nullptr;
  delete pointCloudSub;
  pointCloudSub = nullptr;
  delete octree;
  octree = nullptr;
}

void OccupancyGridBuilder::pointCloudCallback(const sensor_msgs::PointCloud2::ConstPtr& cloud)
{
  static ros::Time start_time;

  // A malformed cloud would make the transform and the field iterators read
  // outside the message; it must neither stop the node nor touch the map.
  const std::string problem = occupancy_mapping::cloudLayoutProblem(*cloud);
  if (!problem.empty())
  {
    ROS_ERROR("Rejecting point cloud from frame %s: %s", cloud->header.frame_id.c_str(), problem.c_str());
    return;
  }

  // The transform walks the points as if packed and loads its floats in
  // place: padded rows or unaligned floats go on as a plain copy of the
  // coordinates. A cloud as LiDAR drivers send it is not copied.
  sensor_msgs::PointCloud2::ConstPtr readable = cloud;
  if (occupancy_mapping::needsPacking(*cloud))
    readable = boost::make_shared<const sensor_msgs::PointCloud2>(occupancy_mapping::packedXyz(*cloud));

  // Without this cloud in the buffer there is nothing to insert: the buffer
  // still holds an earlier cloud, which must not be mapped a second time.
  if (!transformPointCloud(readable, targetFrame))
    return;

  if (octree == nullptr)
  {
    start_time = ros::Time::now();
    octree = createNewOcTree();
    if (octree != nullptr)
      insertScan(transformedCloud, octree);
  }
  else
  {
    const ros::Time now = ros::Time::now();
    if (occupancy_mapping::windowElapsed((now - start_time).toNSec()))
    {
      // The cloud that closes a window opens the next one.
      start_time = now;
      publishAll(octree);
      delete octree;
      octree = nullptr;
      octree = createNewOcTree();
      if (octree != nullptr)
        insertScan(transformedCloud, octree);
    }
    else
    {
      insertScan(transformedCloud, octree);
    }
  }

  std_msgs::String text;
  text.data = "Inserting " + std::to_string(cloud->width);
  debugInsertPcFreqPub.publish(text);
}

bool OccupancyGridBuilder::transformPointCloud(sensor_msgs::PointCloud2::ConstPtr cloud, std::string targetFrame)
{
  if (cloud->header.frame_id == targetFrame)
  {
    *transformedCloud = *cloud;
    ROS_DEBUG("No need to transform.");
    return true;
  }
  try
  {
    if (!pcl_ros::transformPointCloud(targetFrame, *cloud, *transformedCloud, tfListener))
      return false;
    ROS_INFO("Transformed %d points from %s to  %d points in frame %s", static_cast<int>(cloud->width),
             cloud->header.frame_id.c_str(), static_cast<int>(transformedCloud->width),
             transformedCloud->header.frame_id.c_str());
    return true;
  }
  catch (const tf::TransformException& e)
  {
    ROS_ERROR_STREAM("Transform error of sensor data: " << e.what() << ", quitting callback");
    return false;
  }
}

octomap::OcTree* OccupancyGridBuilder::createNewOcTree()
{
  octomap::OcTree* tree = occupancy_mapping::newSensorModelTree(octreeResolution);
  if (tree == nullptr)
    ROS_INFO("ERROR Creating OcTree!!!");
  return tree;
}

void OccupancyGridBuilder::insertScan(const sensor_msgs::PointCloud2::ConstPtr& cloud, octomap::OcTree* tree)
{
  occupancy_mapping::insertHits(*cloud, *tree);
}

void OccupancyGridBuilder::publishAll(octomap::OcTree* tree)
{
  publishOccupiedGrid(tree, true);
  publishOcTree(tree);
}

void OccupancyGridBuilder::publishOccupiedGrid(octomap::OcTree* tree, bool publishMarkerArray)
{
  // Walking the leaves costs a pass over the whole tree.
  if (occupiedCellsVisPub.getNumSubscribers() == 0)
    return;
  visualization_msgs::MarkerArray occupiedNodesVis;
  if (!occupancy_mapping::fillOccupiedCellMarkers(*tree, targetFrame, publishMarkerArray, occupiedNodesVis))
  {
    ROS_WARN("Nothing to publish, octree is empty");
    return;
  }
  if (publishMarkerArray)
    occupiedCellsVisPub.publish(occupiedNodesVis);
}

void OccupancyGridBuilder::publishOcTree(octomap::OcTree* tree)
{
  if (octomapBinaryPub.getNumSubscribers() == 0)
    return;
  octomap_msgs::Octomap message;
  message.header.frame_id = targetFrame;
  message.header.stamp = ros::Time::now();
  if (octomap_msgs::binaryMapToMsg(*tree, message))
    octomapBinaryPub.publish(message);
  else
    ROS_ERROR("Error serializing OctoMap");
}
