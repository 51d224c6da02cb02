// vehicle_sim: the simulated aircraft, its LiDAR, its pilot and the world it flies in, on the ROS clock.
//
// Published (relative names, remappable):
//   velodyne_points      sensor_msgs/PointCloud2   LiDAR scans in the LiDAR's frame, stamped at scan time
//   sim/state            zyr_simulation/StateRecord   true velocity, attitude and the pilot's sticks, as a flight
//                        controller reports them: vx east, vy north, vz down; the attitude in north-east-down
//   sim/global_position  zyr_sdk/GlobalPosition    height and GPS health
//   sim/truth            zyr_simulation/VehicleTruth  position, distance to obstacles, collision, counters
//   tf                   world -> drone (rotation only: the aircraft stays at the origin), drone -> lidar; not with
//                        ~broadcast_tf false, when attitude_frames makes them from the attitude the state carries
// The pilot script starts at once, or (~pilot_start "first_command") with the first attitude command, when the loop
// through the system is closed; a scene's start speed is taken up at that moment, so that a run can begin in flight
// close to an obstacle instead of spending its time on the approach.
// Pop-up obstacles (for latency trials): the objects of ~popup_file stand in the scene for ~popup_on seconds, then
// vanish for ~popup_off seconds, again and again from ~popup_start seconds after the start (simulation time); or,
// with ~popup_ahead above 0, they appear for good once the aircraft comes within that many metres of them.
// Clutter in the LiDAR's clouds: ~lidar_dust_points per scan at random (~lidar_dust_min_range..~lidar_dust_max_range),
// ~lidar_airframe_points of the aircraft's own airframe, the same in every scan (0.2..0.6 m).
// Faults (the fault scenarios): ~fault (lidar-dropout, lidar-blind, lidar-frozen, velocity-unhealthy; see
// sensor_faults.h) strikes for good once the obstacle straight ahead is nearer than ~fault_ahead metres; a Warn line
// says when ("vehicle_sim: <what> from now on, ..."). ~lidar_dropout_ahead above 0 is the same as ~fault lidar-dropout.
// Subscribed:
//   sim/attitude_command zyr_simulation/AttitudeCommand  what the SDK node was asked to fly
//   sim/paused           std_msgs/Bool             true freezes the pilot script, false lets it go on
#include <ros/ros.h>
#include <sensor_msgs/PointCloud2.h>
#include <std_msgs/Bool.h>
#include <tf/transform_broadcaster.h>
#include <zyr_sdk/GlobalPosition.h>
#include <zyr_simulation/AttitudeCommand.h>
#include <zyr_simulation/StateRecord.h>
#include <zyr_simulation/VehicleTruth.h>

#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>

#include "zyr_simulation/lidar.h"
#include "zyr_simulation/pilot_script.h"
#include "zyr_simulation/scene.h"
#include "zyr_simulation/sensor_faults.h"
#include "zyr_simulation/vehicle_model.h"

