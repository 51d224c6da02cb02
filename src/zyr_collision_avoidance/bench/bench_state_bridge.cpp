// Measures state_bridge against a state server sending at 100 Hz: the time
// from a record's send to the arrival of its velocity message, and the
// bridge's CPU share. Every record carries its sequence number in vx.
#include <ros/ros.h>
#include <zyr_sdk/Velocity.h>

#include <algorithm>
#include <atomic>
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

std::mutex mutex;
std::vector<Clock::time_point> sent_at;
std::vector<double> latencies_ms;
std::atomic<uint32_t> received{0};

void onVelocity(const zyr_sdk::Velocity& m)
{
  const Clock::time_point now = Clock::now();
  const uint32_t sequence = static_cast<uint32_t>(m.vx);
  std::lock_guard<std::mutex> lock(mutex);
  ++received;
  if (sequence >= kWarmupRecords && sequence < sent_at.size())
  {
    latencies_ms.push_back(std::chrono::duration<double, std::milli>(now - sent_at[sequence]).count());
  }
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

  sent_at.assign(records, Clock::time_point());
  const Clock::duration period =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1 / kRateHz));
  Clock::time_point next = Clock::now();
  double cpu_start = 0.0;
  Clock::time_point wall_start;
  for (uint32_t sequence = 0; sequence < records; ++sequence)
  {
    std::this_thread::sleep_until(next);
    next += period;
    if (sequence == kWarmupRecords)
    {
      cpu_start = cpuSeconds(bridge.pid());
      wall_start = Clock::now();
    }
    const std::string bytes = test_support::WireRecord(sequence).bytes();
    {
      std::lock_guard<std::mutex> lock(mutex);
      sent_at[sequence] = Clock::now();
    }
    if (!server.send(bytes))
    {
      std::perror("bench: send");
      break;
    }
  }
  const double cpu_used = cpuSeconds(bridge.pid()) - cpu_start;
  const double wall = std::chrono::duration<double>(Clock::now() - wall_start).count();
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
  std::printf("state_bridge, server at %.0f Hz, %u records measured (%u of %u messages arrived)\n", kRateHz,
              records - kWarmupRecords, received.load(), records);
  std::printf(
      "  latency record sent -> /zyr_sdk/velocity received: p50 %.3f ms, p99 %.3f ms, max %.3f ms"
      " (target p99 <= 2 ms: %s)\n",
      p50, p99, worst, p99 <= 2.0 ? "met" : "MISSED");
  std::printf("  CPU of state_bridge: %.2f %% of one core over %.1f s (target <= 5 %%: %s)\n", cpu_percent, wall,
              cpu_percent <= 5.0 ? "met" : "MISSED");
  return 0;
}
