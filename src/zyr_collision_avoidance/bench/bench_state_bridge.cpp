// Measures state_bridge against a state server sending at 100 Hz: the time
// from a record's send to the arrival of its velocity message, the bridge's
// CPU share, how far behind the server it is after a stall of half a second,
// and behind a server slightly faster than its own 100 Hz. Every record
// carries its sequence number in vx.
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

#include "zyr_test_support/child_process.h"
#include "zyr_test_support/loopback_server.h"
#include "zyr_test_support/wire_record.h"

namespace
{
typedef std::chrono::steady_clock Clock;
const double kRateHz = 100.0;
const int kWarmupRecords = 100;  // the first second: connections settle, caches warm

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
    {
      utime = std::stoull(field);
    }
    if (i == 15)
    {
      stime = std::stoull(field);
    }
  }
  return double(utime + stime) / sysconf(_SC_CLK_TCK);
}

double percentile(std::vector<double> values, double p)
{
  std::sort(values.begin(), values.end());
  const std::size_t index = std::min(values.size() - 1, static_cast<std::size_t>(p * (values.size() - 1) + 0.5));
  return values[index];
}

struct Arrival
{
  Clock::time_point at;
  uint32_t sequence;
};

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
  {
    latencies_ms.push_back(std::chrono::duration<double, std::milli>(now - sent_at[sequence]).count());
  }
}

// Sends the next `count` records at `hz`, numbered on from the last one sent.
bool sendRecords(test_support::LoopbackServer& server, uint32_t count, double hz)
{
  const Clock::duration period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1 / hz));
  Clock::time_point next = Clock::now();
  for (uint32_t i = 0; i < count; ++i)
  {
    std::this_thread::sleep_until(next);
    next += period;
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
    {
      continue;
    }
    const long newest = std::upper_bound(sent_at.begin(), sent_at.end(), a.at) - sent_at.begin() - 1;
    return newest - static_cast<long>(a.sequence);
  }
  return -1;
}
}  // namespace

int main(int argc, char** argv)
{
  if (argc < 2)
  {
    std::fprintf(stderr, "usage: %s <state_bridge executable> [seconds]\n", argv[0]);
    return 2;
  }
  const std::string bridge_path = argv[1];
  const double seconds = argc > 2 ? std::atof(argv[2]) : 20.0;
  const uint32_t records = kWarmupRecords + static_cast<uint32_t>(seconds * kRateHz);

  ros::init(argc, argv, "bench_state_bridge", ros::init_options::NoSigintHandler);
  test_support::waitFor(ros::master::check, 10.0, 0.1);
  ros::NodeHandle nh;
  ros::Subscriber sub = nh.subscribe("/zyr_sdk/velocity", 1000, onVelocity);
  ros::AsyncSpinner spinner(1);
  spinner.start();

  test_support::LoopbackServer server;
  if (!server.listening())
  {
    std::perror("bench: cannot listen on 127.0.0.1:28770");
    return 1;
  }
  test_support::ChildProcess bridge;
  if (!bridge.start(bridge_path, {}) || !server.acceptClient(20.0))
  {
    std::fprintf(stderr, "bench: state_bridge did not connect\n");
    return 1;
  }
  test_support::waitFor([&] { return sub.getNumPublishers() > 0; }, 10.0);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  steady_records = records;
  sent_at.reserve(records + 1000);
  if (!sendRecords(server, kWarmupRecords, kRateHz))
  {
    return 1;
  }
  const double cpu_start = cpuSeconds(bridge.pid());
  const Clock::time_point wall_start = Clock::now();
  if (!sendRecords(server, records - kWarmupRecords, kRateHz))
  {
    return 1;
  }
  const double cpu_used = cpuSeconds(bridge.pid()) - cpu_start;
  const double wall = std::chrono::duration<double>(Clock::now() - wall_start).count();

  // Half a second without the bridge (as under CPU load or a paused
  // process) while the server goes on at 100 Hz, then a second more.
  const double kStallSeconds = 0.5;
  Clock::time_point resumed;
  {
    sendRecords(server, 20, kRateHz);
    bridge.signal(SIGSTOP);
    sendRecords(server, static_cast<uint32_t>(kStallSeconds * kRateHz), kRateHz);
    bridge.signal(SIGCONT);
    resumed = Clock::now();
    sendRecords(server, static_cast<uint32_t>(kRateHz), kRateHz);
  }
  // A server 10 % faster than the bridge's loop, for 5 s.
  const double kFastHz = 110.0;
  const Clock::time_point fast_start = Clock::now();
  sendRecords(server, static_cast<uint32_t>(5 * kFastHz), kFastHz);
  const Clock::time_point fast_end = Clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  bridge.stop(10.0);
  spinner.stop();

  std::lock_guard<std::mutex> lock(mutex);
  if (latencies_ms.empty())
  {
    std::fprintf(stderr, "bench: no velocity message arrived\n");
    return 1;
  }
  const double p50 = percentile(latencies_ms, 0.50);
  const double p99 = percentile(latencies_ms, 0.99);
  const double worst = percentile(latencies_ms, 1.0);
  const double cpu_percent = 100.0 * cpu_used / wall;
  std::printf("state_bridge, server at %.0f Hz, %u records measured (%zu of %u messages arrived)\n", kRateHz,
              records - kWarmupRecords, latencies_ms.size(), records - kWarmupRecords);
  std::printf(
      "  latency record sent -> /zyr_sdk/velocity received: p50 %.3f ms, p99 %.3f ms, max %.3f ms"
      " (target p99 <= 2 ms: %s)\n",
      p50, p99, worst, p99 <= 2.0 ? "met" : "MISSED");
  std::printf("  CPU of state_bridge: %.2f %% of one core over %.1f s (target <= 5 %%: %s)\n", cpu_percent, wall,
              cpu_percent <= 5.0 ? "met" : "MISSED");
  const long after_stall = lagAt(resumed + std::chrono::milliseconds(100));
  std::printf(
      "  after a %.1f s stall of state_bridge (SIGSTOP, SIGCONT): %ld records behind the server 0.1 s after it"
      " resumed, %ld records 1 s after (target <= 1 within 0.1 s: %s)\n",
      kStallSeconds, after_stall, lagAt(fast_start), after_stall >= 0 && after_stall <= 1 ? "met" : "MISSED");
  std::printf("  server at %.0f Hz for %.1f s: from %ld to %ld records behind\n", kFastHz,
              std::chrono::duration<double>(fast_end - fast_start).count(), lagAt(fast_start), lagAt(fast_end));
  return 0;
}
