// The state server's record codec, the messages built from a record, the
// attitude log rule and the Pause/Resume latch, without ROS.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "zyr_collision_avoidance/trajectory_record.h"
#include "zyr_test_support/wire_record.h"

using test_support::WireRecord;

namespace
{
TrajectoryRecord decode(const WireRecord& record)
{
  const std::string bytes = record.bytes();
  return decodeTrajectoryRecord(reinterpret_cast<const unsigned char*>(bytes.data()));
}
}  // namespace

TEST(TrajectoryRecord, EveryFieldIsReadLittleEndianFromItsOffsetEvenUnaligned)
{
  WireRecord w;
  w.vx = 1.5;
  w.vy = -2.25;
  w.vz = 3.0;
  w.q1 = -0.5;
  w.q2 = 0.25;
  w.q3 = -0.125;
  w.pitch = 1200.0;
  w.roll = -3400.0;
  w.throttle = 5600.0;
  unsigned char storage[1 + 84] = {0};
  unsigned char* b = storage + 1;  // odd address: nothing may rely on alignment
  std::memcpy(b, w.bytes().data(), 84);
  const unsigned char health[4] = {0x78, 0x56, 0x34, 0x12};
  std::memcpy(b + 24, health, 4);
  // 1.0 spelled out byte by byte, so the byte order is pinned, not assumed.
  const unsigned char one[8] = {0, 0, 0, 0, 0, 0, 0xF0, 0x3F};
  std::memcpy(b + 28, one, 8);

  const TrajectoryRecord r = decodeTrajectoryRecord(b);
  EXPECT_EQ(1.5, double(r.vx));
  EXPECT_EQ(-2.25, double(r.vy));
  EXPECT_EQ(3.0, double(r.vz));
  EXPECT_EQ(0x12345678, int32_t(r.health_flag));
  EXPECT_EQ(1.0, double(r.q0));
  EXPECT_EQ(-0.5, double(r.q1));
  EXPECT_EQ(0.25, double(r.q2));
  EXPECT_EQ(-0.125, double(r.q3));
  EXPECT_EQ(1200.0, double(r.pitch));
  EXPECT_EQ(-3400.0, double(r.roll));
  EXPECT_EQ(5600.0, double(r.throttle));
}

TEST(TrajectoryRecord, MessagesTakeTheLowHealthByteAndTheSticksFromTheirOwnOffsets)
{
  WireRecord w;
  w.health_flag = 257;  // low byte 1
  w.pitch = 111.0;
  w.roll = -222.0;
  w.throttle = 333.0;
  const TrajectoryRecord r = decode(w);

  EXPECT_EQ(1, velocityFromRecord(r).health_flag);
  const zyr_sdk::RCChannels rc = rcChannelsFromRecord(r);
  EXPECT_EQ(111.0f, rc.pitch);
  EXPECT_EQ(-222.0f, rc.roll);
  EXPECT_EQ(333.0f, rc.throttle);
  EXPECT_EQ(0.0f, rc.yaw);
  EXPECT_EQ(0.0f, rc.mode);
  EXPECT_EQ(0.0f, rc.gear);

  TrajectoryRecord other = r;
  other.health_flag = 256;
  EXPECT_EQ(0, velocityFromRecord(other).health_flag);
  other.health_flag = -1;
  EXPECT_EQ(255, velocityFromRecord(other).health_flag);
}

TEST(TrajectoryRecord, DoublesAreRoundedToTheNearestSingle)
{
  TrajectoryRecord r = TrajectoryRecord();
  r.vx = 1.0 + 3.0 * std::ldexp(1.0, -25);  // nearer to 1 + 2^-23 than to 1: truncation would give 1
  r.vy = 0.1;
  r.vz = -(1.0 + 3.0 * std::ldexp(1.0, -25));
  r.q1 = 0.3;
  const zyr_sdk::Velocity v = velocityFromRecord(r);
  EXPECT_EQ(1.0f + std::ldexp(1.0f, -23), v.vx);
  EXPECT_EQ(0.1f, v.vy);
  EXPECT_EQ(-(1.0f + std::ldexp(1.0f, -23)), v.vz);
  EXPECT_EQ(0.3f, attitudeFromRecord(r).q1);
}

TEST(TrajectoryRecord, AttitudeLogRuleUsesTheSinglePrecisionSquaredNorm)
{
  zyr_sdk::Velocity v;
  v.vx = 3.0f;
  v.vy = 4.0f;
  zyr_sdk::RCChannels rc;
  rc.pitch = 0.5f;
  rc.roll = -0.25f;
  zyr_sdk::AttitudeQuaternion q;
  std::string line = "untouched";

  q.q0 = 1.0f;
  EXPECT_FALSE(attitudeLogLine(q, v, rc, line));
  EXPECT_EQ("untouched", line);

  q.q0 = 0.0f;
  ASSERT_TRUE(attitudeLogLine(q, v, rc, line));
  EXPECT_EQ("q:0.000000, v:25.000000, ux:0.500000, uy:-0.250000", line);

  // 0.81 + 0.09 is 0.89999998 in single precision: below the double 0.9.
  q.q0 = static_cast<float>(0.9);
  q.q1 = static_cast<float>(0.3);
  ASSERT_TRUE(attitudeLogLine(q, v, rc, line));
  EXPECT_EQ("q:0.900000, v:25.000000, ux:0.500000, uy:-0.250000", line);

  q.q0 = 0.95f;
  q.q1 = 0.0f;
  EXPECT_FALSE(attitudeLogLine(q, v, rc, line));

  q.q0 = std::numeric_limits<float>::quiet_NaN();
  line = "untouched";
  EXPECT_FALSE(attitudeLogLine(q, v, rc, line));
  EXPECT_EQ("untouched", line);
}

TEST(PauseLatch, OnlyChangesSendACommandAndOtherValuesChangeNothing)
{
  bool paused = false;
  const auto step = [&](std::uint8_t status)
  {
    const PauseStep s = pauseStep(status, paused);
    return std::string(s.command ? s.command : "-") + " / " + s.logLine;
  };
  EXPECT_EQ("- / Received 0, but not paused", step(0));
  EXPECT_EQ("Pause / Received 1", step(1));
  EXPECT_EQ("- / Received 1, but already paused", step(1));
  EXPECT_EQ("- / Bad value entered on pause topic.", step(2));
  EXPECT_TRUE(paused);
  EXPECT_EQ("Resume / Received 0", step(0));
  EXPECT_FALSE(paused);
}