namespace zyr_simulation
{
namespace
{
double positiveParam(ros::NodeHandle& pnh, const std::string& name, double fallback)
{
  double value = pnh.param(name, fallback);
  if (!(value > 0.0) || !std::isfinite(value))
    throw std::invalid_argument("parameter ~" + name + " must be a finite number above 0");
  return value;
}

// An output that runs slower than the node's tick, on the simulation clock. A tick that comes a little early still
// counts, so timer jitter does not drop samples; after a stall it starts afresh instead of catching up in a burst.
struct Schedule
{
  double period;
  double next = -1.0;
  bool due(double t, double tolerance)
  {
    if (next >= 0.0 && t + tolerance < next)
      return false;
    next = (next >= 0.0 && t < next + period) ? next + period : t + period;
    return true;
  }
};
}  // namespace

class VehicleSimNode
{
public:
  VehicleSimNode(ros::NodeHandle& nh, ros::NodeHandle& pnh)
  {
    const std::string scene_file = pnh.param<std::string>("scene_file", "");
    if (scene_file.empty())
      ROS_WARN("vehicle_sim: no ~scene_file given, flying in an empty world");
    else
      base_scene_ = loadScene(scene_file);
    scene_ = base_scene_;
    const std::string popup_file = pnh.param<std::string>("popup_file", "");
    if (!popup_file.empty())
    {
      popup_scene_ = loadScene(popup_file);
      popup_start_ = pnh.param("popup_start", 5.0);
      popup_on_ = positiveParam(pnh, "popup_on", 1.5);
      popup_off_ = positiveParam(pnh, "popup_off", 1.5);
      popup_ahead_ = pnh.param("popup_ahead", 0.0);
      if (!std::isfinite(popup_ahead_) || popup_ahead_ < 0.0)
        throw std::invalid_argument("parameter ~popup_ahead must be a finite distance, 0 or more");
      if (!std::isfinite(popup_start_) || popup_start_ < 0.0)
        throw std::invalid_argument("parameter ~popup_start must be a finite number of seconds, 0 or more");
    }

    const std::string pilot_file = pnh.param<std::string>("pilot_file", "");
    PilotScript script;
    if (!pilot_file.empty())
      script = PilotScript::load(pilot_file);
    const std::string frozen = pnh.param<std::string>("frozen_sticks", "hold");
    if (frozen != "hold" && frozen != "centre")
      throw std::invalid_argument("parameter ~frozen_sticks must be \"hold\" or \"centre\"");
    // "first_command": the script waits, sticks centred, until the first attitude command arrives, that is until
    // the loop through the system is closed, however long its programs take to come up.
    const std::string pilot_start = pnh.param<std::string>("pilot_start", "immediately");
    if (pilot_start != "immediately" && pilot_start != "first_command")
      throw std::invalid_argument("parameter ~pilot_start must be \"immediately\" or \"first_command\"");
    pilot_waits_for_command_ = pilot_start == "first_command";
    pilot_.reset(new Pilot(script, frozen == "hold" ? Pilot::FrozenSticks::Hold : Pilot::FrozenSticks::Centre));

    world_frame_ = pnh.param<std::string>("world_frame", "world");
    body_frame_ = pnh.param<std::string>("body_frame", "drone");
    lidar_frame_ = pnh.param<std::string>("lidar_frame", "lidar");
    broadcast_tf_ = pnh.param("broadcast_tf", true);

    LidarConfig lidar;
    lidar.beams = pnh.param("lidar_beams", 16);
    lidar.azimuth_resolution_deg = pnh.param("lidar_azimuth_resolution_deg", lidar.azimuth_resolution_deg);
    lidar.min_range = pnh.param("lidar_min_range", lidar.min_range);
    lidar.max_range = pnh.param("lidar_max_range", lidar.max_range);
    lidar.range_noise_stddev = pnh.param("lidar_range_noise", lidar.range_noise_stddev);
    lidar.seed = static_cast<std::uint32_t>(pnh.param("lidar_seed", 1));
    lidar.dust_points = pnh.param("lidar_dust_points", 0);
    lidar.dust_min_range = pnh.param("lidar_dust_min_range", lidar.dust_min_range);
    lidar.dust_max_range = pnh.param("lidar_dust_max_range", lidar.dust_max_range);
    lidar.airframe_points = pnh.param("lidar_airframe_points", 0);
    lidar_.reset(new SimLidar(lidar));
    // Mounted in body axes (z down: a negative z is above the centre); its own axes are x forward, y left, z up.
    lidar_offset_ = Eigen::Vector3d(pnh.param("lidar_x", 0.0), pnh.param("lidar_y", 0.0), pnh.param("lidar_z", -0.1));
    if (!lidar_offset_.allFinite())
      throw std::invalid_argument("parameters ~lidar_x, ~lidar_y, ~lidar_z must be finite");
    body_from_lidar_ = Eigen::Vector3d(1.0, -1.0, -1.0).asDiagonal();

    params_.velocity_lag = positiveParam(pnh, "velocity_lag", params_.velocity_lag);
    params_.yaw_lag = positiveParam(pnh, "yaw_lag", params_.yaw_lag);
    params_.command_timeout = positiveParam(pnh, "command_timeout", params_.command_timeout);
    params_.height_gain = pnh.param("height_gain", params_.height_gain);
    params_.max_speed = pnh.param("max_speed", params_.max_speed);
    params_.max_climb_rate = pnh.param("max_climb_rate", params_.max_climb_rate);
    params_.max_yaw_rate_deg = pnh.param("max_yaw_rate_deg", params_.max_yaw_rate_deg);
    params_.max_tilt_deg = pnh.param("max_tilt_deg", params_.max_tilt_deg);
    radius_ = positiveParam(pnh, "radius", 0.5);
    stop_on_collision_ = pnh.param("stop_on_collision", true);
    start_ = base_scene_.hasStart() ? base_scene_.start() : StartPose();
    if (!base_scene_.hasStart())
      start_.position.z() = 2.0;
    // Checks the vehicle parameters now rather than at the first tick.
    VehicleModel(params_, start_.position, start_.yaw_deg, 0.0);

    gps_health_ = pnh.param("gps_health", 5);
    if (gps_health_ < -128 || gps_health_ > 127)
      throw std::invalid_argument("parameter ~gps_health must fit a signed byte");
    tick_period_ = 1.0 / positiveParam(pnh, "state_rate", 100.0);
    gps_schedule_.period = 1.0 / positiveParam(pnh, "gps_rate", 50.0);
    truth_schedule_.period = 1.0 / positiveParam(pnh, "truth_rate", 50.0);
    scan_schedule_.period = 1.0 / positiveParam(pnh, "lidar_rate", 10.0);
    fault_ = parseSensorFault(pnh.param<std::string>("fault", "none"));
    fault_ahead_ = pnh.param("fault_ahead", 0.0);
    const double dropout_ahead = pnh.param("lidar_dropout_ahead", 0.0);
    if (!std::isfinite(fault_ahead_) || fault_ahead_ < 0.0 || !std::isfinite(dropout_ahead) || dropout_ahead < 0.0)
      throw std::invalid_argument(
          "parameters ~fault_ahead and ~lidar_dropout_ahead must be finite distances, 0 or more");
    if (dropout_ahead > 0.0)
    {
      if (fault_ != SensorFault::None && fault_ != SensorFault::LidarDropout)
        throw std::invalid_argument("parameter ~lidar_dropout_ahead is a second fault beside ~fault");
      fault_ = SensorFault::LidarDropout;
      fault_ahead_ = dropout_ahead;
    }

    cloud_pub_ = nh.advertise<sensor_msgs::PointCloud2>("velodyne_points", 5);
    state_pub_ = nh.advertise<StateRecord>("sim/state", 100);
    gps_pub_ = nh.advertise<zyr_sdk::GlobalPosition>("sim/global_position", 50);
    truth_pub_ = nh.advertise<VehicleTruth>("sim/truth", 100);
    command_sub_ = nh.subscribe("sim/attitude_command", 100, &VehicleSimNode::commandCallback, this);
    paused_sub_ = nh.subscribe("sim/paused", 10, &VehicleSimNode::pausedCallback, this);
    // Each tick steps the world and publishes the state and tf; slower outputs keep their own rates.
    timer_ = nh.createTimer(ros::Duration(tick_period_), &VehicleSimNode::tick, this);

    ROS_INFO(
        "vehicle_sim: %zu obstacles, start (%.2f, %.2f, %.2f) heading %.1f deg, %d-beam LiDAR, pilot script of "
        "%.1f s",
        scene_.objects().size(), start_.position.x(), start_.position.y(), start_.position.z(), start_.yaw_deg,
        lidar_->beams(), script.endTime());
  }

private:
  void commandCallback(const AttitudeCommand::ConstPtr& msg)
  {
    ++commands_received_;
    const double now = ros::Time::now().toSec();
    if (!ensureStarted(now) || !model_->command(msg->flag, msg->x, msg->y, msg->z, msg->yaw, now))
    {
      ++commands_rejected_;
      ROS_WARN_THROTTLE(1.0, "vehicle_sim: refused attitude command #%u (flag %u, x %f, y %f, z %f, yaw %f)",
                        msg->index, static_cast<unsigned>(msg->flag), msg->x, msg->y, msg->z, msg->yaw);
    }
  }

