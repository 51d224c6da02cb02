// Scan-to-verdict latency of the running chain (run_chain.sh starts it): an obstacle pops up ahead of the hovering
// aircraft again and again; each time, from the stamp of the first LiDAR scan that shows it to the arrival of the
// first danger verdict on "collision_info_msg". Prints p50 and p99 beside the structural bound of the design: the
// map window (0.12 s), one scan period and five velocity messages.
//
// Private parameters: ~trials (default 40), ~timeout (s, default 300), the pop-up's box in the LiDAR frame
// (~near, ~far, ~half_width, ~min_z: x between near and far, |y| below half_width, z above min_z), ~scan_period and
// ~velocity_period (s, for the bound).
#include <ros/callback_queue.h>
#include <ros/ros.h>
#include <sensor_msgs/PointCloud2.h>
#include <sensor_msgs/point_cloud2_iterator.h>
#include <std_msgs/UInt8.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <vector>

namespace
{
struct Box
{
  double near, far, half_width, min_z;
};

int pointsInBox(const sensor_msgs::PointCloud2& cloud, const Box& box)
{
  int n = 0;
  for (sensor_msgs::PointCloud2ConstIterator<float> x(cloud, "x"), y(cloud, "y"), z(cloud, "z"); x != x.end();
       ++x, ++y, ++z)
    n += *x > box.near && *x < box.far && std::abs(*y)<box.half_width&& * z> box.min_z;
  return n;
}

double percentile(std::vector<double> v, double p)
{
  std::sort(v.begin(), v.end());
  // Nearest rank: the smallest value with at least p of the samples at or below it.
  const std::size_t rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(v.size())));
  return v[std::min(v.size() - 1, rank == 0 ? 0 : rank - 1)];
}

class Trials
{
public:
  explicit Trials(const Box& box) : box_(box) {}

  // Clouds and verdicts come on different threads, so that a verdict is stamped on arrival even while a cloud is
  // being searched.
  void onCloud(const sensor_msgs::PointCloud2::ConstPtr& cloud)
  {
    const bool shows = pointsInBox(*cloud, box_) >= 3;
    std::lock_guard<std::mutex> lock(mutex_);
    if (shows && !showing_ && armed_ && last_verdict_ == 0)
    {
      scan_stamp_ = cloud->header.stamp.toSec();
      waiting_ = true;
      armed_ = false;
    }
    if (!shows && showing_)
      armed_ = true;  // the next appearance starts the next trial
    showing_ = shows;
  }

  void onVerdict(const std_msgs::UInt8::ConstPtr& msg)
  {
    const double now = ros::Time::now().toSec();
    std::lock_guard<std::mutex> lock(mutex_);
    last_verdict_ = msg->data;
    if (msg->data == 1 && waiting_)
    {
      waiting_ = false;
      latencies_.push_back(now - scan_stamp_);
      std::printf("  trial %2zu: %.1f ms\n", latencies_.size(), 1000.0 * latencies_.back());
      std::fflush(stdout);
    }
  }

  std::vector<double> latencies()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return latencies_;
  }

private:
  Box box_;
  std::mutex mutex_;
  bool showing_ = false;
  // The first appearance counts only after the pop-up was seen gone once, and only with the verdict clear.
  bool armed_ = false;
  bool waiting_ = false;
  double scan_stamp_ = 0.0;
  int last_verdict_ = -1;
  std::vector<double> latencies_;
};
}  // namespace

int main(int argc, char** argv)
{
  ros::init(argc, argv, "bench_chain_latency");
  ros::NodeHandle nh, pnh("~");
  const int trials = pnh.param("trials", 40);
  const double timeout = pnh.param("timeout", 300.0);
  const Box box{pnh.param("near", 7.0), pnh.param("far", 9.0), pnh.param("half_width", 3.5), pnh.param("min_z", -2.5)};
  const double scan_period = pnh.param("scan_period", 0.1);
  const double velocity_period = pnh.param("velocity_period", 0.01);
  const double window = 0.12;
  const double bound = window + scan_period + 5.0 * velocity_period;

  Trials t(box);
  ros::CallbackQueue cloud_queue, verdict_queue;
  ros::NodeHandle cloud_nh(nh), verdict_nh(nh);
  cloud_nh.setCallbackQueue(&cloud_queue);
  verdict_nh.setCallbackQueue(&verdict_queue);
  ros::Subscriber clouds = cloud_nh.subscribe("velodyne_points", 5, &Trials::onCloud, &t);
  ros::Subscriber verdicts = verdict_nh.subscribe("collision_info_msg", 100, &Trials::onVerdict, &t);
  ros::AsyncSpinner cloud_spinner(1, &cloud_queue), verdict_spinner(1, &verdict_queue);
  cloud_spinner.start();
  verdict_spinner.start();

  std::printf("scan-to-verdict latency: obstacle popping up %.1f..%.1f m ahead of the hovering aircraft, %d trials\n",
              box.near, box.far, trials);
  std::fflush(stdout);
  const ros::WallTime end = ros::WallTime::now() + ros::WallDuration(timeout);
  while (ros::ok() && ros::WallTime::now() < end && static_cast<int>(t.latencies().size()) < trials)
    ros::WallDuration(0.05).sleep();
  cloud_spinner.stop();
  verdict_spinner.stop();

  const std::vector<double> l = t.latencies();
  if (l.empty())
  {
    std::printf("no trial completed within %.0f s\n", timeout);
    return 1;
  }
  const double p50 = percentile(l, 0.5), p99 = percentile(l, 0.99);
  std::printf("trials %zu: min %.1f ms, p50 %.1f ms, p99 %.1f ms, max %.1f ms\n", l.size(),
              1000.0 * *std::min_element(l.begin(), l.end()), 1000.0 * p50, 1000.0 * p99,
              1000.0 * *std::max_element(l.begin(), l.end()));
  std::printf(
      "structural bound %.0f ms (window %.0f ms + scan period %.0f ms + 5 velocity messages %.0f ms); "
      "target p99 <= %.0f ms: %s\n",
      1000.0 * bound, 1000.0 * window, 1000.0 * scan_period, 5000.0 * velocity_period, 1000.0 * (bound + 0.02),
      p99 <= bound + 0.02 ? "met" : "NOT met");
  return static_cast<int>(l.size()) < trials ? 1 : 0;
}
