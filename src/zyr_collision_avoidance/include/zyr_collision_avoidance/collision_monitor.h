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
#include <array>
#include <boost/shared_ptr.hpp>
#include <cstdint>

// The probe fan and the decision taken from it, free of ROS so that they can
// be exercised and measured without a master. The query casts exactly the
// rays built here and the ray markers draw exactly the same rays.
namespace collision_probe
{
constexpr int kColumns = 10;  // lateral samples, outer loop
constexpr int kRows = 6;      // vertical samples, inner loop
constexpr int kRayCount = kColumns * kRows;
// More than this many hits is a collision.
constexpr int kTolerableHits = 3;
// A direction shorter than this gives no heading to probe along.
constexpr double kMinDirectionLength = 0.01;

struct Segment
{
  Eigen::Vector3f start;
  Eigen::Vector3f end;
};

struct Fan
{
  // False when the direction is too short or not finite (or the range is not
  // a positive finite length): there is nothing to probe and no ray is cast.
  bool usable = false;
  Eigen::Vector3f far = Eigen::Vector3f::Zero();   // unit direction times range
  Eigen::Vector3f side = Eigen::Vector3f::Zero();  // horizontal, at right angles to far
  Eigen::Vector3f up = Eigen::Vector3f::Zero();    // far x side, normalised
  // Ray 6*j + k pairs column j with row k (j outer, k inner).
  std::array<Segment, kRayCount> rays{};
};

// Offsets of the grid in metres: lower bound + index * (span / count),
// computed in double and converted to float. The last sample of each axis
// stops one step short of the upper bound, so the grid is not symmetric.
float startColumnOffset(int j);
float startRowOffset(int k);
float endColumnOffset(int j);
float endRowOffset(int k);

// True if `direction` gives a heading: finite and at least 0.01 long.
bool directionUsable(const Eigen::Vector3f& direction);

// Builds the 60 probe segments around the world origin for a heading and a
// look-ahead range in metres. A heading with no horizontal component gets the
// world y axis as its side vector, so nothing divides by zero.
Fan buildFan(const Eigen::Vector3f& direction, double range);

struct Verdict
{
  std::uint8_t status = 0;                                        // 0 clear, 1 collision
  octomath::Vector3 collisionPoint = octomath::Vector3(0, 0, 0);  // end of the deciding hit, else zero
  int hits = 0;
  int raysCast = 0;
};

// Casts the fan's rays in order through `tree`, each only along its own
// segment and with unknown cells taken as free, and stops at the hit that
// makes the count exceed kTolerableHits.
Verdict castFan(const octomap::OcTree& tree, const Fan& fan);

// Marker builders behind the display operations of CollisionDetector.
visualization_msgs::Marker makeCollisionMarker(const octomath::Vector3& point);
// An arrow from the world origin to `vector`; transparent for vectors of
// 0.05 or shorter so that a stale arrow is hidden rather than left standing.
visualization_msgs::Marker makeVectorArrow(const Eigen::Vector3f& vector, float r, float g, float b);
// The fan drawn for a query: 60 arrows, or one DELETEALL arrow when the
// direction gives no heading.
visualization_msgs::MarkerArray makeRaycastArray(const Eigen::Vector3f& direction, double distance);
}  // namespace collision_probe

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
  octomath::Vector3 collisionPoint;
  octomap::OcTree* octree;                // non-owning view of abstractTree, or null
  octomap::AbstractOcTree* abstractTree;  // owns the held tree
};

#endif  // ZYR_COLLISION_AVOIDANCE_COLLISION_MONITOR_H
