// The vehicle model and the pilot decide what the closed loop sees: a sign
// error in a frame makes the monitor look the wrong way, a model that keeps
// flying without commands hides the guard's effect, and a pilot script that
// does not freeze keeps pushing into the obstacle the system just stopped at.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "zyr_simulation/pilot_script.h"
#include "zyr_simulation/scene.h"
#include "zyr_simulation/vehicle_model.h"
#include "zyr_test_support/error_text.h"

using namespace zyr_simulation;
using Eigen::Vector3d;

namespace
{
const double kTau = 0.5;

VehicleParams level()
{
  VehicleParams p;
  p.velocity_lag = kTau;
  p.max_tilt_deg = 0.0;
  return p;
}

// Sends the same command every `period` seconds from `from` to `to` and advances the model along.
void fly(VehicleModel* m, std::uint8_t flag, double x, double y, double z, double yaw, double from, double to,
         double period = 0.05)
{
  for (double t = from; t < to - 1e-9; t += period)
  {
    m->advanceTo(t);
    ASSERT_TRUE(m->command(flag, x, y, z, yaw, t));
  }
  m->advanceTo(to);
}

PilotScript script(const std::string& text)
{
  std::istringstream in(text);
  return PilotScript::parse(in, "test.pilot");
}

std::string scriptError(const std::string& text)
{
  return test_support::errorText<std::runtime_error>([&] { script(text); });
}
}  // namespace

TEST(VehicleModel, VelocityFollowsTheCommandWithAFirstOrderLag)
{
  VehicleModel m(level(), Vector3d(0, 0, 3), 0.0, 100.0);
  fly(&m, kFlagHoldHeight, 3.0, 0.0, 3.0, 0.0, 100.0, 100.0 + kTau);
  EXPECT_NEAR(3.0 * (1.0 - std::exp(-1.0)), m.state().velocity.x(), 1e-9);
  fly(&m, kFlagHoldHeight, 3.0, 0.0, 3.0, 0.0, 100.0 + kTau, 103.0);
  const double t = 3.0;
  EXPECT_NEAR(3.0 * (1.0 - std::exp(-t / kTau)), m.state().velocity.x(), 1e-9);
  EXPECT_NEAR(3.0 * (t - kTau * (1.0 - std::exp(-t / kTau))), m.state().position.x(), 1e-9);
  EXPECT_NEAR(0.0, m.state().position.y(), 1e-12);
  EXPECT_NEAR(3.0, m.state().position.z(), 1e-12);
}

TEST(VehicleModel, BrakesToAHoverWhenNoCommandCameForMoreThanTheTimeout)
{
  VehicleModel m(level(), Vector3d(0, 0, 3), 0.0, 0.0);
  ASSERT_TRUE(m.command(kFlagHoldHeight, 2.0, 0.0, 3.0, 0.0, 0.0));
  m.advanceTo(0.3);
  EXPECT_TRUE(m.commandActive(0.3));
  EXPECT_FALSE(m.commandActive(0.301));
  const double v_at_timeout = 2.0 * (1.0 - std::exp(-0.3 / kTau));
  EXPECT_NEAR(v_at_timeout, m.state().velocity.x(), 1e-9);
  m.advanceTo(0.3 + kTau);
  EXPECT_NEAR(v_at_timeout * std::exp(-1.0), m.state().velocity.x(), 1e-9);
  m.advanceTo(10.0);
  EXPECT_LT(m.state().velocity.norm(), 1e-6);

  // A timeout that falls inside an integration step: braking still starts exactly at it.
  VehicleModel off_grid(level(), Vector3d(0, 0, 3), 0.0, 0.0);
  off_grid.advanceTo(0.004);
  ASSERT_TRUE(off_grid.command(kFlagHoldHeight, 2.0, 0.0, 3.0, 0.0, 0.004));
  off_grid.advanceTo(0.304 + kTau);
  EXPECT_NEAR(v_at_timeout * std::exp(-1.0), off_grid.state().velocity.x(), 1e-9);

  // A command every 0.25 s keeps it flying.
  VehicleModel kept(level(), Vector3d(0, 0, 3), 0.0, 0.0);
  fly(&kept, kFlagHoldHeight, 2.0, 0.0, 3.0, 0.0, 0.0, 5.0, 0.25);
  EXPECT_NEAR(2.0, kept.state().velocity.x(), 1e-3);
  EXPECT_TRUE(kept.commandActive(5.0));
}

