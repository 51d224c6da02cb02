#include "zyr_incident_recorder/incident_recorder.h"

#include <geometry_msgs/Point.h>
#include <geometry_msgs/Vector3.h>
#include <octomap_msgs/Octomap.h>
#include <rosbag/bag.h>
#include <spawn.h>
#include <std_msgs/Header.h>
#include <std_msgs/UInt8.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <visualization_msgs/Marker.h>
#include <visualization_msgs/MarkerArray.h>
#include <zyr_sdk/Velocity.h>

#include <algorithm>
#include <boost/bind/bind.hpp>
#include <boost/filesystem.hpp>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>

#include "zyr_incident_recorder/octree_stream.h"

extern char** environ;

namespace fs = boost::filesystem;
using incident_rules::Vec3;
using Role = IncidentRecorder::Role;
using Stored = IncidentRecorder::Stored;

namespace
{
// The messages of one query of the monitor come within a few milliseconds of
// its verdict; the neighbouring queries are 50 ms away.
constexpr double kSameQuery = 0.025;
constexpr double kClockJump = 1.0;  // seconds backwards that start a new time line
// The buffer holds before + after seconds at most; with clouds that is some
// 15 MB a second.
constexpr double kLongestSpan = 60.0;

// `t` moved back by `seconds`, but never before the first representable time:
// a simulated clock may start near zero.
ros::Time earlier(const ros::Time& t, double seconds)
{
  return t.toSec() > seconds + ros::TIME_MIN.toSec() ? t - ros::Duration(seconds) : ros::TIME_MIN;
}

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

template <class M>
boost::shared_ptr<M> read(const Stored& s)
{
  try
  {
    return s.message->instantiate<M>();
  }
  catch (const std::exception&)  // another type on the topic, or bytes that do not parse
  {
    return nullptr;
  }
}

Vec3 vec(double x, double y, double z)
{
  Vec3 v;
  v.x = x;
  v.y = y;
  v.z = z;
  return v;
}

// The occupied cells of a map as the mapper draws them for a viewer: one
// CUBE_LIST per leaf depth (one cube size each), cells between -2 and 2 m
// high, blue; a depth without cells deletes what an earlier array drew there.
class CellMarkers
{
public:
  void add(const octree_stream::Leaf& leaf)
  {
    if (!(leaf.z > -2.0 && leaf.z < 2.0))
      return;
    geometry_msgs::Point p;
    p.x = leaf.x;
    p.y = leaf.y;
    p.z = leaf.z;
    cells_.markers[leaf.depth].points.push_back(p);
  }

  const visualization_msgs::MarkerArray& finish(const std_msgs::Header& header, double resolution)
  {
    for (std::size_t depth = 0; depth < cells_.markers.size(); ++depth)
    {
      auto& m = cells_.markers[depth];
      m.header = header;
      m.id = static_cast<int>(depth);
      m.type = visualization_msgs::Marker::CUBE_LIST;
      m.action = m.points.empty() ? visualization_msgs::Marker::DELETE : visualization_msgs::Marker::ADD;
      m.scale.x = m.scale.y = m.scale.z = std::ldexp(resolution, static_cast<int>(octree_stream::kTreeDepth - depth));
      // A unit orientation, as the mapper's own markers carry: rviz warns
      // about an all-zero quaternion.
      m.pose.orientation.w = 1.0;
      m.color.b = 1.0f;
      m.color.a = 1.0f;
    }
    return cells_;
  }

private:
  visualization_msgs::MarkerArray cells_ = []
  {
    visualization_msgs::MarkerArray a;
    a.markers.resize(octree_stream::kTreeDepth + 1);
    return a;
  }();
};

void writeTextFile(const fs::path& path, const std::string& text)
{
  const fs::path tmp = path.string() + ".tmp";
  {
    std::ofstream out(tmp.string(), std::ios::trunc);
    out << text;
    out.close();
    if (!out)
      throw std::runtime_error("cannot write " + tmp.string());
  }
  fs::rename(tmp, path);
}
}  // namespace

