// The rules of guarded manual flight without a ROS master: stick scaling, the
// throttle dead band, the GPS gate, the log thinning, the DANGER latch and the
// gates a stick message passes, stale verdicts included.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "zyr_collision_avoidance/guarded_flight_logic.h"

using namespace guarded_flight_logic;

TEST(StickRemapping, DeadBandIsDecidedOnRawThrottleTruncatedTowardsZero)
{
  const float height = 12.5f;

  AttitudeCommand c = remapSticks(0, 0, 0, 249.9f, height);
  EXPECT_EQ(kFlagHoldHeight, c.flag);
  EXPECT_EQ(height, c.z);

  c = remapSticks(0, 0, 0, 250.0f, height);
  EXPECT_EQ(kFlagVerticalSpeed, c.flag);
  EXPECT_EQ(0.05f, c.z);

  c = remapSticks(0, 0, 0, -249.9f, height);
  EXPECT_EQ(kFlagHoldHeight, c.flag);
  EXPECT_EQ(height, c.z);

  c = remapSticks(0, 0, 0, -250.0f, height);
  EXPECT_EQ(kFlagVerticalSpeed, c.flag);
  EXPECT_EQ(-0.05f, c.z);

  // Centred throttle holds whatever height is passed in, not a scaled value.
  c = remapSticks(0, 0, 0, 0.0f, -3.75f);
  EXPECT_EQ(kFlagHoldHeight, c.flag);
  EXPECT_EQ(-3.75f, c.z);
}

TEST(StickRemapping, FullDeflectionGivesExactLimits)
{
  AttitudeCommand c = remapSticks(10000.0f, -10000.0f, -10000.0f, 10000.0f, 0.0f);
  EXPECT_EQ(3.0f, c.roll);
  EXPECT_EQ(-3.0f, c.pitch);
  EXPECT_EQ(-45.0f, c.yaw);
  EXPECT_EQ(kFlagVerticalSpeed, c.flag);
  EXPECT_EQ(2.0f, c.z);

  c = remapSticks(-10000.0f, 10000.0f, 10000.0f, -10000.0f, 0.0f);
  EXPECT_EQ(-3.0f, c.roll);
  EXPECT_EQ(3.0f, c.pitch);
  EXPECT_EQ(45.0f, c.yaw);
  EXPECT_EQ(-2.0f, c.z);
}

TEST(StickRemapping, DivisorsAreTheNearestFloatsToTheExactRatios)
{
  EXPECT_EQ(static_cast<float>(10000.0 / 3.0), kRollPitchDivisor);
  EXPECT_EQ(static_cast<float>(10000.0 / 45.0), kYawDivisor);
  // Pitch and roll are not swapped, and each uses its own channel.
  const AttitudeCommand c = remapSticks(1000.0f, -2000.0f, 500.0f, 0.0f, 0.0f);
  EXPECT_EQ(1000.0f / 3333.3333f, c.roll);
  EXPECT_EQ(-2000.0f / 3333.3333f, c.pitch);
  EXPECT_EQ(500.0f / 222.22223f, c.yaw);
}

TEST(StickRemapping, ThrottleBeyondAnyIntegerIsOutsideTheBand)
{
  // A truncating cast to int would be undefined here.
  AttitudeCommand c = remapSticks(0, 0, 0, 3.0e9f, 0.0f);
  EXPECT_EQ(kFlagVerticalSpeed, c.flag);
  EXPECT_EQ(3.0e9f / 5000.0f, c.z);
  c = remapSticks(0, 0, 0, -std::numeric_limits<float>::infinity(), 0.0f);
  EXPECT_EQ(kFlagVerticalSpeed, c.flag);
}

TEST(StickRemapping, NoCommandFromGarbageSticksOrAHeightThatIsNotFinite)
{
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  EXPECT_TRUE(commandInputsUsable(10000, -10000, 10000, -10000, 5));
  EXPECT_TRUE(commandInputsUsable(0, 0, 0, 0, -3));
  for (float bad : {nan, inf, -inf, 1e6f, -10001.0f})
    for (int channel = 0; channel < 4; ++channel)
    {
      float sticks[4] = {0, 0, 0, 0};
      sticks[channel] = bad;
      EXPECT_FALSE(commandInputsUsable(sticks[0], sticks[1], sticks[2], sticks[3], 5))
          << "channel " << channel << ": " << bad;
    }
  // The height counts only when a centred throttle would hold it.
  for (float height : {nan, inf})
  {
    EXPECT_FALSE(commandInputsUsable(0, 0, 0, 249.9f, height));
    EXPECT_TRUE(commandInputsUsable(0, 0, 0, 250.0f, height));
  }
}

