#include "zyr_collision_avoidance/obstacle_distance.h"

#include <geometry_msgs/TransformStamped.h>
#include <octomap_msgs/conversions.h>
#include <sensor_msgs/LaserScan.h>

#include <boost/make_shared.hpp>
#include <cmath>
#include <memory>

#include "zyr_collision_avoidance/age_clock.h"
#include "zyr_collision_avoidance/cloud_insertion.h"
#include "zyr_collision_avoidance/collision_probe.h"
#include "zyr_collision_avoidance/data_age.h"

namespace
{
// With maps stopped, the unknown ranges still go out this often.
const double kRepeatPeriod = 0.1;
}  // namespace

ObstacleDistance::Options ObstacleDistance::readOptions(const ros::NodeHandle& privateHandle)
{
  Options o;
  const double band = privateHandle.param("band", o.band);
  if (std::isfinite(band) && band > 0.0)
    o.band = band;
  else
    ROS_ERROR("obstacle_distance: ~band must be a height above 0 m, not %g; using %g", band, o.band);
  return o;
}

namespace
{
ros::NodeHandle inlineHandle(const ros::NodeHandle& nh, InlineCallbacks* queue)
{
  ros::NodeHandle inlined(nh);
  inlined.setCallbackQueue(queue);
  return inlined;
}
}  // namespace

ObstacleDistance::ObstacleDistance(ros::NodeHandle& nh, const Options& options)
    : options_(options),
      tfListener_(tfBuffer_, inlineHandle(nh, &inlineCallbacks_), false),
      ranges_(obstacle_sectors::unknownRanges()),
      mapProblem_(nullptr)
{
  scanPub_ = nh.advertise<sensor_msgs::LaserScan>("zyr_collision_avoidance/obstacle_distance", 5);
  mapSub_ = nh.subscribe("zyr_collision_avoidance/octomap_binary", 2, &ObstacleDistance::onMap, this);
  failsafeSub_ = nh.subscribe("zyr_collision_avoidance/failsafe", 5, &ObstacleDistance::onFailsafe, this);
  timer_ = nh.createTimer(ros::Duration(kRepeatPeriod), &ObstacleDistance::tick, this);
  ROS_INFO("obstacle_distance: %d sectors in \"drone\", band +-%.2f m, range %.1f..%.1f m",
           obstacle_sectors::kSectorCount, options_.band, obstacle_sectors::kRangeMin,
           occupancy_mapping::kInsertionRadius);
}

const char* ObstacleDistance::takeMap(const octomap_msgs::Octomap& msg)
{
  ranges_ = obstacle_sectors::unknownRanges();
  // What the monitor takes, it takes here too; what it drops leaves it blind.
  if (!collision_probe::mapResolutionUsable(msg.resolution) || !octomap_msgs::detail::isKnownTreeType(msg.id) ||
      msg.id == "ColorOcTree")
    return "a map the monitor cannot use (type or resolution)";
  geometry_msgs::TransformStamped pose;
  try
  {
    pose = tfBuffer_.lookupTransform("world", "drone", ros::Time(0));
  }
  catch (const tf2::TransformException& e)
  {
    ROS_WARN_THROTTLE(1.0, "obstacle_distance: no heading: %s", e.what());
    return "no transform world -> drone";
  }
  const auto& r = pose.transform.rotation;
  obstacle_sectors::Heading heading;
  if (!obstacle_sectors::headingOf(Eigen::Quaterniond(r.w, r.x, r.y, r.z), &heading))
    return "no heading (the nose points straight up or down)";

  obstacle_sectors::SectorRanges sectors(heading, options_.band, occupancy_mapping::kInsertionRadius);
  if (msg.binary)
  {
    // Walked straight from the stream: rebuilding the tree would cost far more
    // than everything else this node does.
    if (!obstacle_sectors::addBinaryMap(msg.data, msg.resolution, &sectors))
      return "a malformed map";
  }
  else
  {
    std::unique_ptr<octomap::AbstractOcTree> tree(octomap_msgs::msgToMap(msg));
    const auto* octree = dynamic_cast<const octomap::OcTree*>(tree.get());
    if (!octree)
      return "a malformed map";
    obstacle_sectors::addTree(*octree, &sectors);
  }
  ranges_ = sectors.ranges();
  return nullptr;
}

void ObstacleDistance::onMap(const octomap_msgs::OctomapConstPtr& msg)
{
  haveMap_ = true;
  mapArrivedAt_ = data_age::clockSeconds();
  mapProblem_ = takeMap(*msg);
  publish();
}

void ObstacleDistance::onFailsafe(const std_msgs::StringConstPtr& msg)
{
  const bool changed = msg->data.empty() != failsafe_.empty();
  failsafe_ = msg->data;
  if (changed)
    publish();
}

void ObstacleDistance::tick(const ros::TimerEvent&)
{
  if ((ros::Time::now() - lastPublished_).toSec() >= kRepeatPeriod * 0.9)
    publish();
}

void ObstacleDistance::publish()
{
  const ros::Time now = ros::Time::now();
  std::string unknown;
  if (!failsafe_.empty())
    unknown = "the watchdog's fail-safe holds (" + failsafe_ + ")";
  else if (!haveMap_)
    unknown = "no map yet";
  else if (!data_age::fresh(data_age::clockSeconds() - mapArrivedAt_, collision_probe::kMapMaxAgeSeconds))
    unknown = "the latest map is stale";
  else if (mapProblem_)
    unknown = mapProblem_;
  if (unknown != shown_)
  {
    // The watchdog reports the stages themselves; this only says what the
    // ground station is shown.
    if (unknown.empty())
      ROS_INFO("obstacle_distance: ranges known");
    else
      ROS_INFO("obstacle_distance: every range unknown: %s", unknown.c_str());
    shown_ = unknown;
  }

  auto scan = boost::make_shared<sensor_msgs::LaserScan>();
  scan->header.stamp = now;
  // Front-right-down, as the ground station's side expects: from the nose,
  // angles grow towards the right, clockwise seen from above.
  scan->header.frame_id = "drone";
  scan->angle_min = 0.0f;
  scan->angle_increment = static_cast<float>(obstacle_sectors::kSectorWidth);
  scan->angle_max = scan->angle_increment * (obstacle_sectors::kSectorCount - 1);
  scan->scan_time = static_cast<float>(kRepeatPeriod);
  scan->range_min = obstacle_sectors::kRangeMin;
  scan->range_max = static_cast<float>(occupancy_mapping::kInsertionRadius);
  const obstacle_sectors::Ranges& ranges = unknown.empty() ? ranges_ : obstacle_sectors::unknownRanges();
  scan->ranges.assign(ranges.begin(), ranges.end());
  scanPub_.publish(scan);
  lastPublished_ = now;
}