  void pausedCallback(const std_msgs::Bool::ConstPtr& msg)
  {
    if (msg->data == pilot_->frozen())
      return;
    pilot_->setFrozen(msg->data);
    ROS_INFO("vehicle_sim: pilot script %s at %.2f s", msg->data ? "frozen" : "resumed", pilot_->scriptTime());
  }

  // The model starts at the first moment the ROS clock runs (under simulated time it reads 0 until then).
  bool ensureStarted(double now)
  {
    if (model_)
      return true;
    if (now <= 0.0)
      return false;
    model_.reset(new VehicleModel(params_, start_.position, start_.yaw_deg, now));
    last_time_ = start_time_ = now;
    return true;
  }

  void tick(const ros::TimerEvent&)
  {
    const ros::Time stamp = ros::Time::now();
    const double now = stamp.toSec();
    if (!ensureStarted(now))
      return;
    if (now < last_time_)
    {
      ROS_WARN("vehicle_sim: the clock went back by %.3f s; carrying on from the current state", last_time_ - now);
      model_->resetClock(now);
      last_time_ = now;
      gps_schedule_.next = truth_schedule_.next = scan_schedule_.next = -1.0;
    }
    if (!pilot_waits_for_command_ || commands_received_ > 0)
    {
      if (!launched_ && start_.speed > 0.0)
        model_->setForwardSpeed(start_.speed);
      launched_ = true;
      pilot_->advance(now - last_time_);
    }
    model_->advanceTo(now);
    last_time_ = now;
    updatePopups(now - start_time_);
    checkCollision();
    checkFault();

    if (broadcast_tf_)
      publishTransforms(stamp);
    publishState();
    const double tolerance = tick_period_ / 2.0;
    if (gps_schedule_.due(now, tolerance))
      publishGlobalPosition(stamp);
    if (scan_schedule_.due(now, tolerance))
      publishScan(stamp);
    if (truth_schedule_.due(now, tolerance))
      publishTruth(stamp);
  }

