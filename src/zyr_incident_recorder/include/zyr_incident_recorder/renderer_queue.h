// The folders waiting for their picture, and the renderer drawing them.
#ifndef ZYR_INCIDENT_RECORDER_RENDERER_QUEUE_H
#define ZYR_INCIDENT_RECORDER_RENDERER_QUEUE_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace incident_recorder
{
/// Runs the renderer on the folders handed to it: one process at a time, with
/// every folder that waits, at the lowest priority, so that the pictures
/// never compete with the flight programs. Not thread-safe: one thread calls
/// it.
class RendererQueue
{
public:
  /// `program`: draws incident.png in each folder it is given; empty: none.
  explicit RendererQueue(std::string program) : program_(std::move(program)) {}

  void add(const std::string& folder);
  /// The folder was removed: no picture for it.
  void forget(const std::string& folder);
  /// Reaps a renderer that has finished and starts the next one. `stopping`:
  /// starts one even while another still draws, since the recorder goes; a
  /// renderer runs in a session of its own, so it finishes its pictures even
  /// when the launch that stops the recorder signals its whole process group.
  void pump(bool stopping);

private:
  std::string program_;
  std::vector<std::string> waiting_;
  pid_t running_ = 0;
  std::string drawing_;  // the running renderer's folders
};
}  // namespace incident_recorder

#endif  // ZYR_INCIDENT_RECORDER_RENDERER_QUEUE_H