IncidentRecorder::Settings IncidentRecorder::readSettings(const ros::NodeHandle& pnh)
{
  Settings s;
  double before = s.before, after = s.after;
  int maxIncidents = static_cast<int>(s.maxIncidents);
  pnh.param("before", before, before);
  pnh.param("after", after, after);
  pnh.param("max_incidents", maxIncidents, maxIncidents);
  pnh.param("clouds", s.clouds, s.clouds);
  pnh.param("output_dir", s.outputDir, std::string());
  if (std::isfinite(before) && before >= 0.0 && before <= kLongestSpan)
    s.before = before;
  else
    ROS_WARN("incident_recorder: ~before must be between 0 and %.0f s, using %.1f", kLongestSpan, s.before);
  if (std::isfinite(after) && after >= 0.0 && after <= kLongestSpan)
    s.after = after;
  else
    ROS_WARN("incident_recorder: ~after must be between 0 and %.0f s, using %.1f", kLongestSpan, s.after);
  if (maxIncidents >= 1)
    s.maxIncidents = static_cast<std::size_t>(maxIncidents);
  else
    ROS_WARN("incident_recorder: ~max_incidents must be at least 1, using %zu", s.maxIncidents);
  s.outputDir = s.outputDir.empty() ? defaultOutputDir() : expandHome(s.outputDir);
  if (!pnh.getParam("renderer", s.renderer))
    s.renderer = findProgram("render_incident");
  if (!s.renderer.empty() && access(s.renderer.c_str(), X_OK) != 0)
  {
    ROS_WARN("incident_recorder: cannot run the renderer \"%s\", incidents get no picture", s.renderer.c_str());
    s.renderer.clear();
  }
  return s;
}

IncidentRecorder::IncidentRecorder(ros::NodeHandle& nh, const Settings& settings) : settings_(settings), nh_(nh)
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
  cellsTopic_ = nh_.resolveName("zyr_collision_avoidance/occupied_cells_vis_array");

  for (const Wanted& w : wanted)
  {
    const std::size_t index = topics_.size();
    topics_.push_back({nh_.resolveName(w.name), w.role});
    ros::SubscribeOptions options;
    options.template initByFullCallbackType<const ros::MessageEvent<const topic_tools::ShapeShifter>&>(
        topics_.back().name, w.queue, boost::bind(&IncidentRecorder::onMessage, this, boost::placeholders::_1, index));
    subscribers_.push_back(nh_.subscribe(options));
  }
  writer_ = std::thread(&IncidentRecorder::writerLoop, this);
  ROS_INFO("incident_recorder: keeping %.1f s before and %.1f s after each danger%s, incidents in %s", settings_.before,
           settings_.after, settings_.clouds ? " (with LiDAR clouds)" : "", settings_.outputDir.c_str());
}

IncidentRecorder::~IncidentRecorder()
{
  finishTimer_.stop();
  subscribers_.clear();
  finishIncident();  // an incident cut short is still an incident
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  writer_.join();
  pumpRenderer(true);
}

// ------------------------------------------------------------------ spin thread

void IncidentRecorder::onMessage(const ros::MessageEvent<const topic_tools::ShapeShifter>& event, std::size_t topic)
{
  Stored s{event.getReceiptTime(), topic, event.getConstMessage(), event.getConnectionHeaderPtr()};
  if (s.received < ros::TIME_MIN)
    s.received = ros::TIME_MIN;  // a simulated clock that has not started yet
  const Role role = topics_[topic].role;
  if (role == Role::Static)
  {
    // Latched and sent once per publisher: kept for good, not in the rolling buffer.
    std::string callerid;
    if (s.connectionHeader)
    {
      const auto it = s.connectionHeader->find("callerid");
      if (it != s.connectionHeader->end())
        callerid = it->second;
    }
    statics_[callerid] = s;
    return;
  }
  if (!buffer_.empty() && s.received + ros::Duration(kClockJump) < buffer_.back().received)
  {
    // The clock went back (a bag played again): what is buffered belongs to
    // another time line. Small steps of the wall clock are kept.
    finishIncident();
    buffer_.clear();
    mapBeforeBuffer_ = boost::none;
  }
  buffer_.push_back(s);
  trim(s.received);

  if (role == Role::Verdict || role == Role::Guard)
  {
    const auto value = read<std_msgs::UInt8>(s);
    if (!value)
    {
      ROS_WARN_THROTTLE(10.0, "incident_recorder: %s carries %s, not std_msgs/UInt8; its values are ignored",
                        topics_[topic].name.c_str(), s.message->getDataType().c_str());
      return;
    }
    if (role == Role::Guard)
      onGuard(s.received, value->data);
    else if (dangerEdges_.update(value->data))
      onDanger(s.received);
  }
}

