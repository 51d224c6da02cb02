#include "zyr_incident_recorder/incident_writer.h"

#include <fcntl.h>
#include <ros/console.h>
#include <rosbag/bag.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <memory>
#include <set>
#include <system_error>

namespace fs = boost::filesystem;

namespace incident_recorder
{
namespace
{
std::system_error systemError(const std::string& what)
{
  return std::system_error(errno, std::generic_category(), what);
}

// rosbag cannot give up on a failed write: its destructor writes what it
// still holds, throws again and so aborts the process. The bag is therefore
// built in memory, where writes do not fail, and then copied into the folder
// with plain writes, whose failures (a full disk, a folder removed meanwhile)
// are errors like any other.
class MemoryFile
{
public:
  MemoryFile() : fd_(memfd_create("incident.bag", MFD_CLOEXEC))
  {
    if (fd_ < 0)
      throw systemError("cannot make room for the bag in memory");
  }
  ~MemoryFile()
  {
    close(fd_);
  }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;

  /// A name under which others can open it.
  std::string path() const
  {
    return "/proc/self/fd/" + std::to_string(fd_);
  }

  void copyTo(const std::string& path) const
  {
    struct stat st = {};
    if (fstat(fd_, &st) != 0)
      throw systemError("bag in memory");
    const int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0)
      throw systemError("cannot create " + path);
    off_t offset = 0;
    while (offset < st.st_size)
    {
      const ssize_t n = sendfile(out, fd_, &offset, static_cast<std::size_t>(st.st_size - offset));
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
      {
        const std::system_error e = n < 0 ? systemError("cannot write " + path)
                                          : std::system_error(EIO, std::generic_category(), "short copy to " + path);
        close(out);
        throw e;
      }
    }
    if (close(out) != 0)
      throw systemError("cannot write " + path);
  }

private:
  int fd_;
};

void writeTextFile(const fs::path& path, const std::string& text)
{
  const fs::path tmp = path.string() + ".tmp";
  {
    std::ofstream out(tmp.string(), std::ios::trunc);
    out << text;
    out.close();
    if (!out)
    {
      boost::system::error_code ec;
      fs::remove(tmp, ec);
      throw std::runtime_error("cannot write " + tmp.string());
    }
  }
  fs::rename(tmp, path);
}
}  // namespace

IncidentWriter::IncidentWriter(Settings settings, std::vector<Topic> topics, std::string cellsTopic)
    : settings_(std::move(settings)),
      topics_(std::move(topics)),
      cellsTopic_(std::move(cellsTopic)),
      renderer_(settings_.renderer)
{
  thread_ = std::thread(&IncidentWriter::loop, this);
}

IncidentWriter::~IncidentWriter()
{
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
  renderer_.pump(true);
}

bool IncidentWriter::write(Job job)
{
  std::size_t waiting = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    waiting =
        static_cast<std::size_t>(std::count_if(tasks_.begin(), tasks_.end(), [](const Task& t) { return !t.release; }));
    if (waiting < kMaxWaiting)
    {
      Task task;
      task.job = std::move(job);
      tasks_.push_back(std::move(task));
    }
  }
  if (waiting >= kMaxWaiting)
  {
    ROS_WARN("incident_recorder: incident %s dropped: %zu incidents still wait to be written to %s",
             incident_rules::folderName(job.incident.first).c_str(), waiting, settings_.outputDir.c_str());
    return false;
  }
  wake_.notify_one();
  return true;
}

void IncidentWriter::release(double when)
{
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // A release right behind another finds no incident that the first left
    // open, so the queue never holds two in a row.
    if (!tasks_.empty() && tasks_.back().release)
      return;
    Task task;
    task.release = true;
    task.time = when;
    tasks_.push_back(std::move(task));
  }
  wake_.notify_one();
}

void IncidentWriter::loop()
{
  // Writing and decoding must never compete with the flight programs.
  setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 10);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;)
  {
    if (tasks_.empty())
    {
      if (stopping_)
        return;
      wake_.wait_for(lock, std::chrono::seconds(1));
      lock.unlock();
      renderer_.pump(false);
      lock.lock();
      continue;
    }
    Task task = std::move(tasks_.front());
    tasks_.pop_front();
    lock.unlock();
    if (task.release)
      releaseIncidents(task.time);
    else
      writeIncident(task.job);
    lock.lock();
  }
}

