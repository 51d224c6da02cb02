// What the health watchdog spends on each LiDAR cloud, on the 64-beam street
// scan: its skimmed read of the message as it comes off the wire (header,
// sizes, and the points read in place: the count of points the mapper would
// insert and the XXH3 hash of their bytes), the hash and the count on their
// own, and, for scale, a full decode into sensor_msgs/PointCloud2.
#include <ros/serialization.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

#include "bench_common.h"
#include "zyr_collision_avoidance/skimmed_messages.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace
{
using Clock = std::chrono::steady_clock;

// Median microseconds of `run` over `repetitions` calls.
double medianMicroseconds(int repetitions, const std::function<void()>& run)
{
  std::vector<double> samples;
  for (int i = 0; i < repetitions; ++i)
  {
    const Clock::time_point start = Clock::now();
    run();
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  return mapper_bench::quantile(samples, 0.5);
}
}  // namespace

int main(int argc, char** argv)
{
  if (argc < 2)
  {
    std::fprintf(stderr, "usage: bench_watchdog_cloud <street scan .bin> [repetitions]\n");
    return 2;
  }
  const int repetitions = argc > 2 ? std::atoi(argv[2]) : 201;
  const sensor_msgs::PointCloud2 cloud = mapper_bench::loadScanCloud(argv[1]);
  if (cloud.data.empty())
  {
    std::fprintf(stderr, "bench_watchdog_cloud: cannot read %s\n", argv[1]);
    return 1;
  }
  std::vector<std::uint8_t> wire(ros::serialization::serializationLength(cloud));
  ros::serialization::OStream out(wire.data(), static_cast<std::uint32_t>(wire.size()));
  ros::serialization::serialize(out, cloud);

  watchdog::CloudSummary summary;
  const double skim =
      medianMicroseconds(repetitions,
                         [&]
                         {
                           ros::serialization::IStream in(wire.data(), static_cast<std::uint32_t>(wire.size()));
                           ros::serialization::deserialize(in, summary);
                         });
  volatile std::uint64_t sink = 0;
  const double hash =
      medianMicroseconds(repetitions, [&] { sink = sink + XXH3_64bits(cloud.data.data(), cloud.data.size()); });
  sensor_msgs::PointCloud2 decoded;
  const double decode =
      medianMicroseconds(repetitions,
                         [&]
                         {
                           ros::serialization::IStream in(wire.data(), static_cast<std::uint32_t>(wire.size()));
                           ros::serialization::deserialize(in, decoded);
                         });

  std::printf("watchdog, per 64-beam cloud (%llu points, %.2f MB; %llu the mapper would insert), median of %d:\n",
              static_cast<unsigned long long>(summary.content.points), cloud.data.size() / 1e6,
              static_cast<unsigned long long>(summary.content.usable), repetitions);
  std::printf("  skimmed read, points read in place    %8.1f us  (%.2f %% of one core at 10 Hz)\n", skim,
              skim * 10.0 / 1e4);
  std::printf("    of which the XXH3 hash of the data  %8.1f us  (%.1f GB/s)\n", hash,
              cloud.data.size() / (hash * 1e3));
  std::printf("    the rest (count of usable points)   %8.1f us\n", skim - hash);
  std::printf("  for scale: full decode (a copy)       %8.1f us\n", decode);
  return 0;
}