void IncidentRecorder::trim(const ros::Time& now)
{
  ros::Time keepFrom = earlier(now, settings_.before);
  if (pending_ && pending_->start < keepFrom)
    keepFrom = pending_->start;
  while (!buffer_.empty() && buffer_.front().received < keepFrom)
  {
    if (topics_[buffer_.front().topic].role == Role::Map)
      mapBeforeBuffer_ = buffer_.front();
    buffer_.pop_front();
  }
}

void IncidentRecorder::onDanger(const ros::Time& now)
{
  if (pending_)
  {
    ++pending_->dangers;  // a burst makes one incident
    return;
  }
  // One stop of the guard, one incident: while its hold goes on, new dangers
  // belong to the incident already written. A verdict stream that flickers for
  // as long as the hold lasts (the watchdog's fail-safe beside a monitor still
  // answering on a stale map) would otherwise write an incident a second and
  // push the one that explains the stop out of the folder.
  if (guardLatched_ && holdRecorded_)
    return;
  holdRecorded_ = true;
  Pending p;
  p.first = now;
  p.start = earlier(now, settings_.before);
  pending_ = p;
  finishTimer_ = nh_.createTimer(
      ros::Duration(std::max(settings_.after, 1e-3)), [this](const ros::TimerEvent&) { finishIncident(); }, true);
}

void IncidentRecorder::onGuard(const ros::Time& now, std::uint8_t value)
{
  if (value == 1)
  {
    guardLatched_ = true;
    return;
  }
  if (value != 0 || !guardLatched_)
    return;
  guardLatched_ = false;
  holdRecorded_ = false;
  if (pending_ && pending_->released.isZero() && pending_->first <= now)
    pending_->released = now;
  Job job;
  job.kind = Job::Kind::Release;
  job.time = now;
  post(std::move(job));
}

void IncidentRecorder::finishIncident()
{
  finishTimer_.stop();
  if (!pending_)
    return;
  Job job;
  job.incident = *pending_;
  pending_ = boost::none;
  const ros::Time start = job.incident.start;

  // What was in force when the bag starts goes first, at its start: the
  // static transforms and the map the monitor held then.
  boost::optional<Stored> mapAtStart = mapBeforeBuffer_;
  auto from = buffer_.begin();
  for (; from != buffer_.end() && from->received < start; ++from)
  {
    if (topics_[from->topic].role == Role::Map)
      mapAtStart = *from;
  }
  job.messages.reserve(statics_.size() + 1 + static_cast<std::size_t>(buffer_.end() - from));
  for (const auto& entry : statics_)
  {
    job.messages.push_back(entry.second);
    job.messages.back().received = start;
  }
  if (mapAtStart)
  {
    job.messages.push_back(*mapAtStart);
    job.messages.back().received = start;
  }
  job.messages.insert(job.messages.end(), from, buffer_.end());
  job.end = job.messages.empty() ? job.incident.first : job.messages.back().received;
  post(std::move(job));
  if (!buffer_.empty())
    trim(buffer_.back().received);
}

void IncidentRecorder::post(Job job)
{
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
}

// ---------------------------------------------------------------- writer thread

void IncidentRecorder::writerLoop()
{
  // Writing and decoding must never compete with the flight programs.
  setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 10);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;)
  {
    if (jobs_.empty())
    {
      if (stopping_)
        return;
      wake_.wait_for(lock, std::chrono::seconds(1));
      lock.unlock();
      pumpRenderer(false);
      lock.lock();
      continue;
    }
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    if (job.kind == Job::Kind::Write)
      writeIncident(job);
    else
      releaseIncidents(job.time);
    lock.lock();
  }
}

namespace
{
const Stored* lastAtOrBefore(const std::vector<Stored>& messages, const std::vector<IncidentRecorder::Topic>& topics,
                             Role role, const ros::Time& t)
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

const Stored* nearest(const std::vector<Stored>& messages, const std::vector<IncidentRecorder::Topic>& topics,
                      Role role, const ros::Time& t)
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
}  // namespace