  void updatePopups(double elapsed)
  {
    if (popup_scene_.objects().empty())
      return;
    const double cycle = popup_on_ + popup_off_;
    const bool visible = popup_ahead_ > 0.0
                             ? popup_visible_ || popup_scene_.obstacleDistance(model_->state().position) <= popup_ahead_
                             : elapsed >= popup_start_ && std::fmod(elapsed - popup_start_, cycle) < popup_on_;
    if (visible == popup_visible_)
      return;
    popup_visible_ = visible;
    scene_ = base_scene_;
    if (visible)
      scene_.append(popup_scene_);
    if (popup_ahead_ > 0.0)
      ROS_INFO("vehicle_sim: pop-up obstacles appear %.2f m ahead",
               popup_scene_.obstacleDistance(model_->state().position));
    else
      ROS_DEBUG("vehicle_sim: pop-up obstacles %s at %.3f s", visible ? "appear" : "vanish", elapsed);
  }

  void checkCollision()
  {
    int nearest = -1;
    distance_ = scene_.distance(model_->state().position, &nearest);
    obstacle_distance_ = scene_.obstacleDistance(model_->state().position);
    if (distance_ > radius_ || collided_)
      return;
    collided_ = true;
    const Eigen::Vector3d& p = model_->state().position;
    ROS_ERROR("vehicle_sim: COLLISION with %s at (%.2f, %.2f, %.2f), speed %.2f m/s",
              scene_.objects()[nearest].label.c_str(), p.x(), p.y(), p.z(), model_->state().velocity.norm());
    if (stop_on_collision_)
      model_->crash();
  }