TEST(VehicleModel, FlagSeventyFourClimbsAtARateAndNinetyHoldsAHeight)
{
  VehicleModel climb(level(), Vector3d(0, 0, 3), 0.0, 0.0);
  fly(&climb, kFlagClimbRate, 0.0, 0.0, 1.0, 0.0, 0.0, 5.0);
  EXPECT_NEAR(1.0 * (1.0 - std::exp(-5.0 / kTau)), climb.state().velocity.z(), 1e-9);
  EXPECT_NEAR(3.0 + 5.0 - kTau * (1.0 - std::exp(-5.0 / kTau)), climb.state().position.z(), 1e-9);
  fly(&climb, kFlagClimbRate, 0.0, 0.0, -2.0, 0.0, 5.0, 10.0);
  EXPECT_NEAR(-2.0, climb.state().velocity.z(), 1e-3);  // negative z descends

  // The same z with flag 90 is a height: it is reached and held, not flown through.
  VehicleModel hold(level(), Vector3d(0, 0, 3), 0.0, 0.0);
  fly(&hold, kFlagHoldHeight, 0.0, 0.0, 5.0, 0.0, 0.0, 20.0);
  EXPECT_NEAR(5.0, hold.state().position.z(), 0.01);
  EXPECT_NEAR(0.0, hold.state().velocity.z(), 0.01);
  fly(&hold, kFlagHoldHeight, 0.0, 0.0, 5.0, 0.0, 20.0, 60.0);
  EXPECT_NEAR(5.0, hold.state().position.z(), 1e-6);

  // Holding the current height, as the flight program asks with a centred throttle, keeps the height.
  VehicleModel steady(level(), Vector3d(0, 0, 3), 0.0, 0.0);
  fly(&steady, kFlagHoldHeight, 3.0, 0.0, 3.0, 0.0, 0.0, 10.0);
  EXPECT_NEAR(3.0, steady.state().position.z(), 1e-12);
}

TEST(VehicleModel, RefusesUnknownFlagsAndValuesThatAreNotNumbers)
{
  VehicleModel m(level(), Vector3d(0, 0, 3), 0.0, 0.0);
  EXPECT_FALSE(m.command(0x4B, 3.0, 0.0, 1.0, 0.0, 0.0));
  EXPECT_FALSE(m.command(0, 3.0, 0.0, 1.0, 0.0, 0.0));
  EXPECT_FALSE(m.command(kFlagClimbRate, NAN, 0.0, 1.0, 0.0, 0.0));
  EXPECT_FALSE(m.command(kFlagClimbRate, 1.0, 0.0, INFINITY, 0.0, 0.0));
  EXPECT_FALSE(m.commandActive(0.0));
  m.advanceTo(2.0);
  EXPECT_EQ(Vector3d(0, 0, 3), m.state().position);
  // Out-of-range speeds are clipped to what the aircraft can do.
  ASSERT_TRUE(m.command(kFlagClimbRate, 100.0, 0.0, -100.0, 0.0, 2.0));
  m.advanceTo(2.2);
  ASSERT_TRUE(m.command(kFlagClimbRate, 100.0, 0.0, -100.0, 0.0, 2.2));
  m.advanceTo(2.4);
  VehicleParams p = level();
  EXPECT_NEAR(p.max_speed * (1.0 - std::exp(-0.4 / kTau)), m.state().velocity.x(), 1e-9);
  EXPECT_NEAR(-p.max_climb_rate * (1.0 - std::exp(-0.4 / kTau)), m.state().velocity.z(), 1e-9);
}

// The collision monitor turns the sticks into the point (pitch, roll, -throttle) in "drone" and transforms it into
// "world"; the model's velocity and the tf it feeds must agree with that.
TEST(Frames, ForwardStickFliesAlongWorldXAndRightRollAlongWorldMinusY)
{
  VehicleModel m(level(), Vector3d(0, 0, 3), 0.0, 0.0);
  const Eigen::Matrix3d r = m.worldFromBody();
  EXPECT_TRUE((r * Vector3d(3, 0, 0)).isApprox(Vector3d(3, 0, 0)));   // pitch stick forward
  EXPECT_TRUE((r * Vector3d(0, 3, 0)).isApprox(Vector3d(0, -3, 0)));  // roll stick right
  EXPECT_TRUE((r * Vector3d(0, 0, -2)).isApprox(Vector3d(0, 0, 2)));  // throttle up
  // Reported in north-east-down: heading along world x, east, is a yaw of 90 degrees from north.
  const Eigen::Quaterniond q = m.attitude();
  EXPECT_NEAR(std::sqrt(0.5), q.w(), 1e-12);
  EXPECT_NEAR(std::sqrt(0.5), q.z(), 1e-12);

  VehicleModel fwd(level(), Vector3d(0, 0, 3), 0.0, 0.0);
  fly(&fwd, kFlagHoldHeight, 3.0, 0.0, 3.0, 0.0, 0.0, 3.0);
  EXPECT_GT(fwd.state().velocity.x(), 2.9);
  EXPECT_NEAR(0.0, fwd.state().velocity.y(), 1e-12);

  VehicleModel right(level(), Vector3d(0, 0, 3), 0.0, 0.0);
  fly(&right, kFlagHoldHeight, 0.0, 3.0, 3.0, 0.0, 0.0, 3.0);
  EXPECT_LT(right.state().velocity.y(), -2.9);
  EXPECT_NEAR(0.0, right.state().velocity.x(), 1e-12);
}

