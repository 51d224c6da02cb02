// The whole chain in a closed loop (closed_loop_*.test): the four flight programs fly the simulated aircraft through
// the stand-ins, and this test watches from outside what reached the world: the aircraft's truth, the verdicts, the
// latched status that guarded_flight echoes, every attitude request that the SDK node stand-in received, the
// commands that reached the state server and guarded_flight's log lines. Each .test file runs one scenario and picks
// its case with --gtest_filter.
#include <geometry_msgs/Vector3.h>
#include <gtest/gtest.h>
#include <ros/ros.h>
#include <rosgraph_msgs/Log.h>
#include <std_msgs/String.h>
#include <std_msgs/UInt8.h>
#include <zyr_simulation/AttitudeCommand.h>
#include <zyr_simulation/VehicleTruth.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "closed_loop_checks.h"

namespace
{
using zyr_simulation::AttitudeCommand;
using zyr_simulation::VehicleTruth;

double horizontalSpeed(const VehicleTruth& t)
{
  return std::hypot(t.vx, t.vy);
}

// Everything the test sees, in arrival order. Only the spin thread (waitFor) touches it.
struct World
{
  bool have_truth = false;
  VehicleTruth truth;
  bool ever_collided = false;
  bool ever_frozen = false;
  double min_ahead = 1e9, min_nearest = 1e9;
  double min_ahead_before_danger = 1e9;

  std::vector<std::uint8_t> verdicts;
  std::vector<double> verdict_times;
  bool have_first_danger = false;
  VehicleTruth truth_at_first_danger;

  std::vector<std::uint8_t> latch;
  std::vector<double> latch_times;
  std::vector<geometry_msgs::Vector3> debug;  // the monitor's (speed, stick length, collision distance) per query
  std::vector<AttitudeCommand> requests;
  std::vector<double> request_stamps;
  std::size_t requests_before_danger = 0;
  std::vector<std::string> server_commands;
  std::vector<double> gated_stamps;  // guarded_flight's "no remapping" lines, its own clock

  void onTruth(const VehicleTruth::ConstPtr& m)
  {
    truth = *m;
    have_truth = true;
    ever_collided = ever_collided || m->collided;
    ever_frozen = ever_frozen || m->pilot_frozen;
    if (m->distance_ahead >= 0.0)
    {
      min_ahead = std::min(min_ahead, m->distance_ahead);
      if (!have_first_danger)
        min_ahead_before_danger = std::min(min_ahead_before_danger, m->distance_ahead);
    }
    if (m->obstacle_distance >= 0.0)
      min_nearest = std::min(min_nearest, m->obstacle_distance);
  }
  void onVerdict(const std_msgs::UInt8::ConstPtr& m)
  {
    verdicts.push_back(m->data);
    verdict_times.push_back(ros::Time::now().toSec());
    if (m->data == 1 && !have_first_danger && have_truth)
    {
      have_first_danger = true;
      truth_at_first_danger = truth;
      requests_before_danger = requests.size();
    }
  }
  void onLatch(const std_msgs::UInt8::ConstPtr& m)
  {
    latch.push_back(m->data);
    latch_times.push_back(ros::Time::now().toSec());
  }
  void onDebug(const geometry_msgs::Vector3::ConstPtr& m)
  {
    debug.push_back(*m);
  }
  void onRequest(const AttitudeCommand::ConstPtr& m)
  {
    requests.push_back(*m);
    request_stamps.push_back(m->header.stamp.toSec());
  }
  void onServerCommand(const std_msgs::String::ConstPtr& m)
  {
    server_commands.push_back(m->data);
  }
  void onLog(const rosgraph_msgs::Log::ConstPtr& m)
  {
    if (m->name == "/guarded_flight" && m->msg == "collision_status == DANGER, no remapping")
      gated_stamps.push_back(m->header.stamp.toSec());
  }