  void publishTransforms(const ros::Time& stamp)
  {
    const Eigen::Quaterniond q(model_->worldFromBody());
    tf::Transform world_drone(tf::Quaternion(q.x(), q.y(), q.z(), q.w()), tf::Vector3(0.0, 0.0, 0.0));
    tf::Transform drone_lidar(tf::Quaternion(1.0, 0.0, 0.0, 0.0),  // half a turn about x: z up, y left
                              tf::Vector3(lidar_offset_.x(), lidar_offset_.y(), lidar_offset_.z()));
    std::vector<tf::StampedTransform> transforms;
    transforms.emplace_back(world_drone, stamp, world_frame_, body_frame_);
    transforms.emplace_back(drone_lidar, stamp, body_frame_, lidar_frame_);
    tf_broadcaster_.sendTransform(transforms);
  }

  void publishState()
  {
    const VehicleState& s = model_->state();
    const Eigen::Quaterniond q = model_->attitude();
    const Sticks sticks = pilot_->sticks();
    StateRecord record;
    record.vx = s.velocity.x();
    record.vy = s.velocity.y();
    record.vz = -s.velocity.z();  // down, as north-east-down has it; the monitor turns it up again
    record.health_flag = struck(SensorFault::VelocityUnhealthy) ? 0 : 1;
    record.q0 = q.w();
    record.q1 = q.x();
    record.q2 = q.y();
    record.q3 = q.z();
    record.pitch = sticks.pitch;
    record.roll = sticks.roll;
    record.throttle = sticks.throttle;
    state_pub_.publish(record);
  }

  void publishGlobalPosition(const ros::Time& stamp)
  {
    // A flat-earth fix around a made-up reference (world x east, y north); only height and health matter here.
    const double kMetresPerDegree = 111320.0, kLat0 = 22.5, kLon0 = 113.9;
    const Eigen::Vector3d& p = model_->state().position;
    zyr_sdk::GlobalPosition gps;
    gps.header.stamp = stamp;
    gps.ts = static_cast<std::int32_t>(std::fmod((stamp.toSec() - start_time_) * 1000.0, 2147483647.0));
    gps.latitude = kLat0 + p.y() / kMetresPerDegree;
    gps.longitude = kLon0 + p.x() / (kMetresPerDegree * std::cos(kLat0 * M_PI / 180.0));
    gps.altitude = static_cast<float>(p.z());
    gps.height = static_cast<float>(p.z());
    gps.health = static_cast<std::int8_t>(gps_health_);
    gps_pub_.publish(gps);
  }

  void publishScan(const ros::Time& stamp)
  {
    if (struck(SensorFault::LidarDropout))
      return;
    if (struck(SensorFault::LidarFrozen) && last_cloud_)
    {
      // The same bytes again, freshly stamped.
      sensor_msgs::PointCloud2Ptr again(new sensor_msgs::PointCloud2(*last_cloud_));
      again->header.stamp = stamp;
      cloud_pub_.publish(again);
      ++scans_published_;
      return;
    }
    const Eigen::Matrix3d world_from_body = model_->worldFromBody();
    const Eigen::Vector3d origin = model_->state().position + world_from_body * lidar_offset_;
    lidar_->scan(scene_, origin, world_from_body * body_from_lidar_, &points_);
    sensor_msgs::PointCloud2Ptr cloud(new sensor_msgs::PointCloud2);
    toPointCloud2(points_, lidar_frame_, stamp, cloud.get());
    if (struck(SensorFault::LidarBlind))
      blindCloud(cloud.get());
    cloud_pub_.publish(cloud);
    last_cloud_ = cloud;
    ++scans_published_;
  }

  bool struck(SensorFault fault) const
  {
    return fault_struck_ && fault_ == fault;
  }

  void checkFault()
  {
    if (fault_ == SensorFault::None || fault_struck_ || fault_ahead_ <= 0.0)
      return;
    const VehicleState& s = model_->state();
    RayHit ahead;
    if (!scene_.intersect(s.position, VehicleModel::forwardAxis(s.yaw), fault_ahead_, &ahead))
      return;
    fault_struck_ = true;
    ROS_WARN("vehicle_sim: %s from now on, %.2f m before the obstacle ahead (%u scans published)", faultEffect(fault_),
             ahead.distance, scans_published_);
  }

