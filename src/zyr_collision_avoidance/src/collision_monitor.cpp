#include "zyr_collision_avoidance/collision_monitor.h"

#include <geometry_msgs/PointStamped.h>
#include <malloc.h>
#include <octomap_msgs/conversions.h>
#include <std_msgs/String.h>
#include <std_msgs/UInt8.h>

#include <boost/make_shared.hpp>
#include <cmath>
#include <sstream>
#include <string>

#include "zyr_collision_avoidance/age_clock.h"

namespace collision_probe
{
namespace
{
geometry_msgs::Point toPoint(const Eigen::Vector3f& v)
{
  geometry_msgs::Point p;
  p.x = v.x();
  p.y = v.y();
  p.z = v.z();
  return p;
}
}  // namespace

visualization_msgs::Marker makeCollisionMarker(const octomath::Vector3& point)
{
  visualization_msgs::Marker marker;
  marker.header.frame_id = "world";
  marker.id = 0;
  marker.type = visualization_msgs::Marker::SPHERE;
  marker.action = visualization_msgs::Marker::ADD;
  marker.pose.position.x = point.x();
  marker.pose.position.y = point.y();
  marker.pose.position.z = point.z();
  marker.pose.orientation.w = 1.0;
  marker.scale.x = 0.5;
  marker.scale.y = 0.5;
  marker.scale.z = 0.5;
  marker.color.r = 1.0f;
  marker.color.g = 0.0f;
  marker.color.b = 0.0f;
  marker.color.a = 1.0f;
  return marker;
}

visualization_msgs::Marker makeVectorArrow(const Eigen::Vector3f& vector, float r, float g, float b)
{
  visualization_msgs::Marker marker;
  marker.header.frame_id = "world";
  marker.id = 0;
  marker.type = visualization_msgs::Marker::ARROW;
  marker.action = visualization_msgs::Marker::ADD;
  marker.pose.orientation.w = 1.0;
  marker.points.push_back(toPoint(Eigen::Vector3f::Zero()));
  marker.points.push_back(toPoint(vector));
  marker.scale.x = 0.05;
  marker.scale.y = 0.1;
  marker.scale.z = 0.1;
  marker.color.r = r;
  marker.color.g = g;
  marker.color.b = b;
  // Single-precision length against the double threshold: (0.05, 0, 0) is
  // 0.0500000007 long and counts as visible.
  const bool visible = static_cast<double>(vector.norm()) > 0.05;
  marker.color.a = visible ? 1.0f : 0.0f;
  // A viewer flags a fully transparent marker as faulty: an arrow too short
  // to show takes the one drawn before away instead.
  if (!visible)
    marker.action = visualization_msgs::Marker::DELETE;
  return marker;
}

visualization_msgs::MarkerArray makeRaycastArray(const Eigen::Vector3f& direction, double distance)
{
  visualization_msgs::MarkerArray array;
  const Fan fan = buildFan(direction, distance);
  if (!fan.usable)
  {
    const bool finite = direction.allFinite();
    array.markers.push_back(
        generateArrow(Eigen::Vector3f::Zero(), finite ? direction : Eigen::Vector3f::Zero(), 1, false));
    return array;
  }
  array.markers.reserve(kRayCount);
  for (int id = 0; id < kRayCount; ++id)
    array.markers.push_back(generateArrow(fan.rays[id].start, fan.rays[id].end, id, true));
  return array;
}
}  // namespace collision_probe

void keepFreedMapMemory()
{
  // Freed memory stays with the allocator up to far more than a map takes, and
  // large blocks come from the heap too, so that no threshold adapts on the way.
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  // A map is some 100,000 small nodes freed at once and allocated again. In
  // fast bins they are merged back in bulk on the next larger request, which
  // took a third of the node's time per map; without fast bins they are merged
  // as they are freed and the thread cache still serves the hot sizes.
  mallopt(M_MXFAST, 0);
}

visualization_msgs::Marker generateArrow(Eigen::Vector3f from, Eigen::Vector3f to, int id, bool add)
{
  visualization_msgs::Marker marker;
  marker.header.frame_id = "world";
  marker.header.stamp = ros::Time::now();
  marker.ns = "world";
  marker.id = id;
  marker.type = visualization_msgs::Marker::ARROW;
  marker.action = add ? visualization_msgs::Marker::ADD : visualization_msgs::Marker::DELETEALL;
  marker.pose.orientation.w = 1.0;
  marker.points.push_back(collision_probe::toPoint(from));
  marker.points.push_back(collision_probe::toPoint(to));
  marker.scale.x = 0.01;
  marker.scale.y = 0.1;
  marker.scale.z = 0.1;
  marker.color.r = 0.5f;
  marker.color.g = 0.5f;
  marker.color.b = 0.0f;
  marker.color.a = 1.0f;
  return marker;
}

