// Incident recorder: keeps a short rolling memory of what the collision
// monitor saw and, on every danger, writes a self-contained incident folder
// (a replayable bag, a JSON summary and, through a separate renderer, a
// picture). This class only wires the ROS graph to the timeline that decides
// (incident_timeline.h) and to the writer (incident_writer.h).
#ifndef ZYR_INCIDENT_RECORDER_INCIDENT_RECORDER_H
#define ZYR_INCIDENT_RECORDER_INCIDENT_RECORDER_H

#include <ros/ros.h>
#include <topic_tools/shape_shifter.h>

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "zyr_incident_recorder/incident_messages.h"
#include "zyr_incident_recorder/incident_timeline.h"
#include "zyr_incident_recorder/incident_writer.h"

class IncidentRecorder
{
public:
  struct Settings
  {
    double before = 3.0;  // seconds kept ahead of the first danger
    double after = 1.0;   // seconds recorded after it
    bool clouds = false;  // also keep the raw LiDAR clouds
    // The node whose dangers on collision_info_msg are the fail-safe's.
    std::string watchdog = "/avoidance_watchdog";
    incident_recorder::IncidentWriter::Settings writer;
  };

  /// The settings from the private parameters ~before, ~after, ~output_dir,
  /// ~max_incidents, ~clouds, ~renderer and ~watchdog; unusable values are
  /// reported and replaced by the defaults.
  static Settings readSettings(const ros::NodeHandle& privateHandle);

  /// How often the node's main loop hands the queued messages over; the
  /// subscription queues hold more than one batch of every topic.
  static constexpr double kBatchesPerSecond = 20.0;

  IncidentRecorder(ros::NodeHandle& nh, const Settings& settings);
  /// Writes an incident whose recording is still running with what it has,
  /// and finishes the queued writes.
  ~IncidentRecorder();

  IncidentRecorder(const IncidentRecorder&) = delete;
  IncidentRecorder& operator=(const IncidentRecorder&) = delete;

private:
  void onMessage(const ros::MessageEvent<const topic_tools::ShapeShifter>& event, std::size_t topic);
  void onValue(const incident_recorder::Stored& s, double t, const std::string& publisher);
  void finish(const boost::optional<incident_rules::Incident>& incident);

  Settings settings_;
  std::vector<incident_recorder::Topic> topics_;
  std::vector<ros::Subscriber> subscribers_;
  ros::NodeHandle nh_;
  ros::Timer finishTimer_;

  std::map<std::string, incident_recorder::Stored> statics_;  // latched /tf_static, one per publisher
  incident_rules::MessageBuffer<incident_recorder::Stored> buffer_;
  incident_rules::Timeline timeline_;
  std::unique_ptr<incident_recorder::IncidentWriter> writer_;
};

#endif  // ZYR_INCIDENT_RECORDER_INCIDENT_RECORDER_H