TEST(Frames, YawTurnsRightAndTurnsTheSticksAndTheBodyFrameWithIt)
{
  // Heading 90 deg to the right: forward is world -y, right is world -x.
  VehicleModel m(level(), Vector3d(0, 0, 3), 90.0, 0.0);
  EXPECT_TRUE((m.worldFromBody() * Vector3d::UnitX()).isApprox(Vector3d(0, -1, 0)));
  EXPECT_TRUE((m.worldFromBody() * Vector3d::UnitY()).isApprox(Vector3d(-1, 0, 0)));
  EXPECT_TRUE((m.worldFromBody() * Vector3d::UnitZ()).isApprox(Vector3d(0, 0, -1)));
  const Eigen::Quaterniond q = m.attitude();  // nose south: half a turn about down
  EXPECT_NEAR(0.0, q.w(), 1e-12);
  EXPECT_NEAR(1.0, std::abs(q.z()), 1e-12);
  fly(&m, kFlagHoldHeight, 3.0, 0.0, 3.0, 0.0, 0.0, 4.0);
  EXPECT_LT(m.state().velocity.y(), -2.9);
  EXPECT_NEAR(0.0, m.state().velocity.x(), 1e-9);

  VehicleModel r(level(), Vector3d(0, 0, 3), 90.0, 0.0);
  fly(&r, kFlagHoldHeight, 0.0, 3.0, 3.0, 0.0, 0.0, 4.0);
  EXPECT_LT(r.state().velocity.x(), -2.9);

  // A positive yaw-rate command turns right: 45 deg/s for 2 s, less what the lag takes.
  VehicleParams p = level();
  VehicleModel turn(p, Vector3d(0, 0, 3), 0.0, 0.0);
  fly(&turn, kFlagHoldHeight, 0.0, 0.0, 3.0, 45.0, 0.0, 2.0);
  const double expected_deg = 45.0 * (2.0 - p.yaw_lag * (1.0 - std::exp(-2.0 / p.yaw_lag)));
  EXPECT_NEAR(expected_deg * M_PI / 180.0, turn.state().yaw, 1e-9);
  EXPECT_LT((turn.worldFromBody() * Vector3d::UnitX()).y(), -0.9);  // nose towards world -y
}

TEST(Frames, TheAircraftLeansIntoItsAccelerationWithinTheTiltLimit)
{
  VehicleParams p;
  p.max_tilt_deg = 20.0;
  VehicleModel m(p, Vector3d(0, 0, 3), 0.0, 0.0);
  fly(&m, kFlagHoldHeight, 3.0, 0.0, 3.0, 0.0, 0.0, 0.2);
  EXPECT_LT(m.state().pitch, 0.0);  // nose down to speed up
  EXPECT_GE(m.state().pitch, -20.0 * M_PI / 180.0 - 1e-12);
  EXPECT_LT((m.worldFromBody() * Vector3d::UnitX()).z(), 0.0);
  EXPECT_NEAR(0.0, m.state().roll, 1e-12);
  fly(&m, kFlagHoldHeight, 3.0, 0.0, 3.0, 0.0, 0.2, 6.0);
  EXPECT_NEAR(0.0, m.state().pitch, 1e-3);  // level at constant speed
  m.advanceTo(6.5);                         // commands stopped: braking
  EXPECT_GT(m.state().pitch, 0.0);
  // The quaternion and the rotation describe the same attitude.
  const Eigen::Matrix3d enu_from_ned = (Eigen::Matrix3d() << 0, 1, 0, 1, 0, 0, 0, 0, -1).finished();
  const Eigen::Matrix3d from_q = enu_from_ned * m.attitude().toRotationMatrix();
  EXPECT_TRUE(from_q.isApprox(m.worldFromBody(), 1e-12));

  VehicleModel side(p, Vector3d(0, 0, 3), 0.0, 0.0);
  fly(&side, kFlagHoldHeight, 0.0, 3.0, 3.0, 0.0, 0.0, 0.2);
  EXPECT_GT(side.state().roll, 0.0);  // right side down to go right
}

