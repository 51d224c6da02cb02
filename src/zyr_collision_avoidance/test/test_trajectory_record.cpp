// Record decoding, message building, the attitude log rule and the framed
// reader, without a ROS master.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "zyr_collision_avoidance/TrajectoryTCPInterface.h"
#include "zyr_test_support/loopback_server.h"
#include "zyr_test_support/wait.h"
#include "zyr_test_support/wire_record.h"

using test_support::Deadline;
using test_support::WireRecord;

namespace
{
const double kPatience = 5.0;  // seconds a reader may wait for bytes that never come

TrajectoryRecord decode(const WireRecord& record)
{
  const std::string bytes = record.bytes();
  return decodeTrajectoryRecord(reinterpret_cast<const unsigned char*>(bytes.data()));
}

struct SocketPair
{
  SocketPair()
  {
    int fds[2];
    EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    reader = fds[0];
    writer = fds[1];
  }
  ~SocketPair()
  {
    close(reader);
    if (writer >= 0)
    {
      close(writer);
    }
  }
  void write(const std::string& bytes)
  {
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()), ::write(writer, bytes.data(), bytes.size()));
  }
  int reader;
  int writer;
};
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

TEST(ReadOnce, CompletesAShortReadTakesTheNewestWaitingRecordAndKeepsThePartialTail)
{
  SocketPair pair;
  TrajectoryROSInterface iface(kStateServerPort);
  WireRecord firstRecord(1.0);
  firstRecord.health_flag = 257;
  const std::string first = firstRecord.bytes();
  pair.write(first.substr(0, 30));
  int asked = 0;
  // The rest arrives only after the reader has taken the first 30 bytes.
  auto deliver_rest = [&]()
  {
    if (++asked == 2)
    {
      pair.write(first.substr(30));
    }
    return asked < 100;
  };
  TrajectoryRecord r;
  ASSERT_EQ(TrajectoryROSInterface::RECORD_READ, iface.readOnce(pair.reader, r, deliver_rest));
  EXPECT_EQ(1.0, double(r.vx));
  EXPECT_EQ(257, int32_t(r.health_flag));
  EXPECT_EQ(1.0, double(r.q0));

  // Three whole records waiting and ten bytes of a fourth: the newest whole
  // one is taken, the older ones are dropped, the ten bytes wait for the rest.
  const std::string fourth = WireRecord(4.0).bytes();
  pair.write(WireRecord(2.0).bytes() + WireRecord(3.0).bytes() + WireRecord(3.5).bytes() + fourth.substr(0, 10));
  ASSERT_EQ(TrajectoryROSInterface::RECORD_READ, iface.readOnce(pair.reader, r, Deadline(kPatience)));
  EXPECT_EQ(3.5, double(r.vx));
  pair.write(fourth.substr(10));
  ASSERT_EQ(TrajectoryROSInterface::RECORD_READ, iface.readOnce(pair.reader, r, Deadline(kPatience)));
  EXPECT_EQ(4.0, double(r.vx));

  // A record followed by the end: the record first, then the end. Ten bytes
  // of a further record before the end are never decoded.
  pair.write(WireRecord(5.0).bytes() + fourth.substr(0, 10));
  close(pair.writer);
  pair.writer = -1;
  ASSERT_EQ(TrajectoryROSInterface::RECORD_READ, iface.readOnce(pair.reader, r, Deadline(kPatience)));
  EXPECT_EQ(5.0, double(r.vx));
  r.vx = -7.0;
  EXPECT_EQ(TrajectoryROSInterface::CONNECTION_CLOSED, iface.readOnce(pair.reader, r, Deadline(kPatience)));
  EXPECT_EQ(-7.0, double(r.vx));
  EXPECT_EQ(TrajectoryROSInterface::CONNECTION_CLOSED, iface.readOnce(pair.reader, r, Deadline(kPatience)));
}

TEST(TakeWaiting, ReturnsAtOnceWhileNoWholeRecordIsWaiting)
{
  SocketPair pair;
  TrajectoryROSInterface iface(kStateServerPort);
  TrajectoryRecord r;
  EXPECT_EQ(TrajectoryROSInterface::NO_RECORD, iface.takeWaiting(pair.reader, r));
  const std::string record = WireRecord(6.0).bytes();
  pair.write(record.substr(0, 30));
  EXPECT_EQ(TrajectoryROSInterface::NO_RECORD, iface.takeWaiting(pair.reader, r));
  pair.write(record.substr(30));
  ASSERT_EQ(TrajectoryROSInterface::RECORD_READ, iface.takeWaiting(pair.reader, r));
  EXPECT_EQ(6.0, double(r.vx));
}

TEST(PublicationGate, OnePublicationPerPeriodOnAverageAndALateOneHoldsNoneBack)
{
  typedef std::chrono::microseconds us;
  const PublicationGate::Clock::time_point origin;
  PublicationGate gate(kBridgePeriod);
  // A record whole at `ready` goes out at `out` (microseconds).
  const struct
  {
    long ready, out;
  } records[] = {
      {0, 0},                              // the first: at once
      {1000, 1000},                        // a second within the period: still at once
      {2000, 10000},                       // a third waits until one is due
      {12000, 20000},                      // and so on, one per period, while they come faster
      {45000, 45000},                      // after a gap: at once
      {58000, 58000},                      // 3 ms late
      {65000, 65000},                      // the next, on time, is not held back
      {75000, 75000},   {200000, 200000},  // after a silence: two at once again, then one per period
      {200500, 200500}, {201000, 210000},
  };
  for (const auto& record : records)
  {
    SCOPED_TRACE(record.ready);
    const PublicationGate::Clock::time_point out = gate.opensAt(origin + us(record.ready));
    EXPECT_EQ(record.out, std::chrono::duration_cast<us>(out - origin).count());
    gate.published(out);
  }
}

TEST(ReadOnce, GivesUpWaitingOnASilentServerWhenTold)
{
  SocketPair pair;
  TrajectoryROSInterface iface(kStateServerPort);
  int asked = 0;
  TrajectoryRecord r;
  EXPECT_EQ(TrajectoryROSInterface::STOPPED, iface.readOnce(pair.reader, r, [&]() { return ++asked < 3; }));
  EXPECT_EQ(3, asked);
}

TEST(SocketFailures, AreReportedWithTheirPerrorLine)
{
  TrajectoryROSInterface iface(kStateServerPort);
  const int directory = open("/", O_RDONLY | O_DIRECTORY);
  ASSERT_GE(directory, 0);
  TrajectoryRecord r;
  EXPECT_EQ(TrajectoryROSInterface::FAILED, iface.readOnce(directory, r, Deadline(kPatience)));
  EXPECT_EQ("ERROR reading from socket: Is a directory", iface.failure());
  close(directory);

  // A port that was free a moment ago: nothing listens there.
  uint16_t port;
  {
    test_support::LoopbackServer probe(0);
    ASSERT_TRUE(probe.listening());
    port = probe.port();
  }
  TrajectoryROSInterface nobody(port);
  EXPECT_EQ(-1, nobody.setupSubscriber());
  EXPECT_EQ("ERROR connecting: Connection refused", nobody.failure());
}

TEST(SetupSubscriber, UsesTheLowSixteenBitsOfThePort)
{
  test_support::LoopbackServer server(0);
  ASSERT_TRUE(server.listening());
  TrajectoryROSInterface iface(0x10000 + server.port());
  const int fd = iface.setupSubscriber();
  EXPECT_TRUE(server.acceptClient(kPatience));
  close(fd);
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
