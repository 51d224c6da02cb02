// The framed reader of the state server's stream, without a ROS master.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
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
