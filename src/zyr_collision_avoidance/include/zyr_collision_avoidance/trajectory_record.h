// The vehicle-state record of the local state server's TCP stream and what
// the bridge makes of it, free of ROS so that it can be tested without a
// master: the server's port, the 84-byte codec, the messages built from a
// record, the rule for the quaternion log line, the Pause/Resume latch and
// the pace of publication.
#ifndef ZYR_COLLISION_AVOIDANCE_TRAJECTORY_RECORD_H
#define ZYR_COLLISION_AVOIDANCE_TRAJECTORY_RECORD_H

#include <zyr_sdk/AttitudeQuaternion.h>
#include <zyr_sdk/RCChannels.h>
#include <zyr_sdk/Velocity.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

// The TCP port on 127.0.0.1 where the state server listens and the bridge
// connects.
constexpr int kStateServerPort = 28770;

// One vehicle-state record as it travels on the wire: 84 bytes, no padding,
// every field little-endian. The doubles from q0 on sit at unaligned offsets.
#pragma pack(push, 1)
struct TrajectoryRecord
{
  double vx;
  double vy;
  double vz;
  int32_t health_flag;
  double q0;
  double q1;
  double q2;
  double q3;
  double pitch;  // stick, offset 60: comes before roll on the wire
  double roll;   // stick, offset 68
  double throttle;
};
#pragma pack(pop)

static_assert(sizeof(TrajectoryRecord) == 84, "the state record is 84 packed bytes");

const std::size_t kTrajectoryRecordBytes = sizeof(TrajectoryRecord);

// Decodes exactly kTrajectoryRecordBytes bytes, little-endian whatever the host.
TrajectoryRecord decodeTrajectoryRecord(const unsigned char* bytes);

// The three messages the bridge publishes per record. Every field the record
// does not feed keeps the value of a fresh message; stamps are left for the
// caller to take from the ROS clock.
zyr_sdk::Velocity velocityFromRecord(const TrajectoryRecord& record);
zyr_sdk::AttitudeQuaternion attitudeFromRecord(const TrajectoryRecord& record);
zyr_sdk::RCChannels rcChannelsFromRecord(const TrajectoryRecord& record);

// A quaternion whose single-precision squared norm is below 0.9 is worth a log
// line. Returns false (and leaves `line` alone) when nothing is to be logged,
// which includes a quaternion with a NaN component.
bool attitudeLogLine(const zyr_sdk::AttitudeQuaternion& attitude, const zyr_sdk::Velocity& velocity,
                     const zyr_sdk::RCChannels& rc, std::string& line);

// What the bridge does with one collision status: the command to write to
// the state server ("Pause", "Resume", or null for none) and the Info line to
// log. Only a change of `paused` sends a command; a value other than 0 and 1
// changes nothing.
struct PauseStep
{
  const char* command;
  const char* logLine;
};
PauseStep pauseStep(std::uint8_t status, bool& paused);

// The bridge publishes a record as soon as it is whole, but at most once in
// each period of a fixed grid that starts at `origin` (so at most 100 times a
// second with the bridge's 10 ms, as a 100 Hz loop would): a record that
// completes in a period that has published already waits for the next one.
// The grid does not move with the publications, so a server that sends at
// the same rate, with some jitter, is never held back by more than its
// jitter. Times are no earlier than `origin`.
constexpr std::chrono::milliseconds kBridgePeriod{10};
class PublicationGate
{
public:
  typedef std::chrono::steady_clock Clock;
  PublicationGate(Clock::time_point origin, Clock::duration period);
  // `now` when a publication may go out at `now`, else the start of the next
  // period.
  Clock::time_point opensAt(Clock::time_point now) const;
  // A publication went out at `at`: no other goes out in its period.
  void published(Clock::time_point at);

private:
  int64_t periodOf(Clock::time_point t) const;

  Clock::time_point origin_;
  Clock::duration period_;
  int64_t used_ = -1;  // the last period that published
};

#endif  // ZYR_COLLISION_AVOIDANCE_TRAJECTORY_RECORD_H
