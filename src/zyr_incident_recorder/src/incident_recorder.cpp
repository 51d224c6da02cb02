#include "zyr_incident_recorder/incident_recorder.h"

#include <std_msgs/String.h>
#include <std_msgs/UInt8.h>
#include <unistd.h>

#include <algorithm>
#include <boost/bind/bind.hpp>
#include <cmath>
#include <cstdlib>

using incident_recorder::Role;
using incident_recorder::Stored;

namespace
{
// The buffer holds before + after seconds at most; with clouds that is some
// 15 MB a second.
constexpr double kLongestSpan = 60.0;

// Keys of the buffer's state entries: what stays in force until the next.
constexpr int kMapState = 0;
constexpr int kFailsafeState = 1;

std::string defaultOutputDir()
{
  const char* rosHome = std::getenv("ROS_HOME");
  if (rosHome && *rosHome)
    return std::string(rosHome) + "/incidents";
  const char* home = std::getenv("HOME");
  return std::string(home ? home : ".") + "/.ros/incidents";
}

// A program of this package, looked up as rosrun does: lib/<package>/<name>
// under each prefix of the workspace chain (devel or install space). Empty
// when there is none.
std::string findProgram(const std::string& name)
{
  const char* prefixes = std::getenv("CMAKE_PREFIX_PATH");
  std::string list = prefixes ? prefixes : "";
  std::size_t start = 0;
  while (start <= list.size())
  {
    const std::size_t end = std::min(list.find(':', start), list.size());
    const std::string prefix = list.substr(start, end - start);
    const std::string path = prefix + "/lib/zyr_incident_recorder/" + name;
    if (!prefix.empty() && access(path.c_str(), X_OK) == 0)
      return path;
    start = end + 1;
  }
  return std::string();
}

std::string expandHome(const std::string& path)
{
  const char* home = std::getenv("HOME");
  if (home && (path == "~" || path.compare(0, 2, "~/") == 0))
    return home + path.substr(1);
  return path;
}

// A time of the timeline as a message time; a simulated clock may start near
// zero, which is no valid time.
ros::Time rosTime(double seconds)
{
  return seconds > ros::TIME_MIN.toSec() ? ros::Time(seconds) : ros::TIME_MIN;
}
}  // namespace

IncidentRecorder::Settings IncidentRecorder::readSettings(const ros::NodeHandle& pnh)
{
  Settings s;
  auto& w = s.writer;
  double before = s.before, after = s.after;
  int maxIncidents = static_cast<int>(w.maxIncidents);
  pnh.param("before", before, before);
  pnh.param("after", after, after);
  pnh.param("max_incidents", maxIncidents, maxIncidents);
  pnh.param("clouds", s.clouds, s.clouds);
  pnh.param("output_dir", w.outputDir, std::string());
  pnh.param("watchdog", s.watchdog, s.watchdog);
  if (std::isfinite(before) && before >= 0.0 && before <= kLongestSpan)
    s.before = before;
  else
    ROS_WARN("incident_recorder: ~before must be between 0 and %.0f s, using %.1f", kLongestSpan, s.before);
  if (std::isfinite(after) && after >= 0.0 && after <= kLongestSpan)
    s.after = after;
  else
    ROS_WARN("incident_recorder: ~after must be between 0 and %.0f s, using %.1f", kLongestSpan, s.after);
  if (maxIncidents >= 1)
    w.maxIncidents = static_cast<std::size_t>(maxIncidents);
  else
    ROS_WARN("incident_recorder: ~max_incidents must be at least 1, using %zu", w.maxIncidents);
  s.watchdog = ros::names::resolve(s.watchdog);
  w.outputDir = w.outputDir.empty() ? defaultOutputDir() : expandHome(w.outputDir);
  if (!pnh.getParam("renderer", w.renderer))
  {
    w.renderer = findProgram("render_incident");
    if (w.renderer.empty())
      ROS_WARN("incident_recorder: render_incident is not installed beside it, incidents get no picture");
  }
  if (!w.renderer.empty() && access(w.renderer.c_str(), X_OK) != 0)
  {
    ROS_WARN("incident_recorder: cannot run the renderer \"%s\", incidents get no picture", w.renderer.c_str());
    w.renderer.clear();
  }
  return s;
}

