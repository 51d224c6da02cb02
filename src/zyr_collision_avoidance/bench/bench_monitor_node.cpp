// CPU that a running collision_monitor_node spends per map message while
// maps of about 100,000 nodes (the street scan at many headings, as a busy
// window of the mapper holds) arrive at the mapper's 8 Hz.
//
// The node's CPU time (user and system, all its threads) is read from
// /proc/<pid>/stat before and after a fixed number of maps and divided by
// that number: it holds the transport, the decode, freeing the tree before
// it, and the text the node publishes for each map. The idle node's own CPU
// over the same time is printed beside it. The node gets the "world" ->
// "drone" transform on /tf_static, so that its first map finds the pose.
//
// Usage: bench_monitor_node <scan.bin> <pid of collision_monitor_node> [maps]
#include <geometry_msgs/TransformStamped.h>
#include <octomap_msgs/conversions.h>
#include <ros/ros.h>
#include <std_msgs/String.h>
#include <tf2_msgs/TFMessage.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "street_maps.h"

namespace
{
// The mapper publishes a tree per 0.12 s window.
const double kMapRate = 8.0;
const double kTargetMsPer100kNodes = 10.0;

std::atomic<std::size_t> texts{0};

void textCallback(const std_msgs::String::ConstPtr&)
{
  ++texts;
}

struct ProcessUsage
{
  double cpuSeconds = -1.0;  // user plus system
  unsigned long long minorFaults = 0;
};

// What the process has used so far; a negative CPU time when it cannot be read.
ProcessUsage processUsage(pid_t pid)
{
  ProcessUsage usage;
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line))
    return usage;
  // The command name may hold spaces; the fields after it are plain.
  const std::size_t close = line.rfind(')');
  if (close == std::string::npos)
    return usage;
  std::istringstream fields(line.substr(close + 2));
  std::string field;
  unsigned long long minflt = 0, utime = 0, stime = 0;
  // Fields 3..9 precede minflt (10); 11..13 lie between it and utime (14) and stime (15).
  for (int i = 3; i <= 9 && fields >> field; ++i)
  {
  }
  fields >> minflt;
  for (int i = 11; i <= 13 && fields >> field; ++i)
  {
  }
  if (!(fields >> utime >> stime))
    return usage;
  usage.cpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
  usage.minorFaults = minflt;
  return usage;
}

bool waitForTexts(std::size_t n, double seconds)
{
  const ros::WallTime end = ros::WallTime::now() + ros::WallDuration(seconds);
  while (texts < n && ros::ok() && ros::WallTime::now() < end)
    ros::WallDuration(0.005).sleep();
  return texts >= n;
}

tf2_msgs::TFMessage dronePose()
{
  geometry_msgs::TransformStamped t;
  t.header.stamp = ros::Time::now();
  t.header.frame_id = "world";
  t.child_frame_id = "drone";
  t.transform.rotation.w = 1.0;
  tf2_msgs::TFMessage msg;
  msg.transforms.push_back(t);
  return msg;
}
}  // namespace

int main(int argc, char** argv)
{
  if (argc < 3)
  {
    std::fprintf(stderr, "usage: %s <scan.bin> <pid of collision_monitor_node> [maps]\n", argv[0]);
    return 2;
  }
  const pid_t pid = static_cast<pid_t>(std::atoi(argv[2]));
  const int maps = argc > 3 ? std::atoi(argv[3]) : 80;
  const std::vector<octomap::point3d> scan = readScan(argv[1]);
  if (scan.empty() || maps <= 0 || processUsage(pid).cpuSeconds < 0)
  {
    std::fprintf(stderr, "cannot read %s, or no process %d\n", argv[1], static_cast<int>(pid));
    return 1;
  }
  int turns = 0;
  const std::unique_ptr<octomap::OcTree> busy = busyStreetTree(scan, &turns);
  octomap_msgs::Octomap map;
  if (!octomap_msgs::binaryMapToMsg(*busy, map))
    return 1;
  map.header.frame_id = "world";

  ros::init(argc, argv, "bench_monitor_node", ros::init_options::AnonymousName);
  ros::NodeHandle nh;
  ros::AsyncSpinner spinner(1);
  spinner.start();
  ros::Publisher posePub = nh.advertise<tf2_msgs::TFMessage>("/tf_static", 1, true);
  posePub.publish(dronePose());
  ros::Publisher mapPub = nh.advertise<octomap_msgs::Octomap>("zyr_collision_avoidance/octomap_binary", 2);
  ros::Subscriber textSub = nh.subscribe("zyr_collision_avoidance/debug_query_msg", 100, textCallback);
  const ros::WallTime linkDeadline = ros::WallTime::now() + ros::WallDuration(30.0);
  while (ros::ok() && ros::WallTime::now() < linkDeadline &&
         (mapPub.getNumSubscribers() == 0 || textSub.getNumPublishers() == 0 || posePub.getNumSubscribers() == 0))
    ros::WallDuration(0.01).sleep();
  if (mapPub.getNumSubscribers() == 0 || textSub.getNumPublishers() == 0)
  {
    std::fprintf(stderr, "collision_monitor_node did not connect\n");
    return 1;
  }

  ros::WallRate rate(kMapRate);
  const auto sendMaps = [&](int n)
  {
    for (int i = 0; i < n && ros::ok(); ++i)
    {
      mapPub.publish(map);
      rate.sleep();
    }
  };
  // The first maps find the pose and grow the heap to its working size.
  sendMaps(8);
  if (!waitForTexts(8, 10.0))
  {
    std::fprintf(stderr, "the node did not answer the first maps\n");
    return 1;
  }

  const double runSeconds = maps / kMapRate;
  const ProcessUsage idle0 = processUsage(pid);
  ros::WallDuration(runSeconds).sleep();
  const ProcessUsage idle1 = processUsage(pid);

  const std::size_t before = texts;
  const ProcessUsage run0 = processUsage(pid);
  sendMaps(maps);
  const bool all = waitForTexts(before + maps, 10.0);
  const ProcessUsage run1 = processUsage(pid);
  const std::size_t handled = texts - before;

  const double perMap = (run1.cpuSeconds - run0.cpuSeconds) * 1000.0 / maps;
  const double idlePerMap = (idle1.cpuSeconds - idle0.cpuSeconds) * 1000.0 / maps;
  const double faultsPerMap = static_cast<double>(run1.minorFaults - run0.minorFaults) / maps;
  const double scaled = perMap * 100000.0 / busy->size();
  std::printf("\ncollision_monitor_node, maps of %zu nodes (%zu bytes, street scan at %d headings) at %.0f Hz\n",
              busy->size(), map.data.size(), turns, kMapRate);
  std::printf(
      "  %zu of %d maps handled; node CPU per map message %.2f ms (idle node over the same time: %.2f ms), "
      "%.0f page faults per map\n",
      handled, maps, perMap, idlePerMap, faultsPerMap);
  std::printf("  scaled to 100,000 nodes: %.2f ms  (target <= %.0f ms: %s)\n", scaled, kTargetMsPer100kNodes,
              all && scaled <= kTargetMsPer100kNodes ? "met" : "missed");
  return all ? 0 : 1;
}
