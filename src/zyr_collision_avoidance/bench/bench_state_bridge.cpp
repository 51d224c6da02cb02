// Measures state_bridge against a state server sending at 100 Hz, in several
// runs, each with a bridge of its own (so each meets the server at another
// phase): the time from a record's send to the arrival of its velocity
// message and the bridge's CPU share. After the last run, with the same
// bridge: how far behind the server it is after a stall of half a second,
// and behind a server slightly faster than its 100 publications a second.
// Every record carries its sequence number in vx.
#include <ros/ros.h>
#include <zyr_sdk/Velocity.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "zyr_collision_avoidance/trajectory_record.h"
#include "zyr_test_support/child_process.h"
#include "zyr_test_support/loopback_server.h"
#include "zyr_test_support/wire_record.h"

namespace
{
typedef std::chrono::steady_clock Clock;
const double kRateHz = 100.0;
const int kWarmupRecords = 100;  // the first second: connections settle, caches warm
const double kP50TargetMs = 0.5;
const double kP99TargetMs = 2.0;
const double kCpuTargetPercent = 3.0;

// utime + stime of a process, in seconds.
double cpuSeconds(pid_t pid)
{
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // Fields after the parenthesised command name; utime and stime are fields 14 and 15.
  std::istringstream rest(text.substr(text.rfind(')') + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i)
  {
    if (i == 14)
      utime = std::stoull(field);
    if (i == 15)
      stime = std::stoull(field);
  }
  return double(utime + stime) / sysconf(_SC_CLK_TCK);
}

double percentile(std::vector<double> values, double p)
{
  std::sort(values.begin(), values.end());
  const std::size_t index = std::min(values.size() - 1, static_cast<std::size_t>(p * (values.size() - 1) + 0.5));
  return values[index];
}

const char* verdict(bool met)
{
  return met ? "met" : "MISSED";
}

struct Arrival
{
  Clock::time_point at;
  uint32_t sequence;
};

// What one bridge received and relayed; reset for every run.
std::mutex mutex;
std::vector<Clock::time_point> sent_at;  // indexed by sequence number
uint32_t steady_records = 0;             // the latency is taken over these
std::vector<double> latencies_ms;
std::vector<Arrival> arrivals;

void onVelocity(const zyr_sdk::Velocity& m)
{
  const Clock::time_point now = Clock::now();
  const uint32_t sequence = static_cast<uint32_t>(m.vx);
  std::lock_guard<std::mutex> lock(mutex);
  arrivals.push_back(Arrival{now, sequence});
  if (sequence >= kWarmupRecords && sequence < steady_records && sequence < sent_at.size())
    latencies_ms.push_back(std::chrono::duration<double, std::milli>(now - sent_at[sequence]).count());
}

// When the next record is due. The server keeps its cadence from one call of
// sendRecords to the next, as a real one would: a new schedule at each call
// would send two records at once there.
Clock::time_point next_send;

// Sends the next `count` records at `hz`, numbered on from the last one sent.
bool sendRecords(test_support::LoopbackServer& server, uint32_t count, double hz)
{
  const Clock::duration period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1 / hz));
  for (uint32_t i = 0; i < count; ++i)
  {
    std::this_thread::sleep_until(next_send);
    next_send += period;
    uint32_t sequence;
    {
      std::lock_guard<std::mutex> lock(mutex);
      sequence = static_cast<uint32_t>(sent_at.size());
      sent_at.push_back(Clock::now());
    }
    if (!server.send(test_support::WireRecord(sequence).bytes()))
    {
      std::perror("bench: send");
      return false;
    }
  }
  return true;
}

// How many records the first velocity message that arrived at or after `t`
// was behind the newest record sent before it arrived; -1 if none arrived.
long lagAt(Clock::time_point t)
{
  for (const Arrival& a : arrivals)
  {
    if (a.at < t)
      continue;
    const long newest = std::upper_bound(sent_at.begin(), sent_at.end(), a.at) - sent_at.begin() - 1;
    return newest - static_cast<long>(a.sequence);
  }
  return -1;
}