  std::string describe() const
  {
    if (!have_truth)
      return "no truth from vehicle_sim yet";
    return "aircraft at x " + std::to_string(truth.x) + " y " + std::to_string(truth.y) + ", " +
           std::to_string(truth.distance_ahead) + " m ahead to the wall, speed " +
           std::to_string(horizontalSpeed(truth)) + " m/s, " + std::to_string(verdicts.size()) + " verdicts, " +
           std::to_string(requests.size()) + " attitude requests, pilot at " + std::to_string(truth.pilot_time) + " s";
  }
};

World world;
std::vector<ros::Subscriber> subscribers;

bool waitFor(const std::function<bool()>& condition, double timeout)
{
  const ros::WallTime end = ros::WallTime::now() + ros::WallDuration(timeout);
  while (ros::ok() && !condition() && ros::WallTime::now() < end)
  {
    ros::spinOnce();
    ros::WallDuration(0.005).sleep();
  }
  return condition();
}

// Spins for a while, taking in what is still on its way.
void settle(double seconds)
{
  waitFor([] { return false; }, seconds);
}

// Every subscription of the test has its publisher, and the pilot has not pushed a stick yet, so nothing that
// matters can have gone by unseen.
void waitForTheGraph(double pilot_push_at, bool avoidance)
{
  ASSERT_TRUE(waitFor(
      [avoidance]
      {
        for (std::size_t i = 0; i < subscribers.size(); ++i)
        {
          const bool needs_monitor = i == 1 || i == 2 || i == 3;  // verdicts, their echo, debug vector
          if ((avoidance || !needs_monitor) && subscribers[i].getNumPublishers() == 0)
            return false;
        }
        return world.have_truth;
      },
      60.0))
      << "the closed loop did not come up within 60 s; " << world.describe();
  ASSERT_LT(world.truth.pilot_time, pilot_push_at) << "the test came up too late to watch the flight";
}

int dangerEpisodes(const std::vector<std::uint8_t>& verdicts)
{
  int episodes = 0;
  std::uint8_t last = 0;
  for (std::uint8_t v : verdicts)
  {
    episodes += v == 1 && last != 1;
    last = v;
  }
  return episodes;
}

// state_bridge tells the state server "Pause" at the start of each run of danger verdicts and "Resume" at its end.
void expectOnePausePerDangerEpisode()
{
  const int episodes = dangerEpisodes(world.verdicts);
  const bool ends_in_danger = !world.verdicts.empty() && world.verdicts.back() == 1;
  int pauses = 0, resumes = 0;
  for (std::size_t i = 0; i < world.server_commands.size(); ++i)
  {
    // They alternate, starting with "Pause".
    EXPECT_EQ(i % 2 == 0 ? "Pause" : "Resume", world.server_commands[i]) << "command " << i;
    pauses += world.server_commands[i] == "Pause";
    resumes += world.server_commands[i] == "Resume";
  }
  EXPECT_EQ(episodes, pauses);
  EXPECT_EQ(episodes - (ends_in_danger ? 1 : 0), resumes);
}
}  // namespace

// The demo flight, cut short: full stick towards a wall 30 m ahead. The monitor raises danger far out, guarded_flight
// withholds every command from then on, the aircraft brakes to a hover and the frozen pilot keeps it there.
TEST(ClosedLoop, FlightTowardsTheWallStopsWellBeforeIt)
{
  waitForTheGraph(4.0, true);
  ASSERT_TRUE(waitFor([] { return world.have_first_danger || world.ever_collided; }, 60.0))
      << "no danger raised; " << world.describe();
  ASSERT_TRUE(world.have_first_danger) << "collided without a danger verdict; " << world.describe();
  EXPECT_GT(world.truth_at_first_danger.distance_ahead, 5.0);
  EXPECT_GT(world.min_ahead_before_danger, 5.0);
  EXPECT_GT(world.requests_before_danger, 0u) << "guarded_flight never flew the aircraft";

  // Comes to a stop, and stays stopped, with the danger latched.
  double still_since = -1.0;
  const bool stopped = waitFor(
      [&still_since]
      {
        const double now = ros::Time::now().toSec();
        if (horizontalSpeed(world.truth) > 0.05 || world.latch.empty() || world.latch.back() != 1)
          still_since = -1.0;
        else if (still_since < 0.0)
          still_since = now;
        return world.ever_collided || (still_since > 0.0 && now - still_since > 2.0);
      },
      60.0);
  settle(0.5);
  ASSERT_TRUE(stopped) << world.describe();
  EXPECT_FALSE(world.ever_collided) << world.describe();
  EXPECT_GT(world.min_ahead, 5.0);

  // Not one command while the danger was latched, though the pilot held the stick forward all along.
  EXPECT_GT(world.gated_stamps.size(), 20u) << "guarded_flight did not hold back the sticks";
  EXPECT_EQ(0, closed_loop::commandsDuringDanger(world.request_stamps, world.gated_stamps));
  expectOnePausePerDangerEpisode();
  // The last verdict is danger: the server is paused and the pilot frozen.
  EXPECT_EQ(1, world.verdicts.back());
  EXPECT_TRUE(world.truth.pilot_frozen);
}

// The same flight without the collision monitor: nothing stops the aircraft.
TEST(ClosedLoop, WithoutTheMonitorTheFlightEndsInTheWall)
{
  waitForTheGraph(4.0, false);
  ASSERT_TRUE(waitFor([] { return world.ever_collided; }, 60.0)) << world.describe();
  settle(0.5);
  EXPECT_TRUE(world.verdicts.empty());
  EXPECT_TRUE(world.server_commands.empty());
  EXPECT_TRUE(world.gated_stamps.empty());
  EXPECT_GT(world.requests.size(), 100u);
  EXPECT_LT(world.truth.distance_ahead, world.truth.radius + 0.05);
}