// Every message goes out as a shared pointer: a subscriber in the same process
// then receives it without a copy, in the order of publication.
CollisionDetector::CollisionDetector()
    : nodeHandle(),
      tfListener(ros::Duration(tf::Transformer::DEFAULT_CACHE_TIME), true),
      droneOrigin(Eigen::Vector3f::Zero()),
      droneOriginValid(false),
      velocity(Eigen::Vector3f::Zero()),
      rcVector(Eigen::Vector3f::Zero()),
      rcVectorUsable(true),
      collisionPoint(0, 0, 0),
      octree(nullptr),
      abstractTree(nullptr),
      mapReceivedAt(0.0)
{
  velocitySub = nodeHandle.subscribe("zyr_sdk/velocity", 20, &CollisionDetector::velCallback_ver2, this);
  rcSub = nodeHandle.subscribe("zyr_sdk/rc_channels", 20, &CollisionDetector::rcCallback, this);
  octomapSub =
      nodeHandle.subscribe("zyr_collision_avoidance/octomap_binary", 2, &CollisionDetector::octomapCallback, this);

  debugQueryPub = nodeHandle.advertise<std_msgs::String>("zyr_collision_avoidance/debug_query_msg", 2);
  debugCollisionPub = nodeHandle.advertise<geometry_msgs::Vector3>("zyr_collision_avoidance/debug_collision_msg", 10);
  collisionMarkerPub = nodeHandle.advertise<visualization_msgs::Marker>("zyr_collision_avoidance/collision_marker", 2);
  rcMarkerPub = nodeHandle.advertise<visualization_msgs::Marker>("zyr_collision_avoidance/rc_marker", 2);
  velocityMarkerPub = nodeHandle.advertise<visualization_msgs::Marker>("zyr_collision_avoidance/velocity_marker", 2);
  raycastMarkerArrayPub =
      nodeHandle.advertise<visualization_msgs::MarkerArray>("zyr_collision_avoidance/raycast_marker_array", 2);
  collisionInfoPub = nodeHandle.advertise<std_msgs::UInt8>("collision_info_msg", 10);
}

CollisionDetector::~CollisionDetector()
{
  // `octree` is the same object seen through its concrete type.
  delete abstractTree;
  abstractTree = nullptr;
  octree = nullptr;
}

void CollisionDetector::octomapCallback(boost::shared_ptr<const octomap_msgs::Octomap> msg)
{
  // Taken before the decode and the first pose lookup, which may wait 3 s:
  // the map is as old as the time it arrived.
  mapReceivedAt = data_age::clockSeconds();
  auto text = boost::make_shared<std_msgs::String>();
  std::stringstream stream;

  // Never two trees in memory: the old one goes before the new one is built.
  if (abstractTree)
  {
    delete abstractTree;
    octree = nullptr;
    abstractTree = nullptr;
  }

  // The conversion checks the untrusted payload first and yields no tree for
  // anything it cannot read safely. A tree of absurd voxels would decode, but
  // a query in it would see nothing and pass for clear: it is not taken either.
  if (collision_probe::mapResolutionUsable(msg->resolution))
    abstractTree = octomap_msgs::msgToMap(*msg);
  if (abstractTree)
    octree = dynamic_cast<octomap::OcTree*>(abstractTree);

  if (octree)
  {
    stream << "OcTree created -- Tree Size=" << octree->size() << ", Resolution=" << octree->getResolution();
    text->data = stream.str();
  }

  if (!droneOriginValid)
    getDroneOrigin();

  debugQueryPub.publish(text);
}

bool CollisionDetector::getDroneOrigin()
{
  ROS_INFO("In getDroneOrigin");
  tf::StampedTransform transform;
  try
  {
    // The lookup below runs whether or not the wait succeeded. The transform
    // library appends its timing to the text even after a successful wait,
    // so only a failed wait has its text logged; success gives an empty line.
    std::string waitError;
    const bool available = tfListener.waitForTransform("world", "drone", ros::Time::now(), ros::Duration(3.0),
                                                       ros::Duration(0.01), &waitError);
    ROS_INFO("%s", available ? "" : waitError.c_str());
    tfListener.lookupTransform("world", "drone", ros::Time(0), transform);
  }
  catch (const tf::TransformException& e)
  {
    ROS_ERROR("%s", e.what());
    return false;
  }
  const tf::Vector3& origin = transform.getOrigin();
  droneOrigin =
      Eigen::Vector3f(static_cast<float>(origin.x()), static_cast<float>(origin.y()), static_cast<float>(origin.z()));
  droneOriginValid = true;
  return true;
}

void CollisionDetector::queryForward_ver3(octomap::OcTree* tree, Eigen::Vector3f direction, double range)
{
  auto status = boost::make_shared<std_msgs::UInt8>();
  status->data = 0;
  if (!tree)
  {
    // Callers hold a map before they query; without one there is no verdict
    // to give, and "clear" would be a false one.
    ROS_ERROR("Forward query without a map, no collision status published");
    return;
  }
  // Garbage motion data gives no verdict at all: a "clear" from it would
  // count towards releasing danger.
  if (const char* problem = collision_probe::queryProblem(direction, range))
  {
    reportNoStatus(problem);
    return;
  }

  const collision_probe::Verdict verdict = castFan(*tree, collision_probe::buildFan(direction, range));
  collisionPoint = verdict.collisionPoint;
  if (verdict.status == 1)
  {
    const double distance = collisionPoint.norm();
    ROS_INFO("Collision Forward in Distance %.2f!", distance);
    debugCollisionMsg.z = distance;
    status->data = 1;
  }
  collisionInfoPub.publish(status);
}

