// Latency from a stick message to the attitude-control request that
// guarded_flight makes for it, measured beside a bare roscpp service round
// trip in the same run.
//
// The driver (no arguments besides an optional sample count) serves
// "zyr_sdk/attitude_control", answering at once, and publishes the SDK topics
// that a running guarded_flight subscribes to. It stamps each stick message as
// it publishes it and each request as it arrives, with the same clock.
//
// guarded_flight must use a non-persistent client, so each of its commands
// costs a service lookup at the master, a TCP connection and the header
// exchange before the request goes out. The bare round trip it is held
// against is therefore the same kind of call: a non-persistent client in a
// process of its own (this program started again with --bare-client) calling
// the same server. Its one-way part (call -> request at the server; steady
// clock, shared between processes) and a persistent round trip are printed
// for reference only.
//
// Beside the latency it prints what one command costs in CPU: guarded_flight's
// (all its threads, from /proc/<pid>/stat; its pid in GUARDED_FLIGHT_PID), the ROS master's (the lookup of the service
// that each non-persistent call makes) and, for the bare clients, their own.
#include <ros/callback_queue.h>
#include <ros/ros.h>
#include <spawn.h>
#include <std_msgs/UInt8.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zyr_sdk/AttitudeControl.h>
#include <zyr_sdk/GlobalPosition.h>
#include <zyr_sdk/RCChannels.h>
#include <zyr_sdk/SDKPermissionControl.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace
{
using Clock = std::chrono::steady_clock;

// Time between two measured calls, so that guarded_flight has torn down the
// previous connection before the next stick message arrives.
const std::chrono::milliseconds kPause(2);
const double kMicros = 1e6;

double seconds(Clock::duration d)
{
  return std::chrono::duration<double>(d).count();
}

// CPU time of a process so far (user and system, all its threads, also those
// that have ended, such as the master's threads that each served one lookup);
// -1 when the process cannot be read. In clock ticks, so measured over many calls.
double processCpuSeconds(long pid)
{
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (pid <= 0 || !std::getline(stat, line) || line.rfind(')') == std::string::npos)
    return -1.0;
  std::istringstream fields(line.substr(line.rfind(')') + 1));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 0; i < 11 && fields >> field; ++i)
  {
  }
  if (!(fields >> utime >> stime))
    return -1.0;
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double ownCpuSeconds()
{
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

long masterPid()
{
  XmlRpc::XmlRpcValue args, result, payload;
  args[0] = ros::this_node::getName();
  if (!ros::master::execute("getPid", args, result, payload, false) ||
      payload.getType() != XmlRpc::XmlRpcValue::TypeInt)
    return -1;
  return static_cast<int>(payload);
}

// CPU spent by a process over a stretch of the run, summed over stretches.
class CpuMeter
{
public:
  explicit CpuMeter(long pid) : pid_(pid) {}
  void start()
  {
    at_ = processCpuSeconds(pid_);
  }
  void stop()
  {
    const double now = processCpuSeconds(pid_);
    if (at_ >= 0.0 && now >= at_)
      total_ += now - at_;
    else
      valid_ = false;
  }
  bool valid() const
  {
    return valid_ && pid_ > 0;
  }
  double total() const
  {
    return total_;
  }

private:
  long pid_;
  double at_ = -1.0;
  double total_ = 0.0;
  bool valid_ = true;
};

struct Percentiles
{
  double p50;
  double p99;
};

Percentiles percentiles(std::vector<double> v)
{
  std::sort(v.begin(), v.end());
  auto at = [&v](double q)
  {
    size_t i = static_cast<size_t>(q * v.size());
    return v[std::min(i, v.size() - 1)];
  };
  return {at(0.50), at(0.99)};
}

// Child mode: timed calls through one kind of client. Call i carries
// `first_tag` + i as its roll value; one line per call on stdout: start (ns on
// the steady clock) and round trip (seconds).
int bareClient(int samples, bool persistent, int first_tag)
{
  ros::NodeHandle nh;
  ros::ServiceClient client = nh.serviceClient<zyr_sdk::AttitudeControl>("zyr_sdk/attitude_control", persistent);
  zyr_sdk::AttitudeControl srv;
  srv.request.flag = 90;
  const double cpu0 = ownCpuSeconds();
  for (int i = 0; i < samples && ros::ok(); ++i)
  {
    srv.request.y = static_cast<float>(first_tag + i);
    const Clock::time_point t0 = Clock::now();
    const bool ok = client.call(srv);
    const Clock::time_point t1 = Clock::now();
    if (!ok)
    {
      std::fprintf(stderr, "bare call %d failed\n", i);
      return 1;
    }
    std::printf("%lld %.9f\n", static_cast<long long>(t0.time_since_epoch().count()), seconds(t1 - t0));
    std::this_thread::sleep_for(kPause);
  }
  // Last line: the process's CPU over its calls, marked by a start of -1.
  std::printf("-1 %.9f\n", ownCpuSeconds() - cpu0);
  return 0;
}

struct BareCall
{
  Clock::time_point start;
  double round_trip;
};

// Starts this program again in child mode and collects its figures.
bool runBareClient(int samples, bool persistent, int first_tag, std::vector<BareCall>& out, double& cpu)
{
  int fds[2];
  if (pipe(fds) != 0)
  {
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  std::vector<std::string> args = {"bench_guarded_flight", "--bare-client", std::to_string(samples),
                                   persistent ? "persistent" : "non-persistent", std::to_string(first_tag)};
  std::vector<char*> argv;
  for (std::string& a : args)
  {
    argv.push_back(&a[0]);
  }
  argv.push_back(nullptr);
  pid_t pid;
  const int rc = posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0)
  {
    close(fds[0]);
    return false;
  }
  FILE* in = fdopen(fds[0], "r");
  long long start;
  double round_trip;
  while (in && std::fscanf(in, "%lld %lf", &start, &round_trip) == 2)
  {
    if (start == -1)
      cpu += round_trip;
    else
      out.push_back({Clock::time_point(Clock::duration(start)), round_trip});
  }
  if (in)
  {
    std::fclose(in);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The SDK node's side: answers every request at once and notes when and with
// which roll value it arrived.
class Server
{
public:
  bool attitude(zyr_sdk::AttitudeControl::Request& req, zyr_sdk::AttitudeControl::Response& res)
  {
    const Clock::time_point now = Clock::now();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      last_arrival_ = now;
      last_roll_ = req.y;
      ++requests_;
      arrivals_[req.y] = now;
    }
    changed_.notify_all();
    res.result = true;
    return true;
  }

  bool permission(zyr_sdk::SDKPermissionControl::Request&, zyr_sdk::SDKPermissionControl::Response& res)
  {
    res.result = true;
    return true;
  }

  // Waits for a request carrying `roll`; gives its arrival time.
  bool waitFor(float roll, Clock::time_point& arrival, double timeout)
  {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool seen = changed_.wait_for(lock, std::chrono::duration<double>(timeout),
                                        [&] { return requests_ > 0 && last_roll_ == roll; });
    arrival = last_arrival_;
    return seen;
  }

  // When the request carrying `roll` arrived, if one did.
  bool arrivalOf(float roll, Clock::time_point& arrival)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = arrivals_.find(roll);
    if (it == arrivals_.end())
    {
      return false;
    }
    arrival = it->second;
    return true;
  }

private:
  std::map<float, Clock::time_point> arrivals_;
  std::mutex mutex_;
  std::condition_variable changed_;
  Clock::time_point last_arrival_;
  float last_roll_ = 0.0f;
  long requests_ = 0;
};

bool waitUntil(const std::function<bool()>& done, double timeout)
{
  const Clock::time_point end =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout));
  while (!done())
  {
    if (Clock::now() > end || !ros::ok())
    {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

zyr_sdk::RCChannels stick(float roll)
{
  zyr_sdk::RCChannels msg;
  msg.header.stamp = ros::Time::now();
  msg.roll = roll;
  msg.pitch = 1000.0f;
  msg.yaw = -500.0f;
  msg.throttle = 0.0f;
  return msg;
}

int driver(int samples_per_round, int rounds)
{
  ros::NodeHandle nh;
  // The server answers on its own thread, beside the driver's loop.
  ros::CallbackQueue server_queue;
  ros::NodeHandle server_nh;
  server_nh.setCallbackQueue(&server_queue);
  Server server;
  ros::ServiceServer attitude = server_nh.advertiseService("zyr_sdk/attitude_control", &Server::attitude, &server);
  ros::ServiceServer permission =
      server_nh.advertiseService("zyr_sdk/sdk_permission_control", &Server::permission, &server);
  ros::AsyncSpinner server_spinner(1, &server_queue);
  server_spinner.start();

  ros::Publisher rc_pub = nh.advertise<zyr_sdk::RCChannels>("zyr_sdk/rc_channels", 100);
  ros::Publisher gps_pub = nh.advertise<zyr_sdk::GlobalPosition>("zyr_sdk/global_position", 10);
  if (!waitUntil([&] { return rc_pub.getNumSubscribers() > 0 && gps_pub.getNumSubscribers() > 0; }, 30.0))
  {
    std::fprintf(stderr, "guarded_flight did not subscribe\n");
    return 1;
  }
  zyr_sdk::GlobalPosition gps;
  gps.height = 10.0f;
  gps.health = 5;
  gps_pub.publish(gps);

  // Warm-up, until the GPS message has been taken and calls flow.
  int warm = 0;
  const Clock::time_point warm_end = Clock::now() + std::chrono::seconds(20);
  while (warm < 50 && Clock::now() < warm_end)
  {
    Clock::time_point arrival;
    const float roll = -1000.0f - warm;
    rc_pub.publish(stick(roll));
    if (server.waitFor(roll / 3333.3333f, arrival, 0.2))
    {
      ++warm;
    }
    std::this_thread::sleep_for(kPause);
  }
  if (warm < 50)
  {
    std::fprintf(stderr, "guarded_flight sends no commands\n");
    return 1;
  }

  std::vector<double> guarded, bare, one_way, persistent;
  const char* guarded_pid = std::getenv("GUARDED_FLIGHT_PID");
  CpuMeter guarded_cpu(guarded_pid ? std::atol(guarded_pid) : -1);
  const long master = masterPid();
  CpuMeter master_guarded(master), master_bare(master), master_persistent(master);
  double bare_cpu = 0.0, persistent_cpu = 0.0;
  // Tags of the bare calls lie far beyond the scaled rolls of the sticks.
  int next_tag = 1000000;
  auto bareRun = [&](bool is_persistent, std::vector<double>& round_trips)
  {
    std::vector<BareCall> calls;
    const int first_tag = next_tag;
    next_tag += samples_per_round;
    CpuMeter& master_cpu = is_persistent ? master_persistent : master_bare;
    master_cpu.start();
    const bool ran =
        runBareClient(samples_per_round, is_persistent, first_tag, calls, is_persistent ? persistent_cpu : bare_cpu);
    master_cpu.stop();
    if (!ran)
    {
      return false;
    }
    for (size_t i = 0; i < calls.size(); ++i)
    {
      round_trips.push_back(calls[i].round_trip);
      Clock::time_point arrival;
      if (!is_persistent && server.arrivalOf(static_cast<float>(first_tag + static_cast<int>(i)), arrival))
      {
        one_way.push_back(seconds(arrival - calls[i].start));
      }
    }
    return true;
  };
  int lost = 0;
  int next_roll = 1;
  for (int round = 0; round < rounds; ++round)
  {
    guarded_cpu.start();
    master_guarded.start();
    for (int i = 0; i < samples_per_round; ++i)
    {
      const float roll = static_cast<float>(next_roll++);
      const zyr_sdk::RCChannels msg = stick(roll);
      const Clock::time_point t0 = Clock::now();
      rc_pub.publish(msg);
      Clock::time_point arrival;
      if (server.waitFor(roll / 3333.3333f, arrival, 2.0))
      {
        guarded.push_back(seconds(arrival - t0));
      }
      else
      {
        ++lost;
      }
      std::this_thread::sleep_for(kPause);
    }
    master_guarded.stop();
    guarded_cpu.stop();
    if (!bareRun(false, bare))
    {
      std::fprintf(stderr, "bare non-persistent client failed\n");
      return 1;
    }
  }
  if (!bareRun(true, persistent))
  {
    std::fprintf(stderr, "bare persistent client failed\n");
    return 1;
  }
  if (guarded.empty() || bare.empty() || one_way.empty() || persistent.empty())
  {
    std::fprintf(stderr, "no figures\n");
    return 1;
  }

  const Percentiles g = percentiles(guarded);
  const Percentiles b = percentiles(bare);
  const Percentiles o = percentiles(one_way);
  const Percentiles p = percentiles(persistent);
  std::printf("guarded_flight: stick message -> attitude-control request (%zu samples, %d lost)\n", guarded.size(),
              lost);
  std::printf("  p50 %8.1f us   p99 %8.1f us\n", g.p50 * kMicros, g.p99 * kMicros);
  std::printf("bare roscpp service round trip, non-persistent client, own process (%zu samples)\n", bare.size());
  std::printf("  p50 %8.1f us   p99 %8.1f us\n", b.p50 * kMicros, b.p99 * kMicros);
  std::printf("  of which call -> request at the server, reference only: p50 %8.1f us   p99 %8.1f us\n",
              o.p50 * kMicros, o.p99 * kMicros);
  std::printf("bare roscpp service round trip, persistent client, reference only (%zu samples)\n", persistent.size());
  std::printf("  p50 %8.1f us   p99 %8.1f us\n", p.p50 * kMicros, p.p99 * kMicros);
  const double r50 = g.p50 / b.p50;
  const double r99 = g.p99 / b.p99;
  std::printf("ratio guarded / bare non-persistent: p50 %.2f  p99 %.2f  (target <= 1.20): %s\n", r50, r99,
              (r50 <= 1.2 && r99 <= 1.2) ? "met" : "MISSED");
  // CPU per command, and what 50 commands a second (the SDK node's stick rate) cost.
  const double commands = static_cast<double>(guarded.size() + lost);
  auto perCall = [](const CpuMeter& m, double calls) { return m.valid() ? m.total() / calls * kMicros : -1.0; };
  const double g_us = perCall(guarded_cpu, commands);
  const double gm_us = perCall(master_guarded, commands);
  std::printf(
      "CPU per attitude command (all threads): guarded_flight %.0f us, ROS master %.0f us (its lookup of the "
      "service for each call); at 50 commands/s: %.1f + %.1f %% of one core\n",
      g_us, gm_us, g_us * 50.0 / 1e4, gm_us * 50.0 / 1e4);
  std::printf(
      "  bare client, non-persistent: %.0f us + ROS master %.0f us; persistent, reference only: %.0f us + "
      "ROS master %.0f us\n",
      bare_cpu / static_cast<double>(bare.size()) * kMicros, perCall(master_bare, bare.size()),
      persistent_cpu / static_cast<double>(persistent.size()) * kMicros, perCall(master_persistent, persistent.size()));

  server_spinner.stop();
  return lost == 0 ? 0 : 1;
}
}  // namespace

int main(int argc, char** argv)
{
  if (argc >= 5 && std::strcmp(argv[1], "--bare-client") == 0)
  {
    ros::init(argc, argv, "bench_bare_client", ros::init_options::NoSigintHandler);
    return bareClient(std::atoi(argv[2]), std::strcmp(argv[3], "persistent") == 0, std::atoi(argv[4]));
  }
  ros::init(argc, argv, "bench_guarded_flight");
  const int samples = argc >= 2 ? std::max(10, std::atoi(argv[1])) : 500;
  return driver(samples, 4);
}