TEST(GpsGate, HealthIsSignedAndMustExceedTwo)
{
  EXPECT_FALSE(gpsHealthOk(2));
  EXPECT_TRUE(gpsHealthOk(3));
  EXPECT_TRUE(gpsHealthOk(127));
  EXPECT_FALSE(gpsHealthOk(0));
  // 0xFF and 0x80 on the wire are -1 and -128, not 255 and 128.
  EXPECT_FALSE(gpsHealthOk(static_cast<int8_t>(0xFF)));
  EXPECT_FALSE(gpsHealthOk(static_cast<int8_t>(0x80)));
}

TEST(CommandLogThinning, DueOnEveryFiftiethMessageCountedFromStart)
{
  int32_t counter = 0;
  std::vector<int> due;
  for (int message = 1; message <= 150; ++message)
  {
    if (countStickMessage(counter))
    {
      due.push_back(message);
    }
    ASSERT_GE(counter, 0);
    ASSERT_LT(counter, 50);
  }
  EXPECT_EQ((std::vector<int>{50, 100, 150}), due);
}

namespace
{
// Feeds the latch one message at a time and records the status it holds
// after each, as the debug topic would echo it.
struct Latch
{
  uint8_t status = kStatusClear;
  int32_t checker = 0;
  std::vector<int> echoed;

  void feed(uint8_t data, float speed, int times = 1)
  {
    for (int i = 0; i < times; ++i)
    {
      updateCollisionStatus(data, speed, status, checker);
      echoed.push_back(status);
    }
  }
};
}  // namespace

TEST(DangerLatch, OneThenSixteenSlowClearsReleasesAtTheSeventeenthMessage)
{
  Latch latch;
  latch.feed(1, 0.1f);
  latch.feed(0, 0.1f, 16);
  std::vector<int> expected(16, 1);
  expected.push_back(0);
  EXPECT_EQ(expected, latch.echoed);
}

TEST(DangerLatch, ClearsAtSpeedOrAtExactlyTheThresholdNeverCount)
{
  Latch fast;
  fast.feed(1, 0.0f);
  fast.feed(0, 0.3f, 40);
  EXPECT_EQ(kStatusDanger, fast.status);
  EXPECT_EQ(0, fast.checker);

  Latch threshold;
  threshold.feed(1, 0.0f);
  threshold.feed(0, 0.25f, 40);
  EXPECT_EQ(kStatusDanger, threshold.status);
  EXPECT_EQ(0, threshold.checker);
}

TEST(DangerLatch, FastClearsNeitherCountNorResetAndReleaseMayComeAtSpeed)
{
  Latch latch;
  latch.feed(1, 0.0f);
  latch.feed(0, 0.1f, 10);
  latch.feed(0, 5.0f, 7);
  EXPECT_EQ(10, latch.checker);
  latch.feed(0, 0.1f, 5);
  EXPECT_EQ(15, latch.checker);
  EXPECT_EQ(kStatusDanger, latch.status);
  // The releasing clear message itself may come at any speed.
  latch.feed(0, 5.0f);
  EXPECT_EQ(kStatusClear, latch.status);
}

TEST(DangerLatch, OtherValuesChangeNothingInEitherState)
{
  Latch latch;
  latch.feed(2, 0.0f);
  latch.feed(255, 0.0f);
  EXPECT_EQ(kStatusClear, latch.status);
  EXPECT_EQ(0, latch.checker);

  latch.feed(1, 0.0f);
  latch.feed(0, 0.0f, 7);
  latch.feed(2, 0.0f);
  EXPECT_EQ(kStatusDanger, latch.status);
  EXPECT_EQ(7, latch.checker);
  EXPECT_EQ((std::vector<int>{0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1}), latch.echoed);
}

TEST(DangerLatch, AOneRestartsTheCountAndTheCountOutlivesTheRelease)
{
  Latch latch;
  latch.feed(1, 0.0f);
  latch.feed(0, 0.0f, 14);
  latch.feed(1, 0.0f);
  EXPECT_EQ(0, latch.checker);
  latch.feed(0, 0.0f, 15);
  EXPECT_EQ(kStatusDanger, latch.status);
  latch.feed(0, 0.0f);
  EXPECT_EQ(kStatusClear, latch.status);
  // Clear messages at clear state neither count further nor change anything.
  latch.feed(0, 3.0f, 5);
  EXPECT_EQ(kStatusClear, latch.status);
  EXPECT_EQ(15, latch.checker);
  // The next 1 latches at once.
  latch.feed(1, 0.0f);
  EXPECT_EQ(kStatusDanger, latch.status);
  EXPECT_EQ(0, latch.checker);
}