TEST(VehicleModel, AStartSpeedPutsItInFlightAlongItsHeadingAndCommandsTakeOverFromThere)
{
  VehicleModel m(level(), Vector3d(0, 0, 3), 90.0, 0.0);  // heading right: world -y
  m.setForwardSpeed(2.0);
  EXPECT_NEAR(0.0, m.state().velocity.x(), 1e-12);
  EXPECT_NEAR(-2.0, m.state().velocity.y(), 1e-12);
  fly(&m, kFlagHoldHeight, 2.0, 0.0, 3.0, 0.0, 0.0, 1.0);
  EXPECT_NEAR(-2.0, m.state().velocity.y(), 1e-9);  // the same speed commanded: no transient
  EXPECT_NEAR(-2.0, m.state().position.y(), 1e-9);

  VehicleModel uncommanded(level(), Vector3d(0, 0, 3), 0.0, 0.0);
  uncommanded.setForwardSpeed(3.0);
  uncommanded.advanceTo(kTau);
  EXPECT_NEAR(3.0 * std::exp(-1.0), uncommanded.state().velocity.x(), 1e-9);  // brakes like any aircraft
}

TEST(VehicleModel, ACrashStopsTheAircraftForGood)
{
  VehicleModel m(level(), Vector3d(0, 0, 3), 0.0, 0.0);
  fly(&m, kFlagHoldHeight, 3.0, 0.0, 3.0, 0.0, 0.0, 2.0);
  m.crash();
  const Vector3d where = m.state().position;
  EXPECT_TRUE(m.command(kFlagHoldHeight, 3.0, 0.0, 3.0, 0.0, 2.0));
  m.advanceTo(5.0);
  EXPECT_TRUE(m.crashed());
  EXPECT_EQ(where, m.state().position);
  EXPECT_EQ(Vector3d::Zero(), m.state().velocity);
  EXPECT_FALSE(m.commandActive(2.0));
}

TEST(PilotScript, HoldsStepsRampsBetweenKeysAndCentresAtTheEnd)
{
  const PilotScript s = script(
      "# t roll pitch yaw throttle\n"
      "1  100 200 300 400\n"
      "3  0 10000 0 -400 ramp\n"
      "5  -10000 0 0 0\n"
      "end 8\n");
  EXPECT_EQ(0.0, s.sticksAt(0.5).pitch);  // centred before the first line
  EXPECT_EQ(200.0, s.sticksAt(1.0).pitch);
  EXPECT_EQ(400.0, s.sticksAt(1.0).throttle);
  const Sticks mid = s.sticksAt(2.0);
  EXPECT_DOUBLE_EQ(50.0, mid.roll);
  EXPECT_DOUBLE_EQ(5100.0, mid.pitch);
  EXPECT_DOUBLE_EQ(0.0, mid.throttle);
  EXPECT_EQ(10000.0, s.sticksAt(4.99).pitch);  // held until the next step
  EXPECT_EQ(-10000.0, s.sticksAt(5.0).roll);
  EXPECT_EQ(-10000.0, s.sticksAt(7.99).roll);
  EXPECT_EQ(0.0, s.sticksAt(8.0).roll);
  EXPECT_EQ(8.0, s.endTime());

  const PilotScript no_end = script("0 0 5000 0 0\n");
  EXPECT_EQ(5000.0, no_end.sticksAt(100.0).pitch);
  EXPECT_EQ(0.0, no_end.endTime());
  EXPECT_EQ(0.0, PilotScript().sticksAt(3.0).pitch);
}

TEST(PilotScript, RejectsBadLinesNamingTheLine)
{
  EXPECT_EQ("test.pilot:2: stick value '10001' outside -10000..+10000", scriptError("0 0 0 0 0\n1 0 10001 0 0\n"));
  EXPECT_EQ("test.pilot:2: time goes back", scriptError("2 0 0 0 0\n1 0 0 0 0\n"));
  EXPECT_NE(std::string::npos, scriptError("0 0 0 0\n").find("test.pilot:1: expected"));
  EXPECT_NE(std::string::npos, scriptError("0 0 0 0 0 slowly\n").find("test.pilot:1: expected"));
  EXPECT_NE(std::string::npos, scriptError("0 0 0 zero 0\n").find("'zero' is not a finite number"));
  EXPECT_NE(std::string::npos, scriptError("-1 0 0 0 0\n").find("must not be negative"));
  EXPECT_NE(std::string::npos, scriptError("end 5\n6 0 0 0 0\n").find("test.pilot:2: nothing may follow"));
  EXPECT_NE(std::string::npos, scriptError("6 0 0 0 0\nend 5\n").find("before the previous line"));
  EXPECT_THROW(PilotScript::load("/nonexistent/pilot.txt"), std::runtime_error);
}

