// Client side of the local state server's TCP stream: fixed-size vehicle-state
// records in, "Pause" / "Resume" commands out.
#ifndef ZYR_COLLISION_AVOIDANCE_TRAJECTORY_TCP_INTERFACE_H
#define ZYR_COLLISION_AVOIDANCE_TRAJECTORY_TCP_INTERFACE_H

#include <zyr_sdk/AttitudeQuaternion.h>
#include <zyr_sdk/RCChannels.h>
#include <zyr_sdk/Velocity.h>

#include <boost/function.hpp>
#include <cstddef>
#include <cstdint>
#include <string>

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

class TrajectoryROSInterface
{
public:
  enum ReadStatus
  {
    RECORD_READ,        // `record` holds one whole record
    CONNECTION_CLOSED,  // the server closed its end; an unfinished record is dropped
    STOPPED             // the caller's keep-waiting test said stop while no record was complete
  };

  explicit TrajectoryROSInterface(int port);

  // Connects to the state server on "localhost"; returns the descriptor, or
  // ends the process with a non-zero status.
  int setupSubscriber();

  // Reads exactly one record from `fd`, completing short reads and leaving any
  // later bytes in the socket. Waits in short slices and asks `keep_waiting`
  // between them, so a silent server never blocks shutdown. A failed read ends
  // the process with a non-zero status.
  ReadStatus readOnce(int fd, TrajectoryRecord& record, const boost::function<bool()>& keep_waiting);
  // The same, waiting while ROS is ok.
  ReadStatus readOnce(int fd, TrajectoryRecord& record);

  // perror(msg), then ends the process with a non-zero status.
  [[noreturn]] void error(const char* msg);

  int port;
};

#endif  // ZYR_COLLISION_AVOIDANCE_TRAJECTORY_TCP_INTERFACE_H
