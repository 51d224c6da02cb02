// What the incident recorder decides without a ROS graph: when a danger
// opens an incident, how incident folders are named and thinned out, and the
// text of incident.json.
#ifndef ZYR_INCIDENT_RECORDER_INCIDENT_RULES_H
#define ZYR_INCIDENT_RECORDER_INCIDENT_RULES_H

#include <boost/optional.hpp>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace incident_rules
{
/// Follows collision_info_msg. A 1 after a 0, or as the first value, is a new
/// danger; any value other than 0 and 1 is ignored, as the guard ignores it.
class DangerEdges
{
public:
  /// True if `value` starts a danger.
  bool update(std::uint8_t value)
  {
    if (value > 1)
      return false;
    const bool rising = value == 1 && last_ != 1;
    last_ = value;
    return rising;
  }

private:
  int last_ = -1;  // nothing received yet
};

/// Folder name of an incident: the UTC time of its first danger, to the
/// millisecond, e.g. "2024-05-01T12-03-04.250Z". Sorting the names sorts the
/// incidents by time.
std::string folderName(double unixSeconds);

/// True for names that folderName() makes, also with a "-N" suffix for a
/// second incident in the same millisecond. Nothing else in the output folder
/// is ever removed.
bool isFolderName(const std::string& name);

/// The incident folders among `names` to remove, oldest first, so that at most
/// `keep` remain.
std::vector<std::string> foldersToRemove(std::vector<std::string> names, std::size_t keep);

struct Vec3
{
  double x = 0.0;
  double y = 0.0;
  double z = 0.0;
};

/// Degrees counter-clockwise from world x of the horizontal part of `v`, or
/// NaN when it has no horizontal length.
double headingDegrees(const Vec3& v);

enum class Cause
{
  Monitor,   // a danger verdict of the collision monitor
  Failsafe,  // the watchdog's fail-safe hold
};

/// The stages a fail-safe reason names: "<stage>: <message>", several joined
/// by "; ".
std::vector<std::string> failsafeStages(const std::string& reason);

/// The contents of incident.json. Absent values are written as null.
struct Summary
{
  double stamp = 0.0;  // ROS time of the first danger, seconds
  int dangers = 1;     // dangers folded into this incident
  Cause cause = Cause::Monitor;
  std::string causePublisher;                // the node that sent the first danger
  boost::optional<std::string> causeReason;  // the fail-safe's reason
  boost::optional<Vec3> velocity;            // last velocity message before the danger (vx, vy, vz)
  boost::optional<Vec3> probeFar;            // the probe's far point: unit direction times range
  boost::optional<Vec3> debug;               // the monitor's debug vector: speed, stick length, hit distance
  boost::optional<Vec3> collisionPoint;      // the collision marker of the danger's query
  boost::optional<Vec3> stick;               // the stick arrow of the danger's query, world frame
  boost::optional<double> withheldSeconds;
  boost::optional<double> mapStamp;  // reception of the map in use at the danger
  boost::optional<std::uint64_t> occupiedVoxels;
  boost::optional<double> mapResolution;
  double bagStart = 0.0;
  double bagEnd = 0.0;
  std::size_t bagMessages = 0;
  std::vector<std::string> topics;
};

/// incident.json for `s`. Non-finite numbers become null, so the file always
/// parses.
std::string toJson(const Summary& s);
}  // namespace incident_rules

#endif  // ZYR_INCIDENT_RECORDER_INCIDENT_RULES_H
