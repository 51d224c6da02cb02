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

// The bridge publishes a record as soon as it is whole, at most once per
// 10 ms on average (100 times a second, as a 100 Hz loop would). Each
// publication makes the next one due a period after the later of its own due
// time and its own moment, and a publication may go out up to one period
// before it is due: so at most two go out in any period, a faster server is
// thinned to one record per period, and a record that comes or is handled
// late (the server's jitter, a moment without the CPU) does not hold back the
// one after it, as a fixed grid of periods would for ever after.
constexpr std::chrono::milliseconds kBridgePeriod{10};
class PublicationGate
{
public:
  typedef std::chrono::steady_clock Clock;
  explicit PublicationGate(Clock::duration period);
  // `now` when a publication may go out at `now`, else the moment it may.
  Clock::time_point opensAt(Clock::time_point now) const;
  // A publication went out at `at`.
  void published(Clock::time_point at);

private:
  Clock::duration period_;
  Clock::time_point due_;  // the clock's epoch: nothing published yet
};

#endif  // ZYR_COLLISION_AVOIDANCE_TRAJECTORY_RECORD_H
