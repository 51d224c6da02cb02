// Rolling occupancy map built from the LiDAR's point clouds.
//
// Every cloud is brought into the map frame "world" and its points within
// 30 m of the vertical axis through the world origin become hits in a
// probabilistic octree of 0.3 m voxels. A tree collects the clouds of one
// window of 0.12 s (ROS clock); the first cloud handled after that window
// publishes the tree, deletes it and starts the next tree.
#ifndef ZYR_COLLISION_AVOIDANCE_OCCUPANCY_MAPPER_H
#define ZYR_COLLISION_AVOIDANCE_OCCUPANCY_MAPPER_H

#include <message_filters/subscriber.h>
#include <octomap/OcTree.h>
#include <ros/ros.h>
#include <sensor_msgs/PointCloud2.h>
#include <tf/message_filter.h>
#include <tf/transform_listener.h>
#include <visualization_msgs/MarkerArray.h>

#include <string>

#include "zyr_collision_avoidance/cloud_insertion.h"

// The insertion itself (cloudLayoutProblem, newSensorModelTree, insertHits)
// lives in cloud_insertion.h; the marker walk stays here beside the ROS glue.
namespace occupancy_mapping
{
/// Fills `markers` with one CUBE_LIST per tree depth holding the centres of
/// the occupied leaves that lie between -2 m and 2 m in height. With
/// `collectPoints` false the leaves are walked but nothing is filled. False,
/// with nothing filled, when the tree has no more than a root node.
bool fillOccupiedCellMarkers(const octomap::OcTree& tree, const std::string& frame, bool collectPoints,
                             visualization_msgs::MarkerArray& markers);
}  // namespace occupancy_mapping

class OccupancyGridBuilder
{
public:
  /// The handle is not used: every topic goes through the default handle,
  /// so names resolve in the node's namespace even for a private handle.
  explicit OccupancyGridBuilder(ros::NodeHandle nh);
  ~OccupancyGridBuilder();

  OccupancyGridBuilder(const OccupancyGridBuilder&) = delete;
  OccupancyGridBuilder& operator=(const OccupancyGridBuilder&) = delete;

  void pointCloudCallback(const sensor_msgs::PointCloud2::ConstPtr& cloud);

  /// Writes the cloud, expressed in `targetFrame`, into `transformedCloud`.
  /// False when it could not: the buffer then does not hold this cloud and
  /// must not be inserted.
  bool transformPointCloud(sensor_msgs::PointCloud2::ConstPtr cloud, std::string targetFrame);

  octomap::OcTree* createNewOcTree();
  void insertScan(const sensor_msgs::PointCloud2::ConstPtr& cloud, octomap::OcTree* tree);

  void publishAll(octomap::OcTree* tree);
  void publishOccupiedGrid(octomap::OcTree* tree, bool publishMarkerArray);
  void publishOcTree(octomap::OcTree* tree);

private:
  ros::NodeHandle nodeHandle;
  tf::TransformListener tfListener;
  message_filters::Subscriber<sensor_msgs::PointCloud2>* pointCloudSub;
  tf::MessageFilter<sensor_msgs::PointCloud2>* tfPointCloudFilter;
  ros::Publisher debugTransformPcPub;
  ros::Publisher debugInsertPcFreqPub;
  ros::Publisher occupiedCellsVisPub;
  ros::Publisher octomapBinaryPub;
  sensor_msgs::PointCloud2::Ptr transformedCloud;
  octomap::OcTree* octree;
  std::string targetFrame;
  double octreeResolution;
};

#endif  // ZYR_COLLISION_AVOIDANCE_OCCUPANCY_MAPPER_H