void CollisionDetector::velCallback_ver2(boost::shared_ptr<const zyr_sdk::Velocity> msg)
{
  static unsigned int counter = 0;

  velocity = Eigen::Vector3f(msg->vx, msg->vy, -msg->vz);
  if (msg->health_flag == 0 || !octree)
  {
    ROS_INFO("velocity unhealthy!");
    return;
  }
  if (++counter % 5 != 0)
    return;
  counter = 0;

  // A held tree that has stopped being replaced says nothing about the way
  // ahead: no verdict from it, as with no map, until a fresh one comes.
  const double now = data_age::clockSeconds();
  const double mapAge = now - mapReceivedAt;
  if (!data_age::fresh(mapAge, collision_probe::kMapMaxAgeSeconds))
  {
    if (staleMapWarning.due(now))
      ROS_WARN("Map received %.2f s ago (more than %.2f s): no verdict from a stale map", mapAge,
               collision_probe::kMapMaxAgeSeconds);
    return;
  }

  const collision_probe::Probe probe = collision_probe::chooseProbe(velocity, rcVector, rcVectorUsable);
  if (probe.problem)
  {
    reportNoStatus(probe.problem);
    return;
  }
  debugCollisionMsg.x = probe.speed;
  debugCollisionMsg.y = probe.stickLength;
  debugCollisionMsg.z = 0.0;

  queryForward_ver3(octree, probe.direction, probe.range);
  displayRaycast(probe.direction, probe.range);
  displayCollision(octree);
  displayVelocityVector(probe.velocity);
  displayRC(probe.stick);
  debugCollisionPub.publish(boost::make_shared<geometry_msgs::Vector3>(debugCollisionMsg));
}

void CollisionDetector::rcCallback(zyr_sdk::RCChannels msg)
{
  if (!droneOriginValid)
    return;
  if (!collision_probe::stickValuesUsable(msg.roll, msg.pitch, msg.throttle))
  {
    // No direction can be built from it; at rest there is no verdict until
    // usable sticks come.
    rcVectorUsable = false;
    return;
  }

  const Eigen::Vector3f inBody = collision_probe::stickPointInBody(msg.roll, msg.pitch, msg.throttle);
  const ros::Time now = ros::Time::now();

  try
  {
    tfListener.waitForTransform("world", "drone", now, ros::Duration(0.5), ros::Duration(0.01));
    geometry_msgs::PointStamped stick;
    stick.header.stamp = now;
    stick.header.frame_id = "drone";
    stick.point.x = inBody.x();
    stick.point.y = inBody.y();
    stick.point.z = inBody.z();
    geometry_msgs::PointStamped inWorld;
    tfListener.transformPoint("world", stick, inWorld);
    rcVector = Eigen::Vector3f(static_cast<float>(inWorld.point.x), static_cast<float>(inWorld.point.y),
                               static_cast<float>(inWorld.point.z));
    rcVectorUsable = true;
  }
  catch (const tf::TransformException& e)
  {
    ROS_ERROR_STREAM("Transform error of sensor data: " << e.what() << ", quitting callback");
  }
}

void CollisionDetector::reportNoStatus(const char* problem)
{
  ROS_WARN_THROTTLE(1.0, "Forward query not made, no collision status published: %s", problem);
}

void CollisionDetector::displayCollision(octomap::OcTree* /*tree*/)
{
  if (collisionMarkerPub.getNumSubscribers() == 0)
    return;
  collisionMarkerPub.publish(
      boost::make_shared<visualization_msgs::Marker>(collision_probe::makeCollisionMarker(collisionPoint)));
}

void CollisionDetector::displayVelocityVector(Eigen::Vector3f velocityVector)
{
  if (velocityMarkerPub.getNumSubscribers() == 0)
    return;
  velocityMarkerPub.publish(boost::make_shared<visualization_msgs::Marker>(
      collision_probe::makeVectorArrow(velocityVector, 0.5f, 0.0f, 0.5f)));
}

void CollisionDetector::displayRC(Eigen::Vector3f stickVector)
{
  if (rcMarkerPub.getNumSubscribers() == 0)
    return;
  rcMarkerPub.publish(
      boost::make_shared<visualization_msgs::Marker>(collision_probe::makeVectorArrow(stickVector, 0.0f, 0.5f, 0.5f)));
}

void CollisionDetector::displayRaycast(Eigen::Vector3f direction, double distance)
{
  if (raycastMarkerArrayPub.getNumSubscribers() == 0)
    return;
  raycastMarkerArrayPub.publish(
      boost::make_shared<visualization_msgs::MarkerArray>(collision_probe::makeRaycastArray(direction, distance)));
}