// Hovering 5 m beside a wall, the pilot pushes the roll stick towards it and holds it, then pushes it away. The
// pilot is not frozen by "Pause" here (a human pilot is not), or it could never push away.
TEST(ClosedLoop, StickTowardsAWallRaisesDangerAndPushingAwayClearsIt)
{
  waitForTheGraph(4.0, true);
  ASSERT_TRUE(waitFor([] { return world.have_first_danger; }, 60.0)) << "no danger raised; " << world.describe();
  // Raised by the stick branch: at rest, with the stick pushed towards the wall (+roll is to the right).
  EXPECT_GT(world.truth_at_first_danger.stick_roll, 0.0);
  ASSERT_TRUE(waitFor(
      []
      {
        return std::any_of(world.debug.begin(), world.debug.end(),
                           [](const geometry_msgs::Vector3& d) { return d.z > 0.0; });
      },
      5.0));
  const auto first =
      std::find_if(world.debug.begin(), world.debug.end(), [](const geometry_msgs::Vector3& d) { return d.z > 0.0; });
  EXPECT_LE(first->x, 0.25) << "speed at the first danger query: the velocity branch, not the stick branch";
  EXPECT_GT(first->y, 0.0) << "no stick vector at the first danger query";
  EXPECT_GT(first->z, 3.0);
  EXPECT_LT(first->z, 6.5);

  // Held until the pilot pushes the other way; then released only after the run of clear verdicts.
  ASSERT_TRUE(waitFor(
      []
      {
        for (std::size_t i = 1; i < world.latch.size(); ++i)
          if (world.latch[i - 1] == 1 && world.latch[i] == 0)
            return true;
        return world.ever_collided;
      },
      40.0))
      << "the danger was never released; " << world.describe();
  ASSERT_FALSE(world.ever_collided) << world.describe();
  EXPECT_LT(world.truth.stick_roll, 0.0) << "released while the stick still pointed at the wall";
  std::size_t release = 1;
  while (!(world.latch[release - 1] == 1 && world.latch[release] == 0))
    ++release;
  const double released_at = world.latch_times[release];
  std::size_t last_danger = 0;
  for (std::size_t i = 0; i < world.verdicts.size(); ++i)
    if (world.verdicts[i] == 1 && world.verdict_times[i] < released_at)
      last_danger = i;
  int clear_before_release = 0;
  for (std::size_t i = last_danger + 1; i < world.verdicts.size() && world.verdict_times[i] <= released_at; ++i)
    clear_before_release += world.verdicts[i] == 0;
  // Sixteen clear verdicts at 20 Hz; a few may still be on their way to this test when the release arrives.
  EXPECT_GE(clear_before_release, 12) << "released without the run of clear verdicts";
  EXPECT_GT(released_at - world.verdict_times[last_danger], 0.5);

  // Commands flow again, the aircraft moves away from the wall.
  const std::size_t requests_at_release = world.requests.size();
  ASSERT_TRUE(
      waitFor([requests_at_release]
              { return world.requests.size() > requests_at_release + 10 && world.truth.obstacle_distance > 6.0; },
              15.0))
      << world.describe();
  EXPECT_LT(world.requests.back().y, 0.0f) << "the last command does not roll away from the wall";
  settle(0.5);

  EXPECT_FALSE(world.ever_collided);
  EXPECT_FALSE(world.ever_frozen);
  EXPECT_GT(world.min_nearest, 3.5);
  EXPECT_GT(world.gated_stamps.size(), 20u);
  EXPECT_EQ(0, closed_loop::commandsDuringDanger(world.request_stamps, world.gated_stamps));
  expectOnePausePerDangerEpisode();
}

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  ros::init(argc, argv, "test_closed_loop");
  ros::NodeHandle nh;
  // Queues long enough that a slow moment of this test loses nothing.
  subscribers.push_back(nh.subscribe("sim/truth", 1000, &World::onTruth, &world));
  subscribers.push_back(nh.subscribe("collision_info_msg", 1000, &World::onVerdict, &world));
  subscribers.push_back(nh.subscribe("zyr_collision_avoidance/debug_guarded_flight", 1000, &World::onLatch, &world));
  subscribers.push_back(nh.subscribe("zyr_collision_avoidance/debug_collision_msg", 1000, &World::onDebug, &world));
  subscribers.push_back(nh.subscribe("sdk_standin/attitude_requests", 5000, &World::onRequest, &world));
  subscribers.push_back(nh.subscribe("state_server/command", 100, &World::onServerCommand, &world));
  subscribers.push_back(nh.subscribe("/rosout", 5000, &World::onLog, &world));
  const int result = RUN_ALL_TESTS();
  subscribers.clear();
  ros::shutdown();
  return result;
}
