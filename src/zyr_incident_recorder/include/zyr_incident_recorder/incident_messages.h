// The messages the incident recorder keeps, and what it reads out of them
// when it writes an incident: the numbers of incident.json and the occupied
// cells of a map for rviz.
//
// Everything is kept in its serialised form, so that the steady state costs
// one copy per message; decoding happens only here, when an incident is
// written.
#ifndef ZYR_INCIDENT_RECORDER_INCIDENT_MESSAGES_H
#define ZYR_INCIDENT_RECORDER_INCIDENT_MESSAGES_H

#include <octomap_msgs/Octomap.h>
#include <ros/time.h>
#include <topic_tools/shape_shifter.h>
#include <visualization_msgs/MarkerArray.h>

#include <boost/optional.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "zyr_incident_recorder/incident_rules.h"
#include "zyr_incident_recorder/incident_timeline.h"

namespace incident_recorder
{
/// What a topic means to the recorder.
enum class Role
{
  Plain,
  Map,
  Verdict,
  Guard,
  Failsafe,  // the watchdog's fail-safe reason
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
  std::size_t topic;  // index into the recorder's topics
  topic_tools::ShapeShifter::ConstPtr message;
  boost::shared_ptr<ros::M_string> connectionHeader;
};

/// One incident to write: its times and cause, and its messages in time
/// order (the static transforms and the state in force at its start first).
struct Job
{
  incident_rules::Incident incident;
  std::vector<Stored> messages;
};

/// incident.json's numbers from the messages of `job`, apart from the bag's
/// own figures and the map's voxel count, which the bag writer adds.
incident_rules::Summary summarise(const Job& job, const std::vector<Topic>& topics);

/// The last message of `role` received at or before `t`.
const Stored* lastAtOrBefore(const std::vector<Stored>& messages, const std::vector<Topic>& topics, Role role,
                             const ros::Time& t);

/// The occupied cells of a map as the mapper draws them for a viewer, and how
/// many voxels of the finest size they hold; none for a map that cannot be
/// read.
struct MapCells
{
  visualization_msgs::MarkerArray markers;
  std::uint64_t voxels = 0;
};
boost::optional<MapCells> mapCells(const octomap_msgs::Octomap& map);

/// `s` as message type M; null for another type or bytes that do not parse.
template <class M>
boost::shared_ptr<M> decode(const Stored& s)
{
  try
  {
    return s.message->instantiate<M>();
  }
  catch (const std::exception&)
  {
    return nullptr;
  }
}
}  // namespace incident_recorder

#endif  // ZYR_INCIDENT_RECORDER_INCIDENT_MESSAGES_H