// Starts a bridge and waits until it is connected to the server and to the
// velocity subscriber.
bool startBridge(test_support::ChildProcess& bridge, const std::string& path, test_support::LoopbackServer& server,
                 const ros::Subscriber& sub)
{
  if (!test_support::waitFor([&] { return sub.getNumPublishers() == 0; }, 10.0) || !bridge.start(path, {}) ||
      !server.acceptClient(20.0) || !test_support::waitFor([&] { return sub.getNumPublishers() > 0; }, 10.0))
  {
    std::fprintf(stderr, "bench: state_bridge did not connect\n");
    return false;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  return true;
}

// One run at 100 Hz with a fresh bridge, printed; `met` tells whether every
// target was met. False when the run could not be measured. The bridge is
// left running for what follows the last run.
bool measureRun(int run, test_support::ChildProcess& bridge, const std::string& path,
                test_support::LoopbackServer& server, const ros::Subscriber& sub, double seconds, bool& met)
{
  met = false;
  {
    std::lock_guard<std::mutex> lock(mutex);
    sent_at.clear();
    arrivals.clear();
    latencies_ms.clear();
    steady_records = kWarmupRecords + static_cast<uint32_t>(seconds * kRateHz);
    sent_at.reserve(steady_records + 2000);
  }
  double load = 0.0;
  if (getloadavg(&load, 1) != 1)
    load = -1.0;
  if (!startBridge(bridge, path, server, sub))
    return false;
  next_send = Clock::now();
  if (!sendRecords(server, kWarmupRecords, kRateHz))
    return false;
  const double cpu_start = cpuSeconds(bridge.pid());
  const Clock::time_point wall_start = Clock::now();
  if (!sendRecords(server, steady_records - kWarmupRecords, kRateHz))
    return false;
  const double cpu_percent =
      100.0 * (cpuSeconds(bridge.pid()) - cpu_start) / std::chrono::duration<double>(Clock::now() - wall_start).count();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the last messages on their way

  std::lock_guard<std::mutex> lock(mutex);
  if (latencies_ms.empty())
  {
    std::fprintf(stderr, "bench: no velocity message arrived\n");
    return false;
  }
  const double p50 = percentile(latencies_ms, 0.50);
  const double p99 = percentile(latencies_ms, 0.99);
  std::printf(
      "  run %d (load %.1f): p50 %.3f ms (<= %.1f: %s), p99 %.3f ms (<= %.0f: %s), max %.3f ms, %zu of %u relayed;"
      " CPU %.2f %% of one core (<= %.0f %%: %s)\n",
      run, load, p50, kP50TargetMs, verdict(p50 <= kP50TargetMs), p99, kP99TargetMs, verdict(p99 <= kP99TargetMs),
      percentile(latencies_ms, 1.0), latencies_ms.size(), steady_records - kWarmupRecords, cpu_percent,
      kCpuTargetPercent, verdict(cpu_percent <= kCpuTargetPercent));
  std::fflush(stdout);
  met = p50 <= kP50TargetMs && p99 <= kP99TargetMs && cpu_percent <= kCpuTargetPercent;
  return true;
}
}  // namespace

int main(int argc, char** argv)
{
  if (argc < 2)
  {
    std::fprintf(stderr, "usage: %s <state_bridge executable> [seconds per run] [runs]\n", argv[0]);
    return 2;
  }
  const std::string bridge_path = argv[1];
  const double seconds = argc > 2 ? std::atof(argv[2]) : 10.0;
  const int runs = argc > 3 ? std::atoi(argv[3]) : 5;

  ros::init(argc, argv, "bench_state_bridge", ros::init_options::NoSigintHandler);
  test_support::waitFor(ros::master::check, 10.0, 0.1);
  ros::NodeHandle nh;
  ros::Subscriber sub = nh.subscribe("/zyr_sdk/velocity", 1000, onVelocity);
  ros::AsyncSpinner spinner(1);
  spinner.start();

  test_support::LoopbackServer server(kStateServerPort);
  if (!server.listening())
  {
    std::fprintf(stderr, "bench: cannot listen on the state server's port %d\n", kStateServerPort);
    return 1;
  }
  std::printf(
      "state_bridge, server at %.0f Hz, %d runs of %.0f s, each with a bridge of its own: latency record sent ->"
      " /zyr_sdk/velocity received, CPU of state_bridge (load: the machine's 1-minute load average)\n",
      kRateHz, runs, seconds);
  int met = 0;
  test_support::ChildProcess bridge;
  for (int run = 1; run <= runs; ++run)
  {
    if (run > 1)
      bridge.stop(10.0);
    bool run_met = false;
    if (!measureRun(run, bridge, bridge_path, server, sub, seconds, run_met))
      return 1;
    met += run_met ? 1 : 0;
  }
  std::printf("  runs within every target: %d of %d (%s)\n", met, runs, verdict(met == runs));

  // Half a second without the bridge (as under CPU load or a paused
  // process) while the server goes on at 100 Hz, then a second more.
  const double kStallSeconds = 0.5;
  sendRecords(server, 20, kRateHz);
  bridge.signal(SIGSTOP);
  sendRecords(server, static_cast<uint32_t>(kStallSeconds * kRateHz), kRateHz);
  bridge.signal(SIGCONT);
  const Clock::time_point resumed = Clock::now();
  sendRecords(server, static_cast<uint32_t>(kRateHz), kRateHz);
  // A server 10 % faster than the bridge publishes, for 5 s.
  const double kFastHz = 110.0;
  const Clock::time_point fast_start = Clock::now();
  sendRecords(server, static_cast<uint32_t>(5 * kFastHz), kFastHz);
  const Clock::time_point fast_end = Clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  bridge.stop(10.0);
  spinner.stop();

  std::lock_guard<std::mutex> lock(mutex);
  const long after_stall = lagAt(resumed + std::chrono::milliseconds(100));
  std::printf(
      "  after a %.1f s stall of state_bridge (SIGSTOP, SIGCONT): %ld records behind the server 0.1 s after it"
      " resumed, %ld records 1 s after (target <= 1 within 0.1 s: %s)\n",
      kStallSeconds, after_stall, lagAt(fast_start), verdict(after_stall >= 0 && after_stall <= 1));
  std::printf("  server at %.0f Hz for %.1f s: from %ld to %ld records behind\n", kFastHz,
              std::chrono::duration<double>(fast_end - fast_start).count(), lagAt(fast_start), lagAt(fast_end));
  return 0;
}