void IncidentWriter::writeBag(const Job& job, const std::string& path, incident_rules::Summary& summary) const
{
  const bool clouds = std::any_of(job.messages.begin(), job.messages.end(),
                                  [this](const Stored& s) { return topics_[s.topic].role == Role::Cloud; });
  const Stored* mapInUse = lastAtOrBefore(job.messages, topics_, Role::Map, ros::Time(job.incident.first));
  std::set<std::string> topics;
  std::size_t count = 0;

  MemoryFile memory;
  std::unique_ptr<rosbag::Bag> bag(new rosbag::Bag);
  try
  {
    bag->open(memory.path(), rosbag::bagmode::Write);
    bag->setCompression(rosbag::compression::LZ4);
    for (const Stored& s : job.messages)
    {
      const std::string& topic = topics_[s.topic].name;
      bag->write(topic, s.received, *s.message, s.connectionHeader);
      topics.insert(topic);
      ++count;
      if (topics_[s.topic].role != Role::Map || (clouds && &s != mapInUse))
        continue;
      // Without clouds the mapper has nothing to draw on a replay, so the
      // occupied cells of every recorded map go in beside it.
      const auto map = decode<octomap_msgs::Octomap>(s);
      const auto cells = map ? mapCells(*map) : boost::none;
      if (!cells)
        continue;
      if (&s == mapInUse)
      {
        summary.occupiedVoxels = cells->voxels;
        summary.mapResolution = map->resolution;
      }
      if (!clouds)
      {
        bag->write(cellsTopic_, s.received, cells->markers);
        topics.insert(cellsTopic_);
        ++count;
      }
    }
    bag->close();
  }
  catch (...)
  {
    try
    {
      bag->close();
    }
    catch (...)
    {
      // Only a process out of memory gets here. Destroying this bag would
      // abort; it is left behind, the incident is lost and the node goes on.
      bag.release();
    }
    throw;
  }
  memory.copyTo(path);
  summary.bagStart = job.messages.empty() ? job.incident.start : job.messages.front().received.toSec();
  summary.bagEnd = job.messages.empty() ? job.incident.first : job.messages.back().received.toSec();
  summary.bagMessages = count;
  summary.topics.assign(topics.begin(), topics.end());
}

void IncidentWriter::writeIncident(const Job& job)
{
  incident_rules::Summary summary = summarise(job, topics_);
  const fs::path dir(settings_.outputDir);
  const double first = job.incident.first;
  std::string name = incident_rules::folderName(first);
  boost::system::error_code ec;
  for (int n = 2; fs::exists(dir / name, ec) && n < 1000; ++n)
    name = incident_rules::folderName(first) + "-" + std::to_string(n);
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
  ROS_INFO("incident_recorder: incident %s: %.1f s, %zu messages, %.2f MB, %d danger(s)%s%s", folder.string().c_str(),
           summary.bagEnd - summary.bagStart, summary.bagMessages,
           static_cast<double>(fs::file_size(folder / "incident.bag", ec)) / 1e6, summary.dangers,
           summary.cause == incident_rules::Cause::Failsafe ? ", fail-safe: " : "",
           summary.cause == incident_rules::Cause::Failsafe ? summary.causeReason.value_or("?").c_str() : "");
  if (!summary.withheldSeconds)
  {
    open_.push_back({folder.string(), summary});
    if (open_.size() > settings_.maxIncidents)
      open_.erase(open_.begin());
  }
  prune();
  renderer_.add(folder.string());
  renderer_.pump(false);
}

void IncidentWriter::releaseIncidents(double when)
{
  for (auto it = open_.begin(); it != open_.end();)
  {
    if (it->summary.stamp > when)
    {
      ++it;
      continue;
    }
    it->summary.withheldSeconds = when - it->summary.stamp;
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

void IncidentWriter::prune()
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
    renderer_.forget(folder.string());
  }
}
}  // namespace incident_recorder
