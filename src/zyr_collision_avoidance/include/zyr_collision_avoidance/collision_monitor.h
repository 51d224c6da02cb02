// Forward collision monitor: keeps the latest occupancy octree, casts a fan of
// 60 probe rays ahead of the aircraft and publishes the verdict on
// "collision_info_msg" (0 clear, 1 danger), with debug values and markers.
#ifndef ZYR_COLLISION_AVOIDANCE_COLLISION_MONITOR_H
#define ZYR_COLLISION_AVOIDANCE_COLLISION_MONITOR_H

#include <geometry_msgs/Vector3.h>
#include <octomap/OcTree.h>
#include <octomap_msgs/Octomap.h>
#include <ros/ros.h>
#include <tf/transform_listener.h>
#include <visualization_msgs/Marker.h>
#include <visualization_msgs/MarkerArray.h>
#include <zyr_sdk/RCChannels.h>
#include <zyr_sdk/Velocity.h>

#include <Eigen/Core>
#include <boost/shared_ptr.hpp>

#include "zyr_collision_avoidance/collision_probe.h"
#include "zyr_collision_avoidance/data_age.h"

// Marker builders behind the display operations of CollisionDetector.
namespace collision_probe
{
visualization_msgs::Marker makeCollisionMarker(const octomath::Vector3& point);
// An arrow from the world origin to `vector`; for vectors of 0.05 or shorter
// a DELETE of it (transparent), so that a stale arrow is taken away rather
// than left standing, without a marker a viewer would flag as invisible.
visualization_msgs::Marker makeVectorArrow(const Eigen::Vector3f& vector, float r, float g, float b);
// The fan drawn for a query: 60 arrows, or one DELETEALL arrow when the
// direction gives no heading.
visualization_msgs::MarkerArray makeRaycastArray(const Eigen::Vector3f& direction, double distance);
}  // namespace collision_probe

// Keeps the memory of freed maps in the process. The held tree (some 100,000
// small blocks for a busy window) is freed whole before the next map is
// decoded, eight times a second; handing those pages back to the system and
// faulting them in again costs more than the decode itself. Called once, before
// the first map, by the node and by the benchmark that times the decode.
void keepFreedMapMemory();

// One ray arrow of the fan; `add` false makes it a DELETEALL that clears the
// fan drawn before.
visualization_msgs::Marker generateArrow(Eigen::Vector3f from, Eigen::Vector3f to, int id, bool add);

class CollisionDetector
{
public:
  CollisionDetector();
  ~CollisionDetector();
  CollisionDetector(const CollisionDetector&) = delete;
  CollisionDetector& operator=(const CollisionDetector&) = delete;

  void octomapCallback(boost::shared_ptr<const octomap_msgs::Octomap> msg);
  bool getDroneOrigin();
  void queryForward_ver3(octomap::OcTree* tree, Eigen::Vector3f direction, double range);
  void velCallback_ver2(boost::shared_ptr<const zyr_sdk::Velocity> msg);
  void rcCallback(zyr_sdk::RCChannels msg);

  void displayCollision(octomap::OcTree* tree);
  void displayVelocityVector(Eigen::Vector3f velocityVector);
  void displayRC(Eigen::Vector3f stickVector);
  void displayRaycast(Eigen::Vector3f direction, double distance);

private:
  // One Warn line a second at most for queries that could not be made.
  void reportNoStatus(const char* problem);

  ros::NodeHandle nodeHandle;
  ros::Subscriber velocitySub;
  ros::Subscriber octomapSub;
  ros::Subscriber rcSub;
  ros::Publisher velocityMarkerPub;
  ros::Publisher collisionMarkerPub;
  ros::Publisher rcMarkerPub;
  ros::Publisher raycastMarkerArrayPub;
  ros::Publisher debugQueryPub;
  ros::Publisher collisionInfoPub;
  ros::Publisher debugCollisionPub;
  geometry_msgs::Vector3 debugCollisionMsg;
  tf::TransformListener tfListener;
  Eigen::Vector3f droneOrigin;
  bool droneOriginValid;
  Eigen::Vector3f velocity;
  Eigen::Vector3f rcVector;
  bool rcVectorUsable;  // false after a stick message of garbage, until a usable one
  octomath::Vector3 collisionPoint;
  octomap::OcTree* octree;                // non-owning view of abstractTree, or null
  octomap::AbstractOcTree* abstractTree;  // owns the held tree
  double mapReceivedAt;                   // on data_age::clockSeconds(), of the last map message
  data_age::Throttle staleMapWarning;
};

#endif  // ZYR_COLLISION_AVOIDANCE_COLLISION_MONITOR_H
