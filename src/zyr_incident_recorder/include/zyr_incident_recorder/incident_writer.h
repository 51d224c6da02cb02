// Writes incident folders on a low-priority thread of its own: the bag, the
// summary, the removal of the oldest folders, and the pictures through a
// renderer.
#ifndef ZYR_INCIDENT_RECORDER_INCIDENT_WRITER_H
#define ZYR_INCIDENT_RECORDER_INCIDENT_WRITER_H

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "zyr_incident_recorder/incident_messages.h"
#include "zyr_incident_recorder/renderer_queue.h"

namespace incident_recorder
{
class IncidentWriter
{
public:
  struct Settings
  {
    std::string outputDir;
    std::size_t maxIncidents = 50;  // the oldest folders beyond it are removed
    std::string renderer;           // program drawing incident.png; empty: no pictures
  };

  /// Incidents that may wait to be written. Each holds its seconds of
  /// messages (some 60 MB with the raw clouds), and only a disk slower than
  /// the incidents come lets them pile up: the newest beyond are dropped.
  static constexpr std::size_t kMaxWaiting = 3;

  /// `topics`: the recorder's topics, which the messages' indices refer to;
  /// `cellsTopic`: where the occupied cells of a map go in the bag.
  IncidentWriter(Settings settings, std::vector<Topic> topics, std::string cellsTopic);
  /// Writes what waits, and hands the pictures still to be drawn to a
  /// renderer that outlives the recorder.
  ~IncidentWriter();

  IncidentWriter(const IncidentWriter&) = delete;
  IncidentWriter& operator=(const IncidentWriter&) = delete;

  /// Queues an incident; false (with a Warn line) when it is dropped.
  bool write(Job job);
  /// The guard let go at `when`: the incidents written before, which it still
  /// withheld commands for, get how long it did.
  void release(double when);

private:
  struct Task
  {
    bool release = false;
    double time = 0.0;  // release: when the guard let go
    Job job;
  };

  struct OpenIncident
  {
    std::string folder;
    incident_rules::Summary summary;
  };

  void loop();
  void writeIncident(const Job& job);
  void writeBag(const Job& job, const std::string& path, incident_rules::Summary& summary) const;
  void releaseIncidents(double when);
  void prune();

  const Settings settings_;
  const std::vector<Topic> topics_;
  const std::string cellsTopic_;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> tasks_;
  bool stopping_ = false;

  // Writer thread only
  std::vector<OpenIncident> open_;  // written, guard still withholding
  RendererQueue renderer_;
  std::thread thread_;
};
}  // namespace incident_recorder

#endif  // ZYR_INCIDENT_RECORDER_INCIDENT_WRITER_H
