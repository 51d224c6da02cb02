// Cost of the clutter filters (zyr_cloud_filters, run_cloud_filters.sh starts them): publishes simulated LiDAR
// clouds of a scene, with dust and the airframe's own returns in them, on "velodyne_points" and times each one until
// what the filters leave of it arrives on ~output_topic. Prints the points in and out, the time from publication to
// arrival (p50, p99) and the CPU time the filters' nodelet manager (~manager_pid) spent per cloud that came out. A
// rate the filters cannot keep up with shows as clouds that never arrive.
//
// Private parameters: ~scene (file), ~beams (64), ~clouds (100), ~rate (Hz, 10), ~dust (points per scan, 200),
// ~airframe (points per scan, 30), ~output_topic ("cloud_filters/points"), ~manager_pid (0: no CPU figure).
#include <ros/ros.h>
#include <sensor_msgs/PointCloud2.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "zyr_simulation/lidar.h"
#include "zyr_simulation/scene.h"

namespace
{
using Clock = std::chrono::steady_clock;

// User plus system CPU seconds of a process so far; negative when it cannot be read.
double cpuSeconds(int pid)
{
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t end = text.rfind(')');  // the command name may hold spaces
  if (end == std::string::npos)
    return -1.0;
  std::vector<std::string> fields;
  std::size_t pos = end + 2;
  while (pos < text.size())
  {
    const std::size_t space = text.find(' ', pos);
    fields.push_back(text.substr(pos, space == std::string::npos ? std::string::npos : space - pos));
    if (space == std::string::npos)
      break;
    pos = space + 1;
  }
  if (fields.size() < 13)
    return -1.0;
  // utime and stime are the 14th and 15th fields of the line, the 12th and 13th after the name.
  return (std::stod(fields[11]) + std::stod(fields[12])) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double percentile(std::vector<double> v, double p)
{
  if (v.empty())
    return NAN;
  std::sort(v.begin(), v.end());
  const std::size_t rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(v.size())));
  return v[std::min(v.size() - 1, rank == 0 ? 0 : rank - 1)];
}
}  // namespace

int main(int argc, char** argv)
{
  ros::init(argc, argv, "bench_cloud_filters");
  ros::NodeHandle nh, pnh("~");
  const int clouds = pnh.param("clouds", 100);
  const int manager_pid = pnh.param("manager_pid", 0);
  zyr_simulation::LidarConfig config;
  config.beams = pnh.param("beams", 64);
  config.dust_points = pnh.param("dust", 200);
  config.airframe_points = pnh.param("airframe", 30);
  const zyr_simulation::Scene scene = zyr_simulation::loadScene(pnh.param<std::string>("scene", ""));
  zyr_simulation::SimLidar lidar(config);
  const Eigen::Vector3d start = scene.hasStart() ? scene.start().position : Eigen::Vector3d(0, 0, 2);

  std::mutex mutex;
  std::map<std::uint32_t, Clock::time_point> sent;  // by the stamp's nanoseconds, which each cloud has its own
  std::vector<double> latency_ms;
  std::size_t points_out = 0;
  ros::Subscriber sub = nh.subscribe<sensor_msgs::PointCloud2>(
      pnh.param<std::string>("output_topic", "cloud_filters/points"), 10,
      [&](const sensor_msgs::PointCloud2::ConstPtr& cloud)
      {
        const Clock::time_point now = Clock::now();
        std::lock_guard<std::mutex> lock(mutex);
        auto it = sent.find(cloud->header.stamp.nsec);
        if (it == sent.end())
          return;
        latency_ms.push_back(std::chrono::duration<double, std::milli>(now - it->second).count());
        points_out += cloud->width * cloud->height;
        sent.erase(it);
      });
  ros::Publisher pub = nh.advertise<sensor_msgs::PointCloud2>("velodyne_points", 5);
  ros::AsyncSpinner spinner(1);
  spinner.start();
  for (int i = 0; i < 100 && (pub.getNumSubscribers() == 0 || sub.getNumPublishers() == 0); ++i)
    ros::Duration(0.1).sleep();
  if (pub.getNumSubscribers() == 0 || sub.getNumPublishers() == 0)
  {
    std::fprintf(stderr, "bench_cloud_filters: the filters did not connect within 10 s\n");
    return 1;
  }

  std::vector<zyr_simulation::LidarPoint> points;
  std::size_t points_in = 0;
  ros::Rate rate(pnh.param("rate", 10.0));
  const double cpu_before = manager_pid > 0 ? cpuSeconds(manager_pid) : -1.0;
  for (int i = 0; i < clouds && ros::ok(); ++i)
  {
    lidar.scan(scene, start + Eigen::Vector3d(40.0 * i / clouds, 0, 0), Eigen::Matrix3d::Identity(), &points);
    sensor_msgs::PointCloud2Ptr cloud(new sensor_msgs::PointCloud2);
    ros::Time stamp = ros::Time::now();
    stamp.nsec = (stamp.nsec / 1000) * 1000 + static_cast<std::uint32_t>(i % 1000);
    zyr_simulation::toPointCloud2(points, "lidar", stamp, cloud.get());
    points_in += points.size();
    {
      std::lock_guard<std::mutex> lock(mutex);
      sent[stamp.nsec] = Clock::now();
    }
    pub.publish(cloud);
    rate.sleep();
  }
  ros::Duration(1.0).sleep();  // the last clouds' way through
  const double cpu_after = manager_pid > 0 ? cpuSeconds(manager_pid) : -1.0;
  std::lock_guard<std::mutex> lock(mutex);
  std::printf("  %d-beam clouds: %zu points in, %zu out on average; %zu of %d arrived\n", config.beams,
              points_in / std::max(1, clouds), points_out / std::max<std::size_t>(1, latency_ms.size()),
              latency_ms.size(), clouds);
  std::printf("  publication to arrival: p50 %.1f ms, p99 %.1f ms\n", percentile(latency_ms, 0.5),
              percentile(latency_ms, 0.99));
  if (cpu_before >= 0.0 && cpu_after >= 0.0)
    std::printf("  nodelet manager CPU: %.1f ms per cloud that came out (%.1f %% of one core at this rate)\n",
                1000.0 * (cpu_after - cpu_before) / std::max<std::size_t>(1, latency_ms.size()),
                100.0 * (cpu_after - cpu_before) / (clouds / pnh.param("rate", 10.0)));
  return latency_ms.empty() ? 1 : 0;
}