TEST(DangerLatch, ClearBeforeAnyDangerCountsNothing)
{
  Latch latch;
  latch.feed(0, 0.0f, 30);
  EXPECT_EQ(kStatusClear, latch.status);
  EXPECT_EQ(0, latch.checker);
}

namespace
{
VerdictAge age(double seconds)
{
  VerdictAge verdict;
  verdict.seen = true;
  verdict.seconds = seconds;
  return verdict;
}
const VerdictAge kNoVerdictYet;
}  // namespace

TEST(StickGates, GpsThenDangerOrAStaleVerdictThenUsableSticksThenCommand)
{
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case
  {
    const char* what;
    bool gps;
    uint8_t status;
    VerdictAge verdict;
    float pitch;
    float height;
    StickOutcome outcome;
    bool latch;
  };
  const Case cases[] = {
      {"all clear", true, kStatusClear, age(0.1), 0, 5, StickOutcome::kCommand, false},
      {"no verdict yet: as before verdicts existed", true, kStatusClear, kNoVerdictYet, 0, 5, StickOutcome::kCommand,
       false},
      {"verdict exactly at the bound", true, kStatusClear, age(kVerdictMaxAgeSeconds), 0, 5, StickOutcome::kCommand,
       false},
      {"verdict just past the bound", true, kStatusClear, age(0.5001), 0, 5, StickOutcome::kDanger, true},
      {"clock ran backwards", true, kStatusClear, age(-0.01), 0, 5, StickOutcome::kDanger, true},
      {"age not measured", true, kStatusClear, age(nan), 0, 5, StickOutcome::kDanger, true},
      {"poor GPS first", false, kStatusDanger, age(0.1), nan, 5, StickOutcome::kPoorGps, false},
      {"poor GPS still latches a stale verdict", false, kStatusClear, age(3.0), 0, 5, StickOutcome::kPoorGps, true},
      {"danger before garbage sticks", true, kStatusDanger, age(0.1), nan, 5, StickOutcome::kDanger, false},
      {"stale verdict before garbage sticks", true, kStatusClear, age(1.0), nan, 5, StickOutcome::kDanger, true},
      {"garbage sticks", true, kStatusClear, age(0.1), nan, 5, StickOutcome::kUnusableSticks, false},
      {"no height to hold", true, kStatusClear, kNoVerdictYet, 0, nan, StickOutcome::kUnusableSticks, false},
  };
  for (const Case& c : cases)
  {
    const StickGate gate = gateStick(c.gps, c.status, c.verdict, 0, c.pitch, 0, 0, c.height);
    EXPECT_EQ(c.outcome, gate.outcome) << c.what;
    EXPECT_EQ(c.latch, gate.latchDanger) << c.what;
  }
}

TEST(StickGates, AStaleVerdictLatchesDangerThatOnlyTheUsualReleaseLifts)
{
  // As the node applies it: a stale verdict latches as a 1 does, so a count
  // that had outlived an earlier release starts again.
  Latch latch;
  latch.feed(1, 0.0f);
  latch.feed(0, 0.0f, 16);
  ASSERT_EQ(kStatusClear, latch.status);
  ASSERT_TRUE(gateStick(true, latch.status, age(0.8), 0, 0, 0, 0, 5).latchDanger);
  latch.feed(kStatusDanger, 0.0f);

  // Fresh clear verdicts again: fifteen slow ones, then one more releases.
  latch.feed(0, 0.1f, 15);
  EXPECT_EQ(StickOutcome::kDanger, gateStick(true, latch.status, age(0.01), 0, 0, 0, 0, 5).outcome);
  latch.feed(0, 0.1f);
  EXPECT_EQ(StickOutcome::kCommand, gateStick(true, latch.status, age(0.01), 0, 0, 0, 0, 5).outcome);
}

TEST(DataAge, ThrottleLetsOneLineASecondThroughAndAClockStepBackNeverSilencesIt)
{
  data_age::Throttle throttle(1.0);
  std::vector<double> let;
  for (double now : {100.0, 100.5, 100.99, 101.0, 101.5, 50.0, 50.2, 51.3})
    if (throttle.due(now))
      let.push_back(now);
  EXPECT_EQ((std::vector<double>{100.0, 101.0, 50.0, 51.3}), let);
}