incident_rules::Summary IncidentRecorder::summarise(const Job& job) const
{
  incident_rules::Summary summary;
  const ros::Time first = job.incident.first;
  summary.stamp = first.toSec();
  summary.dangers = job.incident.dangers;
  if (!job.incident.released.isZero())
    summary.withheldSeconds = (job.incident.released - first).toSec();

  if (const Stored* s = lastAtOrBefore(job.messages, topics_, Role::Velocity, first))
  {
    if (auto v = read<zyr_sdk::Velocity>(*s))
      summary.velocity = vec(v->vx, v->vy, v->vz);
  }
  if (const Stored* s = nearest(job.messages, topics_, Role::Debug, first))
  {
    if (auto d = read<geometry_msgs::Vector3>(*s))
      summary.debug = vec(d->x, d->y, d->z);
  }
  if (const Stored* s = nearest(job.messages, topics_, Role::CollisionMarker, first))
  {
    if (auto m = read<visualization_msgs::Marker>(*s))
      summary.collisionPoint = vec(m->pose.position.x, m->pose.position.y, m->pose.position.z);
  }
  if (const Stored* s = nearest(job.messages, topics_, Role::StickMarker, first))
  {
    auto m = read<visualization_msgs::Marker>(*s);
    if (m && m->points.size() >= 2)
      summary.stick = vec(m->points[1].x, m->points[1].y, m->points[1].z);
  }
  if (const Stored* s = nearest(job.messages, topics_, Role::Fan, first))
  {
    // The ray that starts at the aircraft runs to the probe's far point:
    // direction times range, exactly as the query cast it.
    if (auto fan = read<visualization_msgs::MarkerArray>(*s))
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
  if (const Stored* s = lastAtOrBefore(job.messages, topics_, Role::Map, first))
    summary.mapStamp = s->received.toSec();
  return summary;
}

void IncidentRecorder::writeBag(const Job& job, const std::string& path, incident_rules::Summary& summary) const
{
  const bool clouds = std::any_of(job.messages.begin(), job.messages.end(),
                                  [this](const Stored& s) { return topics_[s.topic].role == Role::Cloud; });
  const Stored* mapInUse = lastAtOrBefore(job.messages, topics_, Role::Map, job.incident.first);
  std::set<std::string> topics;
  std::size_t count = 0;

  rosbag::Bag bag;
  bag.open(path, rosbag::bagmode::Write);
  bag.setCompression(rosbag::compression::LZ4);
  for (const Stored& s : job.messages)
  {
    const std::string& topic = topics_[s.topic].name;
    bag.write(topic, s.received, *s.message, s.connectionHeader);
    topics.insert(topic);
    ++count;
    if (topics_[s.topic].role != Role::Map || (clouds && &s != mapInUse))
      continue;
    // Without clouds the mapper has nothing to draw on a replay, so the
    // occupied cells of every recorded map go in beside it.
    const auto map = read<octomap_msgs::Octomap>(s);
    if (!map || !map->binary || !std::isfinite(map->resolution) || map->resolution <= 0.0)
      continue;
    std::uint64_t voxels = 0;
    CellMarkers cells;
    const bool wellFormed = octree_stream::forEachOccupiedLeaf(
        map->data, map->resolution,
        [&](const octree_stream::Leaf& leaf)
        {
          // a pruned leaf stands for all the voxels of the finest size inside it
          voxels += std::uint64_t{1} << (3 * (octree_stream::kTreeDepth - leaf.depth));
          cells.add(leaf);
        });
    if (!wellFormed)
      continue;
    if (&s == mapInUse)
    {
      summary.occupiedVoxels = voxels;
      summary.mapResolution = map->resolution;
    }
    if (!clouds)
    {
      bag.write(cellsTopic_, s.received, cells.finish(map->header, map->resolution));
      topics.insert(cellsTopic_);
      ++count;
    }
  }
  bag.close();
  summary.bagStart = job.messages.empty() ? job.incident.start.toSec() : job.messages.front().received.toSec();
  summary.bagEnd = job.end.toSec();
  summary.bagMessages = count;
  summary.topics.assign(topics.begin(), topics.end());
}

void IncidentRecorder::writeIncident(Job& job)
{
  incident_rules::Summary summary = summarise(job);
  const fs::path dir(settings_.outputDir);
  std::string name = incident_rules::folderName(job.incident.first.toSec());
  boost::system::error_code ec;
  for (int n = 2; fs::exists(dir / name, ec) && n < 1000; ++n)
    name = incident_rules::folderName(job.incident.first.toSec()) + "-" + std::to_string(n);
  const fs::path folder = dir / name;
  const fs::path partial = dir / ("." + name + ".partial");
  try
  {
    fs::create_directories(dir);
    fs::remove_all(partial);
    fs::create_directory(partial);
    writeBag(job, (partial / "incident.bag").string(), summary);
    writeTextFile(partial / "incident.json", incident_rules::toJson(summary));
    fs::rename(partial, folder);
  }
  catch (const std::exception& e)  // unwritable folder, full disk: this incident is lost, the node goes on
  {
    ROS_ERROR("incident_recorder: incident %s not written to %s: %s", name.c_str(), dir.string().c_str(), e.what());
    fs::remove_all(partial, ec);
    return;
  }
  ROS_INFO("incident_recorder: incident %s: %.1f s, %zu messages, %.2f MB, %d danger(s)", folder.string().c_str(),
           summary.bagEnd - summary.bagStart, summary.bagMessages,
           static_cast<double>(fs::file_size(folder / "incident.bag", ec)) / 1e6, summary.dangers);
  if (!summary.withheldSeconds)
  {
    open_.push_back({folder.string(), summary});
    if (open_.size() > settings_.maxIncidents)
      open_.erase(open_.begin());
  }
  prune();
  drawPicture(folder.string());
}

void IncidentRecorder::releaseIncidents(const ros::Time& when)
{
  for (auto it = open_.begin(); it != open_.end();)
  {
    if (it->summary.stamp > when.toSec())
    {
      ++it;
      continue;
    }
    it->summary.withheldSeconds = when.toSec() - it->summary.stamp;
    try
    {
      writeTextFile(fs::path(it->folder) / "incident.json", incident_rules::toJson(it->summary));
    }
    catch (const std::exception& e)
    {
      ROS_WARN("incident_recorder: cannot add the guard's release to %s: %s", it->folder.c_str(), e.what());
    }
    it = open_.erase(it);
  }
}

void IncidentRecorder::prune()
{
  boost::system::error_code ec;
  std::vector<std::string> names;
  for (fs::directory_iterator it(settings_.outputDir, ec), end; !ec && it != end; it.increment(ec))
    names.push_back(it->path().filename().string());
  for (const std::string& name : incident_rules::foldersToRemove(names, settings_.maxIncidents))
  {
    const fs::path folder = fs::path(settings_.outputDir) / name;
    fs::remove_all(folder, ec);
    if (ec)
      ROS_WARN("incident_recorder: cannot remove the old incident %s: %s", folder.string().c_str(),
               ec.message().c_str());
    open_.erase(std::remove_if(open_.begin(), open_.end(),
                               [&folder](const OpenIncident& o) { return o.folder == folder.string(); }),
                open_.end());
    toDraw_.erase(std::remove(toDraw_.begin(), toDraw_.end(), folder.string()), toDraw_.end());
  }
}

void IncidentRecorder::drawPicture(const std::string& folder)
{
  if (!settings_.renderer.empty())
    toDraw_.push_back(folder);
  pumpRenderer(false);
}

void IncidentRecorder::pumpRenderer(bool stopping)
{
  if (renderer_ > 0)
  {
    int status = 0;
    const pid_t done = waitpid(renderer_, &status, WNOHANG);
    if (done != 0)
    {
      if (done < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        ROS_WARN("incident_recorder: pictures missing in %s (see the renderer's lines before)", drawing_.c_str());
      renderer_ = 0;
    }
  }
  // One renderer at a time, with every folder that waits: the pictures must
  // not compete with the flight programs. A node that stops leaves the
  // renderer (in a session of its own) to finish its work.
  if (toDraw_.empty() || (renderer_ > 0 && !stopping))
    return;
  std::vector<char*> argv = {const_cast<char*>(settings_.renderer.c_str())};
  for (const std::string& folder : toDraw_)
    argv.push_back(const_cast<char*>(folder.c_str()));
  argv.push_back(nullptr);
  // A session of its own: a picture under way is finished even when the
  // launch that stops this node signals the node's whole process group.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  pid_t pid = 0;
  const int err = posix_spawn(&pid, settings_.renderer.c_str(), nullptr, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  std::string folders;
  for (const std::string& folder : toDraw_)
    folders += (folders.empty() ? "" : ", ") + folder;
  toDraw_.clear();
  if (err != 0)
  {
    ROS_WARN("incident_recorder: no pictures for %s: cannot start %s: %s", folders.c_str(), settings_.renderer.c_str(),
             std::strerror(err));
    return;
  }
  setpriority(PRIO_PROCESS, static_cast<id_t>(pid), 19);
  renderer_ = pid;
  drawing_ = folders;
}
