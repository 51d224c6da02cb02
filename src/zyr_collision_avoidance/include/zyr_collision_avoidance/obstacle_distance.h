// obstacle_distance: the distances to the obstacles around the aircraft, as a
// ground station's radar view wants them. A node beside the flight programs
// (it reads parameters); it only subscribes, and publishes its scan.
//
// Subscribed: "zyr_collision_avoidance/octomap_binary" (the mapper's maps),
// "zyr_collision_avoidance/failsafe" (the watchdog's hold, latched: the reason
// while it holds, "" when not) and tf ("world" -> "drone", for the heading).
// Published: "zyr_collision_avoidance/obstacle_distance", sensor_msgs/LaserScan
// in "drone" with 72 ranges (obstacle_sectors.h), for each map and, when maps
// stop, every 0.1 s. Every range is NaN ("unknown") before the first map, once
// the map is older than the monitor's staleness bound, after a map the monitor
// could not read either, without the aircraft's heading, and while the
// watchdog's fail-safe holds: a radar must not show "clear" from old data.
#ifndef ZYR_COLLISION_AVOIDANCE_OBSTACLE_DISTANCE_H
#define ZYR_COLLISION_AVOIDANCE_OBSTACLE_DISTANCE_H

#include <octomap_msgs/Octomap.h>
#include <ros/ros.h>
#include <std_msgs/String.h>
#include <tf2_ros/buffer.h>
#include <tf2_ros/transform_listener.h>

#include <string>

#include "zyr_collision_avoidance/inline_callbacks.h"
#include "zyr_collision_avoidance/obstacle_sectors.h"

class ObstacleDistance
{
public:
  struct Options
  {
    double band = 1.0;  // half-height of the band about the aircraft's height, m
  };

  /// The options from the private parameter ~band; an unusable value is
  /// reported and replaced by the default.
  static Options readOptions(const ros::NodeHandle& privateHandle);

  ObstacleDistance(ros::NodeHandle& nh, const Options& options);

  ObstacleDistance(const ObstacleDistance&) = delete;
  ObstacleDistance& operator=(const ObstacleDistance&) = delete;

private:
  void onMap(const octomap_msgs::OctomapConstPtr& msg);
  void onFailsafe(const std_msgs::StringConstPtr& msg);
  void tick(const ros::TimerEvent&);
  // The ranges of a map, or null with `ranges_` unknown and the reason.
  const char* takeMap(const octomap_msgs::Octomap& msg);
  void publish();

  Options options_;
  tf2_ros::Buffer tfBuffer_;
  // A hundred transforms a second go straight into the buffer, in the thread
  // that receives them: the spin thread wakes only for maps and the timer.
  InlineCallbacks inlineCallbacks_;  // outlives the listener that uses it
  tf2_ros::TransformListener tfListener_;
  ros::Subscriber mapSub_;
  ros::Subscriber failsafeSub_;
  ros::Publisher scanPub_;
  ros::Timer timer_;
  obstacle_sectors::Ranges ranges_;  // of the latest map
  const char* mapProblem_;           // why the latest map gave no ranges, or null
  bool haveMap_ = false;
  double mapArrivedAt_ = 0.0;        // on the age clock (age_clock.h), as the monitor ages its map
  ros::Time lastPublished_;
  std::string failsafe_;  // the watchdog's reason while it holds
  std::string shown_;     // why the latest scan was unknown, "" when it was not
};

#endif  // ZYR_COLLISION_AVOIDANCE_OBSTACLE_DISTANCE_H
