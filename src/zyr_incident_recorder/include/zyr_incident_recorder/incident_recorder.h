// Incident recorder: keeps a short rolling memory of what the collision
// monitor saw and, on every danger, writes a self-contained incident folder
// (a replayable bag, a JSON summary and, through a separate renderer, a
// picture).
//
// Everything it only stores stays in its serialised form, so that the steady
// state costs one copy per message; maps are decoded only when an incident is
// written, on a low-priority thread of its own.
#ifndef ZYR_INCIDENT_RECORDER_INCIDENT_RECORDER_H
#define ZYR_INCIDENT_RECORDER_INCIDENT_RECORDER_H

#include <ros/ros.h>
#include <sys/types.h>
#include <topic_tools/shape_shifter.h>

#include <boost/optional.hpp>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "zyr_incident_recorder/incident_rules.h"

class IncidentRecorder
{
public:
  struct Settings
  {
    double before = 3.0;  // seconds kept ahead of the first danger
    double after = 1.0;   // seconds recorded after it
    std::string outputDir;
    std::size_t maxIncidents = 50;
    bool clouds = false;   // also keep the raw LiDAR clouds
    std::string renderer;  // program drawing incident.png in the folders it is given; empty: no pictures
  };

  /// The settings from the private parameters ~before, ~after, ~output_dir,
  /// ~max_incidents, ~clouds and ~renderer; unusable values are reported and
  /// replaced by the defaults.
  static Settings readSettings(const ros::NodeHandle& privateHandle);

  /// How often the node's main loop hands the queued messages over; the
  /// subscription queues hold more than one batch of every topic.
  static constexpr double kBatchesPerSecond = 20.0;

  IncidentRecorder(ros::NodeHandle& nh, const Settings& settings);
  /// Writes an incident whose recording is still running with what it has,
  /// finishes the queued writes and hands the pictures still to be drawn to
  /// a renderer that outlives the node.
  ~IncidentRecorder();

  IncidentRecorder(const IncidentRecorder&) = delete;
  IncidentRecorder& operator=(const IncidentRecorder&) = delete;

  enum class Role
  {
    Plain,
    Map,
    Verdict,
    Guard,
    Static,
    Velocity,
    Fan,
    CollisionMarker,
    StickMarker,
    Debug,
    Cloud,
  };

  struct Topic
  {
    std::string name;  // resolved
    Role role;
  };

  struct Stored
  {
    ros::Time received;
    std::size_t topic;  // index into topics_
    topic_tools::ShapeShifter::ConstPtr message;
    boost::shared_ptr<ros::M_string> connectionHeader;
  };

private:
  struct Pending
  {
    ros::Time first;  // the first danger
    ros::Time start;  // first - before
    int dangers = 1;
    ros::Time released;  // the guard let go before the incident was written; zero: not yet
  };

  struct Job
  {
    enum class Kind
    {
      Write,
      Release,
    } kind = Kind::Write;
    ros::Time time;  // Release: when the guard let go
    Pending incident;
    ros::Time end;
    std::vector<Stored> messages;  // in time order
  };

  struct OpenIncident
  {
    std::string folder;
    incident_rules::Summary summary;
  };

  void onMessage(const ros::MessageEvent<const topic_tools::ShapeShifter>& event, std::size_t topic);
  void onDanger(const ros::Time& now);
  void onGuard(const ros::Time& now, std::uint8_t value);
  void finishIncident();
  void trim(const ros::Time& now);
  void post(Job job);

  // Writer thread
  void writerLoop();
  void writeIncident(Job& job);
  void releaseIncidents(const ros::Time& when);
  incident_rules::Summary summarise(const Job& job) const;
  void writeBag(const Job& job, const std::string& path, incident_rules::Summary& summary) const;
  void prune();
  void drawPicture(const std::string& folder);
  void pumpRenderer(bool stopping);

  Settings settings_;
  std::vector<Topic> topics_;
  std::string cellsTopic_;
  std::vector<ros::Subscriber> subscribers_;
  ros::NodeHandle nh_;
  ros::Timer finishTimer_;

  // Spin thread only
  std::deque<Stored> buffer_;
  boost::optional<Stored> mapBeforeBuffer_;  // the map in use when the buffer's oldest message came
  std::map<std::string, Stored> statics_;    // latched /tf_static, one per publisher
  incident_rules::DangerEdges dangerEdges_;
  boost::optional<Pending> pending_;
  bool guardLatched_ = false;
  bool holdRecorded_ = false;  // an incident covers the guard's current hold

  // Shared with the writer thread
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  bool stopping_ = false;

  // Writer thread only
  std::vector<OpenIncident> open_;   // written, guard still withholding
  std::vector<std::string> toDraw_;  // folders waiting for their picture
  pid_t renderer_ = 0;               // the renderer at work, if any
  std::string drawing_;              // its folders
  std::thread writer_;
};

#endif  // ZYR_INCIDENT_RECORDER_INCIDENT_RECORDER_H