TEST(Pilot, FreezingStopsTheScriptClockAndResumingGoesOnFromThere)
{
  const PilotScript s = script("0 0 0 0 0\n2 0 10000 0 0\n4 0 -10000 0 0\nend 6\n");
  for (Pilot::FrozenSticks mode : {Pilot::FrozenSticks::Hold, Pilot::FrozenSticks::Centre})
  {
    Pilot pilot(s, mode);
    pilot.advance(2.5);
    EXPECT_EQ(10000.0, pilot.sticks().pitch);
    pilot.setFrozen(true);
    pilot.advance(10.0);
    EXPECT_DOUBLE_EQ(2.5, pilot.scriptTime());
    EXPECT_FALSE(pilot.finished());
    EXPECT_EQ(mode == Pilot::FrozenSticks::Hold ? 10000.0 : 0.0, pilot.sticks().pitch);
    pilot.setFrozen(false);
    EXPECT_EQ(10000.0, pilot.sticks().pitch);
    pilot.advance(1.0);
    EXPECT_DOUBLE_EQ(3.5, pilot.scriptTime());
    pilot.advance(1.0);
    EXPECT_EQ(-10000.0, pilot.sticks().pitch);
    pilot.advance(2.0);
    EXPECT_TRUE(pilot.finished());
    EXPECT_EQ(0.0, pilot.sticks().pitch);
  }
}

// The demo scenario without any guard: sticks scaled as the flight program does (full stick = 3 m/s, centred
// throttle = hold the current height) go straight to the model. It must reach the wall and touch it.
TEST(ShippedScenario, UnguardedDemoFlightHitsTheWallAtAboutThreeMetresPerSecond)
{
  const Scene scene = loadScene(ZYR_SIM_CONFIG_DIR "/demo_scene.txt");
  Pilot pilot(PilotScript::load(ZYR_SIM_CONFIG_DIR "/demo_pilot.txt"));
  VehicleModel m(VehicleParams(), scene.start().position, scene.start().yaw_deg, 0.0);
  const double dt = 0.02, radius = 0.5;
  double t = 0.0;
  bool collided = false;
  while (t < 40.0 && !collided)
  {
    t += dt;
    pilot.advance(dt);
    const Sticks s = pilot.sticks();
    ASSERT_TRUE(m.command(kFlagHoldHeight, s.pitch / 3333.3333f, s.roll / 3333.3333f, m.state().position.z(),
                          s.yaw / 222.22223f, t));
    m.advanceTo(t);
    collided = scene.touches(m.state().position, radius);
  }
  ASSERT_TRUE(collided);
  EXPECT_NEAR(49.8 - radius, m.state().position.x(), 0.1);
  EXPECT_NEAR(3.0, m.state().velocity.norm(), 0.05);
  EXPECT_GT(t, 15.0);
  EXPECT_LT(t, 25.0);
  EXPECT_NEAR(3.0, m.state().position.z(), 0.01);
}

TEST(ShippedScenario, HoverPilotPushesTowardsTheWallOnTheRightThenAway)
{
  Pilot pilot(PilotScript::load(ZYR_SIM_CONFIG_DIR "/hover_pilot.txt"));
  const Scene scene = loadScene(ZYR_SIM_CONFIG_DIR "/hover_scene.txt");
  VehicleModel m(VehicleParams(), scene.start().position, scene.start().yaw_deg, 0.0);
  pilot.advance(3.0);
  EXPECT_EQ(0.0, pilot.sticks().roll);
  pilot.advance(4.0);  // 7 s
  const Vector3d towards = m.worldFromBody() * Vector3d(0, pilot.sticks().roll / 3333.3333, 0);
  pilot.advance(6.0);  // 13 s
  const Vector3d away = m.worldFromBody() * Vector3d(0, pilot.sticks().roll / 3333.3333, 0);
  RayHit hit;
  ASSERT_TRUE(scene.intersect(scene.start().position, towards.normalized(), 20.0, &hit));
  EXPECT_LT(hit.distance, 10.0);
  EXPECT_FALSE(scene.intersect(scene.start().position, away.normalized(), 50.0, &hit));
}
