#include "zyr_incident_recorder/renderer_queue.h"

#include <ros/console.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstring>

extern char** environ;

namespace incident_recorder
{
void RendererQueue::add(const std::string& folder)
{
  if (!program_.empty())
    waiting_.push_back(folder);
}

void RendererQueue::forget(const std::string& folder)
{
  waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), folder), waiting_.end());
}

void RendererQueue::pump(bool stopping)
{
  if (running_ > 0)
  {
    int status = 0;
    const pid_t done = waitpid(running_, &status, WNOHANG);
    if (done != 0)
    {
      if (done < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        ROS_WARN("incident_recorder: pictures missing in %s (see the renderer's lines before)", drawing_.c_str());
      running_ = 0;
    }
  }
  if (waiting_.empty() || (running_ > 0 && !stopping))
    return;
  std::vector<char*> argv = {const_cast<char*>(program_.c_str())};
  for (const std::string& folder : waiting_)
    argv.push_back(const_cast<char*>(folder.c_str()));
  argv.push_back(nullptr);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  pid_t pid = 0;
  const int err = posix_spawn(&pid, program_.c_str(), nullptr, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  std::string folders;
  for (const std::string& folder : waiting_)
    folders += (folders.empty() ? "" : ", ") + folder;
  waiting_.clear();
  if (err != 0)
  {
    ROS_WARN("incident_recorder: no pictures for %s: cannot start %s: %s", folders.c_str(), program_.c_str(),
             std::strerror(err));
    return;
  }
  setpriority(PRIO_PROCESS, static_cast<id_t>(pid), 19);
  running_ = pid;
  drawing_ = folders;
}
}  // namespace incident_recorder