IncidentRecorder::IncidentRecorder(ros::NodeHandle& nh, const Settings& settings)
    : settings_(settings), nh_(nh), timeline_(settings.before, settings.after)
{
  struct Wanted
  {
    const char* name;
    Role role;
    std::uint32_t queue;
  };
  std::vector<Wanted> wanted = {
      {"zyr_collision_avoidance/octomap_binary", Role::Map, 10},
      {"collision_info_msg", Role::Verdict, 100},
      {"zyr_sdk/velocity", Role::Velocity, 200},
      {"zyr_sdk/rc_channels", Role::Plain, 200},
      {"zyr_collision_avoidance/debug_guarded_flight", Role::Guard, 100},
      {"zyr_collision_avoidance/failsafe", Role::Failsafe, 10},
      {"zyr_collision_avoidance/obstacle_distance", Role::Plain, 20},
      {"zyr_collision_avoidance/debug_collision_msg", Role::Debug, 100},
      {"zyr_collision_avoidance/debug_query_msg", Role::Plain, 20},
      {"zyr_collision_avoidance/raycast_marker_array", Role::Fan, 20},
      {"zyr_collision_avoidance/collision_marker", Role::CollisionMarker, 20},
      {"zyr_collision_avoidance/velocity_marker", Role::Plain, 20},
      {"zyr_collision_avoidance/rc_marker", Role::StickMarker, 20},
      {"/tf", Role::Plain, 200},
      {"/tf_static", Role::Static, 20},
  };
  if (settings_.clouds)
    wanted.push_back({"velodyne_points", Role::Cloud, 5});
  for (const Wanted& w : wanted)
    topics_.push_back({nh_.resolveName(w.name), w.role});
  writer_.reset(new incident_recorder::IncidentWriter(
      settings_.writer, topics_, nh_.resolveName("zyr_collision_avoidance/occupied_cells_vis_array")));

  for (std::size_t index = 0; index < topics_.size(); ++index)
  {
    ros::SubscribeOptions options;
    options.template initByFullCallbackType<const ros::MessageEvent<const topic_tools::ShapeShifter>&>(
        topics_[index].name, wanted[index].queue,
        boost::bind(&IncidentRecorder::onMessage, this, boost::placeholders::_1, index));
    subscribers_.push_back(nh_.subscribe(options));
  }
  // Ends a recording also when the messages stop.
  finishTimer_ = nh_.createTimer(ros::Duration(1.0 / kBatchesPerSecond), [this](const ros::TimerEvent&)
                                 { finish(timeline_.finished(ros::Time::now().toSec())); });
  ROS_INFO("incident_recorder: keeping %.1f s before and %.1f s after each danger%s, incidents in %s", settings_.before,
           settings_.after, settings_.clouds ? " (with LiDAR clouds)" : "", settings_.writer.outputDir.c_str());
}

IncidentRecorder::~IncidentRecorder()
{
  finishTimer_.stop();
  subscribers_.clear();
  finish(timeline_.finishNow(buffer_.lastTime()));  // an incident cut short is still an incident
  writer_.reset();
}

void IncidentRecorder::onMessage(const ros::MessageEvent<const topic_tools::ShapeShifter>& event, std::size_t topic)
{
  Stored s{event.getReceiptTime(), topic, event.getConstMessage(), event.getConnectionHeaderPtr()};
  if (s.received < ros::TIME_MIN)
    s.received = ros::TIME_MIN;  // a simulated clock that has not started yet
  const Role role = topics_[topic].role;
  if (role == Role::Static)
  {
    // Latched and sent once per publisher: kept for good, not in the rolling buffer.
    statics_[event.getPublisherName()] = s;
    return;
  }
  const double t = s.received.toSec();
  if (buffer_.jumpsBack(t))
  {
    // A bag played again: what is buffered belongs to another time line.
    finish(timeline_.finishNow(buffer_.lastTime()));
    buffer_.clear();
    timeline_.restart();
  }
  finish(timeline_.finished(t));  // a recording that ended before this message
  const int state = role == Role::Map ? kMapState : role == Role::Failsafe ? kFailsafeState : buffer_.kNoState;
  buffer_.push(t, state, s);
  buffer_.trim(timeline_.keepFrom(t));
  if (role == Role::Map)
    timeline_.onMap();
  else if (role == Role::Verdict || role == Role::Guard || role == Role::Failsafe)
    onValue(s, t, event.getPublisherName());
}

void IncidentRecorder::onValue(const Stored& s, double t, const std::string& publisher)
{
  const auto& topic = topics_[s.topic];
  if (topic.role == Role::Failsafe)
  {
    if (const auto reason = incident_recorder::decode<std_msgs::String>(s))
      timeline_.onFailsafeReason(reason->data);
    else
      ROS_WARN_THROTTLE(10.0, "incident_recorder: %s carries %s, not std_msgs/String; it is ignored",
                        topic.name.c_str(), s.message->getDataType().c_str());
    return;
  }
  const auto value = incident_recorder::decode<std_msgs::UInt8>(s);
  if (!value)
  {
    ROS_WARN_THROTTLE(10.0, "incident_recorder: %s carries %s, not std_msgs/UInt8; its values are ignored",
                      topic.name.c_str(), s.message->getDataType().c_str());
    return;
  }
  if (topic.role == Role::Verdict)
    timeline_.onVerdict(t, value->data, publisher == settings_.watchdog, publisher);
  else if (const auto released = timeline_.onGuard(t, value->data))
    writer_->release(*released);
}

void IncidentRecorder::finish(const boost::optional<incident_rules::Incident>& incident)
{
  if (!incident)
    return;
  incident_recorder::Job job;
  job.incident = *incident;
  // What was in force when the bag starts goes first, at its start: the
  // static transforms, then the map the monitor held and the fail-safe's reason.
  const ros::Time start = rosTime(incident->start);
  const auto entries = buffer_.window(incident->start, incident->end);
  job.messages.reserve(statics_.size() + entries.size());
  for (const auto& entry : statics_)
  {
    job.messages.push_back(entry.second);
    job.messages.back().received = start;
  }
  for (const auto& entry : entries)
  {
    job.messages.push_back(entry.payload);
    if (job.messages.back().received < start)
      job.messages.back().received = start;
  }
  writer_->write(std::move(job));
}
