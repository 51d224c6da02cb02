#include "zyr_collision_avoidance/trajectory_record.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace
{
uint64_t littleEndian64(const unsigned char* p)
{
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i)
  {
    v = (v << 8) | p[i];
  }
  return v;
}

double doubleAt(const unsigned char* bytes, std::size_t offset)
{
  const uint64_t bits = littleEndian64(bytes + offset);
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

int32_t int32At(const unsigned char* bytes, std::size_t offset)
{
  const unsigned char* p = bytes + offset;
  const uint32_t bits = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  int32_t value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}
}  // namespace

TrajectoryRecord decodeTrajectoryRecord(const unsigned char* bytes)
{
  TrajectoryRecord r;
  r.vx = doubleAt(bytes, 0);
  r.vy = doubleAt(bytes, 8);
  r.vz = doubleAt(bytes, 16);
  r.health_flag = int32At(bytes, 24);
  r.q0 = doubleAt(bytes, 28);
  r.q1 = doubleAt(bytes, 36);
  r.q2 = doubleAt(bytes, 44);
  r.q3 = doubleAt(bytes, 52);
  r.pitch = doubleAt(bytes, 60);
  r.roll = doubleAt(bytes, 68);
  r.throttle = doubleAt(bytes, 76);
  return r;
}

zyr_sdk::Velocity velocityFromRecord(const TrajectoryRecord& record)
{
  zyr_sdk::Velocity v;
  v.vx = static_cast<float>(record.vx);
  v.vy = static_cast<float>(record.vy);
  v.vz = static_cast<float>(record.vz);
  v.health_flag = static_cast<uint8_t>(record.health_flag & 0xFF);
  return v;
}

zyr_sdk::AttitudeQuaternion attitudeFromRecord(const TrajectoryRecord& record)
{
  zyr_sdk::AttitudeQuaternion q;
  q.q0 = static_cast<float>(record.q0);
  q.q1 = static_cast<float>(record.q1);
  q.q2 = static_cast<float>(record.q2);
  q.q3 = static_cast<float>(record.q3);
  return q;
}

zyr_sdk::RCChannels rcChannelsFromRecord(const TrajectoryRecord& record)
{
  zyr_sdk::RCChannels rc;
  rc.roll = static_cast<float>(record.roll);
  rc.pitch = static_cast<float>(record.pitch);
  rc.throttle = static_cast<float>(record.throttle);
  return rc;
}

bool attitudeLogLine(const zyr_sdk::AttitudeQuaternion& attitude, const zyr_sdk::Velocity& velocity,
                     const zyr_sdk::RCChannels& rc, std::string& line)
{
  // Single precision on purpose: (0.9, 0.3, 0, 0) sums to 0.89999998 here,
  // which is below the double 0.9 and so is reported.
  const float norm2 =
      attitude.q0 * attitude.q0 + attitude.q1 * attitude.q1 + attitude.q2 * attitude.q2 + attitude.q3 * attitude.q3;
  if (!(norm2 < 0.9))
  {
    return false;
  }
  const float speed2 = velocity.vx * velocity.vx + velocity.vy * velocity.vy + velocity.vz * velocity.vz;
  char text[256];
  std::snprintf(text, sizeof text, "q:%f, v:%f, ux:%f, uy:%f", norm2, speed2, rc.pitch, rc.roll);
  line = text;
  return true;
}

PauseStep pauseStep(std::uint8_t status, bool& paused)
{
  if (status == 1)
  {
    if (paused)
      return PauseStep{nullptr, "Received 1, but already paused"};
    paused = true;
    return PauseStep{"Pause", "Received 1"};
  }
  if (status == 0)
  {
    if (!paused)
      return PauseStep{nullptr, "Received 0, but not paused"};
    paused = false;
    return PauseStep{"Resume", "Received 0"};
  }
  return PauseStep{nullptr, "Bad value entered on pause topic."};
}

PublicationGate::PublicationGate(Clock::duration period) : period_(period) {}

PublicationGate::Clock::time_point PublicationGate::opensAt(Clock::time_point now) const
{
  return std::max(now, due_ - period_);
}

void PublicationGate::published(Clock::time_point at)
{
  due_ = std::max(due_, at) + period_;
}