  void publishTruth(const ros::Time& stamp)
  {
    const VehicleState& s = model_->state();
    const Sticks sticks = pilot_->sticks();
    VehicleTruth truth;
    truth.header.stamp = stamp;
    truth.header.frame_id = world_frame_;
    truth.pilot_time = pilot_->scriptTime();
    truth.pilot_frozen = pilot_->frozen();
    truth.script_finished = pilot_->finished();
    truth.x = s.position.x();
    truth.y = s.position.y();
    truth.z = s.position.z();
    truth.vx = s.velocity.x();
    truth.vy = s.velocity.y();
    truth.vz = s.velocity.z();
    truth.yaw_deg = s.yaw * 180.0 / M_PI;
    truth.distance = std::isfinite(distance_) ? distance_ : -1.0;
    truth.obstacle_distance = std::isfinite(obstacle_distance_) ? obstacle_distance_ : -1.0;
    truth.popup_visible = popup_visible_;
    RayHit ahead;
    truth.distance_ahead =
        scene_.intersect(s.position, VehicleModel::forwardAxis(s.yaw), 200.0, &ahead) ? ahead.distance : -1.0;
    truth.radius = radius_;
    truth.collided = collided_;
    truth.commands_received = commands_received_;
    truth.commands_rejected = commands_rejected_;
    truth.command_active = model_->commandActive(stamp.toSec());
    truth.scans_published = scans_published_;
    truth.stick_roll = sticks.roll;
    truth.stick_pitch = sticks.pitch;
    truth.stick_yaw = sticks.yaw;
    truth.stick_throttle = sticks.throttle;
    truth_pub_.publish(truth);
  }

  Scene base_scene_, popup_scene_;
  Scene scene_;  // base_scene_ with the pop-up obstacles while they stand
  double popup_start_ = 0.0, popup_on_ = 1.5, popup_off_ = 1.5, popup_ahead_ = 0.0;
  bool popup_visible_ = false;
  std::unique_ptr<Pilot> pilot_;
  std::unique_ptr<SimLidar> lidar_;
  std::unique_ptr<VehicleModel> model_;
  VehicleParams params_;
  StartPose start_;
  std::string world_frame_, body_frame_, lidar_frame_;
  bool broadcast_tf_ = true;
  Eigen::Vector3d lidar_offset_;
  Eigen::Matrix3d body_from_lidar_;
  double radius_ = 0.5;
  bool stop_on_collision_ = true;
  SensorFault fault_ = SensorFault::None;
  double fault_ahead_ = 0.0;
  bool fault_struck_ = false;
  sensor_msgs::PointCloud2ConstPtr last_cloud_;  // the last scan published, for a frozen driver
  bool pilot_waits_for_command_ = false;
  bool launched_ = false;  // the pilot has started (and the start speed was taken up)
  int gps_health_ = 5;
  double tick_period_ = 0.01;
  Schedule gps_schedule_{0.02}, truth_schedule_{0.02}, scan_schedule_{0.1};
  double last_time_ = 0.0, start_time_ = 0.0, distance_ = 0.0, obstacle_distance_ = 0.0;
  bool collided_ = false;
  std::uint32_t commands_received_ = 0, commands_rejected_ = 0, scans_published_ = 0;
  std::vector<LidarPoint> points_;

  ros::Publisher cloud_pub_, state_pub_, gps_pub_, truth_pub_;
  ros::Subscriber command_sub_, paused_sub_;
  ros::Timer timer_;
  tf::TransformBroadcaster tf_broadcaster_;
};

}  // namespace zyr_simulation

int main(int argc, char** argv)
{
  ros::init(argc, argv, "vehicle_sim");
  ros::NodeHandle nh, pnh("~");
  try
  {
    zyr_simulation::VehicleSimNode node(nh, pnh);
    ros::spin();
  }
  catch (const std::exception& e)
  {
    ROS_FATAL("vehicle_sim: %s", e.what());
    return 1;
  }
  return 0;
}
