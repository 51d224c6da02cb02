#include "zyr_incident_recorder/incident_messages.h"

#include <geometry_msgs/Point.h>
#include <geometry_msgs/Vector3.h>
#include <visualization_msgs/Marker.h>
#include <zyr_sdk/Velocity.h>

#include <cmath>

#include "zyr_collision_avoidance/octree_stream.h"

namespace incident_recorder
{
namespace
{
using incident_rules::Vec3;

// The messages of one query of the monitor come within a few milliseconds of
// its verdict; the neighbouring queries are 50 ms away.
constexpr double kSameQuery = 0.025;

const Stored* nearest(const std::vector<Stored>& messages, const std::vector<Topic>& topics, Role role,
                      const ros::Time& t)
{
  const Stored* found = nullptr;
  double best = kSameQuery;
  for (const Stored& s : messages)
  {
    const double dt = std::fabs((s.received - t).toSec());
    if (topics[s.topic].role == role && dt <= best)
    {
      found = &s;
      best = dt;
    }
  }
  return found;
}

Vec3 vec(double x, double y, double z)
{
  Vec3 v;
  v.x = x;
  v.y = y;
  v.z = z;
  return v;
}

// What the monitor's query behind the first danger showed: the probe, its
// debug vector, the hit point and the stick.
void addQuery(const Job& job, const std::vector<Topic>& topics, const ros::Time& first,
              incident_rules::Summary& summary)
{
  if (const Stored* s = nearest(job.messages, topics, Role::Debug, first))
  {
    if (auto d = decode<geometry_msgs::Vector3>(*s))
      summary.debug = vec(d->x, d->y, d->z);
  }
  if (const Stored* s = nearest(job.messages, topics, Role::CollisionMarker, first))
  {
    if (auto m = decode<visualization_msgs::Marker>(*s))
      summary.collisionPoint = vec(m->pose.position.x, m->pose.position.y, m->pose.position.z);
  }
  if (const Stored* s = nearest(job.messages, topics, Role::StickMarker, first))
  {
    auto m = decode<visualization_msgs::Marker>(*s);
    if (m && m->points.size() >= 2)
      summary.stick = vec(m->points[1].x, m->points[1].y, m->points[1].z);
  }
  if (const Stored* s = nearest(job.messages, topics, Role::Fan, first))
  {
    // The ray that starts at the aircraft runs to the probe's far point:
    // direction times range, exactly as the query cast it.
    if (auto fan = decode<visualization_msgs::MarkerArray>(*s))
    {
      for (const auto& ray : fan->markers)
      {
        if (ray.action != visualization_msgs::Marker::ADD || ray.points.size() < 2)
          continue;
        const auto& a = ray.points[0];
        if (std::fabs(a.x) + std::fabs(a.y) + std::fabs(a.z) < 1e-6)
        {
          summary.probeFar = vec(ray.points[1].x, ray.points[1].y, ray.points[1].z);
          break;
        }
      }
    }
  }
}
}  // namespace

const Stored* lastAtOrBefore(const std::vector<Stored>& messages, const std::vector<Topic>& topics, Role role,
                             const ros::Time& t)
{
  const Stored* found = nullptr;
  for (const Stored& s : messages)
  {
    if (s.received > t)
      break;
    if (topics[s.topic].role == role)
      found = &s;
  }
  return found;
}

incident_rules::Summary summarise(const Job& job, const std::vector<Topic>& topics)
{
  const incident_rules::Incident& incident = job.incident;
  incident_rules::Summary summary;
  const ros::Time first(incident.first);
  summary.stamp = incident.first;
  summary.dangers = incident.dangers;
  summary.cause = incident.cause;
  summary.causePublisher = incident.publisher;
  if (incident.cause == incident_rules::Cause::Failsafe && !incident.reason.empty())
    summary.causeReason = incident.reason;
  if (incident.released)
    summary.withheldSeconds = *incident.released - incident.first;

  if (const Stored* s = lastAtOrBefore(job.messages, topics, Role::Velocity, first))
  {
    if (auto v = decode<zyr_sdk::Velocity>(*s))
      summary.velocity = vec(v->vx, v->vy, v->vz);
  }
  // A query of the monitor that happens to come with the fail-safe's danger
  // did not cause the stop: its probe would only mislead.
  if (incident.cause == incident_rules::Cause::Monitor)
    addQuery(job, topics, first, summary);
  if (const Stored* s = lastAtOrBefore(job.messages, topics, Role::Map, first))
    summary.mapStamp = s->received.toSec();
  return summary;
}

boost::optional<MapCells> mapCells(const octomap_msgs::Octomap& map)
{
  if (!map.binary || !std::isfinite(map.resolution) || map.resolution <= 0.0)
    return boost::none;
  // As the mapper draws them: one CUBE_LIST per leaf depth (one cube size
  // each), cells between -2 and 2 m high, blue; a depth without cells deletes
  // what an earlier array drew there.
  MapCells cells;
  auto& markers = cells.markers.markers;
  markers.resize(octree_stream::kTreeDepth + 1);
  const bool wellFormed = octree_stream::forEachOccupiedLeaf(
      map.data, map.resolution,
      [&](const octree_stream::Leaf& leaf)
      {
        // a pruned leaf stands for all the voxels of the finest size inside it
        cells.voxels += std::uint64_t{1} << (3 * (octree_stream::kTreeDepth - leaf.depth));
        if (!(leaf.z > -2.0 && leaf.z < 2.0))
          return;
        geometry_msgs::Point p;
        p.x = leaf.x;
        p.y = leaf.y;
        p.z = leaf.z;
        markers[leaf.depth].points.push_back(p);
      });
  if (!wellFormed)
    return boost::none;
  for (std::size_t depth = 0; depth < markers.size(); ++depth)
  {
    auto& m = markers[depth];
    m.header = map.header;
    m.id = static_cast<int>(depth);
    m.type = visualization_msgs::Marker::CUBE_LIST;
    m.action = m.points.empty() ? visualization_msgs::Marker::DELETE : visualization_msgs::Marker::ADD;
    m.scale.x = m.scale.y = m.scale.z = std::ldexp(map.resolution, static_cast<int>(octree_stream::kTreeDepth - depth));
    // A unit orientation, as the mapper's own markers carry: rviz warns
    // about an all-zero quaternion.
    m.pose.orientation.w = 1.0;
    m.color.b = 1.0f;
    m.color.a = 1.0f;
  }
  return cells;
}
}  // namespace incident_recorder
