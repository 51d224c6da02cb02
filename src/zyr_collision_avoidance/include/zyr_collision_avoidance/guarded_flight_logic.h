// Pure rules of guarded manual flight: how sticks become an attitude command,
// when GPS counts as healthy, how the latched collision status moves and which
// gate a stick message stops at. They touch no ROS handle, so the node and its
// unit tests share them.
#ifndef ZYR_COLLISION_AVOIDANCE_GUARDED_FLIGHT_LOGIC_H
#define ZYR_COLLISION_AVOIDANCE_GUARDED_FLIGHT_LOGIC_H

#include <cmath>
#include <cstdint>

#include "zyr_collision_avoidance/data_age.h"
#include "zyr_collision_avoidance/motion_constants.h"

namespace guarded_flight_logic
{
using motion_constants::kRollPitchDivisor;
using motion_constants::kThrottleDivisor;
using motion_constants::kYawDivisor;

// Control-mode bytes of the attitude-control service; they differ in bit 4
// only. With kFlagHoldHeight, z is the height to hold; with kFlagVerticalSpeed,
// z is the throttle command.
constexpr uint8_t kFlagVerticalSpeed = 74;  // 0x4A
constexpr uint8_t kFlagHoldHeight = 90;     // 0x5A

constexpr uint8_t kStatusClear = 0;
constexpr uint8_t kStatusDanger = 1;

// Clear messages must come slower than this (m/s, horizontal) to count.
using motion_constants::kSlowSpeed;
// DANGER is released by the first clear message once more than this many slow
// clear messages have been counted.
constexpr int32_t kClearanceCount = 14;

// The monitor gives a verdict on every fifth velocity message, ten to twenty
// a second. A verdict older than this (seconds) vouches for nothing: the
// monitor has died, lost its map or been told the velocity is unhealthy, and
// the way ahead may have changed since. Half a second is five verdicts missed
// at the slowest rhythm, and the age beyond which a flight stack's own
// collision prevention stops trusting its range data.
constexpr double kVerdictMaxAgeSeconds = 0.5;

// The command log line is thinned to one per this many stick messages.
constexpr int32_t kLogEvery = 50;

struct AttitudeCommand
{
  uint8_t flag;
  float pitch;
  float roll;
  float z;
  float yaw;
};

// The dead band is decided on the raw channel value truncated towards zero:
// -249..249 holds height. Comparing the truncated float keeps the test exact
// for every finite input and well defined for values no int can hold.
inline bool throttleCentred(float throttle)
{
  const float truncated = std::trunc(throttle);
  return truncated > -250.0f && truncated < 250.0f;
}

// Scales one stick message into the command sent to the SDK node. `height` is
// the latest measured height; it becomes z while the throttle is centred.
inline AttitudeCommand remapSticks(float roll, float pitch, float yaw, float throttle, float height)
{
  AttitudeCommand command;
  command.roll = roll / kRollPitchDivisor;
  command.pitch = pitch / kRollPitchDivisor;
  command.yaw = yaw / kYawDivisor;
  if (throttleCentred(throttle))
  {
    command.flag = kFlagHoldHeight;
    command.z = height;
  }
  else
  {
    command.flag = kFlagVerticalSpeed;
    command.z = throttle / kThrottleDivisor;
  }
  return command;
}

// Whether a stick message may become a command: all four channels within
// full scale, and a finite height when the centred throttle makes the command
// hold it. Without a command the flight controller holds, as it does whenever
// commands stop.
inline bool commandInputsUsable(float roll, float pitch, float yaw, float throttle, float height)
{
  using motion_constants::stickInRange;
  return stickInRange(roll) && stickInRange(pitch) && stickInRange(yaw) && stickInRange(throttle) &&
         (!throttleCentred(throttle) || std::isfinite(height));
}

// GPS health is a signed byte; only values above 2 count as healthy.
inline bool gpsHealthOk(int8_t health)
{
  return health > 2;
}

// Counts one stick message; true when this message is due for the log line
// (the 50th, 100th, ... counted from start, whatever the gates decide).
inline bool countStickMessage(int32_t& counter)
{
  ++counter;
  if (counter % kLogEvery == 0)
  {
    counter = 0;
  }
  return counter == 0;
}

// One "collision_info_msg" value through the latch. A 1 latches DANGER and
// restarts the count; a 0 counts only while DANGER holds and the aircraft is
// slow, and releases DANGER once the count has passed kClearanceCount; any
// other value changes nothing. The count is kept after the release, so later
// clear messages keep the status clear until the next 1.
inline void updateCollisionStatus(uint8_t data, float horizontal_speed, uint8_t& collision_status,
                                  int32_t& clearance_checker)
{
  if (data == kStatusDanger)
  {
    collision_status = kStatusDanger;
    clearance_checker = 0;
  }
  else if (data == kStatusClear)
  {
    if (clearance_checker > kClearanceCount)
    {
      collision_status = kStatusClear;
    }
    else if (collision_status == kStatusDanger && horizontal_speed < kSlowSpeed)
    {
      ++clearance_checker;
    }
  }
}

// Age of the last verdict (0 or 1) on "collision_info_msg" when a stick
// message is handled. Before the first verdict there is none to be stale: the
// watchdog holds the aircraft while the loop comes up.
struct VerdictAge
{
  bool seen = false;
  double seconds = 0.0;
};

// Whether the last verdict is too old to fly on.
inline bool verdictStale(const VerdictAge& verdict)
{
  return verdict.seen && !data_age::fresh(verdict.seconds, kVerdictMaxAgeSeconds);
}

// Where a stick message stops, in the order the gates are passed.
enum class StickOutcome
{
  kPoorGps,         // GPS not healthy
  kDanger,          // the latched status is DANGER
  kUnusableSticks,  // garbage channels, or no finite height to hold
  kCommand          // becomes one attitude-control call
};

struct StickGate
{
  // The last verdict is stale: DANGER latches as for a 1, whatever gate the
  // message then stops at, so that commands return only through the release.
  bool latchDanger = false;
  StickOutcome outcome = StickOutcome::kPoorGps;
};

// The gates of one stick message: GPS, then the danger latch (with a stale
// verdict counting as danger), then usable sticks; past them, a command.
inline StickGate gateStick(bool gps_healthy, uint8_t collision_status, const VerdictAge& verdict, float roll,
                           float pitch, float yaw, float throttle, float height)
{
  StickGate gate;
  gate.latchDanger = verdictStale(verdict);
  if (!gps_healthy)
    gate.outcome = StickOutcome::kPoorGps;
  else if (collision_status == kStatusDanger || gate.latchDanger)
    gate.outcome = StickOutcome::kDanger;
  else if (!commandInputsUsable(roll, pitch, yaw, throttle, height))
    gate.outcome = StickOutcome::kUnusableSticks;
  else
    gate.outcome = StickOutcome::kCommand;
  return gate;
}

}  // namespace guarded_flight_logic

#endif  // ZYR_COLLISION_AVOIDANCE_GUARDED_FLIGHT_LOGIC_H
