// Cost of obstacle_distance's work per map: the 72 sector ranges walked
// straight from the binary stream, as the node does, beside what decoding the
// same message into a tree first would cost (the monitor's way). Maps: one
// 64-beam street scan inserted by the mapper's rule, and the same street
// turned about the vertical in steps of 7 degrees until it holds about
// 100,000 nodes, as a busy window does.
//
// Usage: bench_obstacle_distance <scan.bin>
#include <octomap_msgs/conversions.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

#include "bench_common.h"
#include "zyr_collision_avoidance/cloud_insertion.h"
#include "zyr_collision_avoidance/obstacle_sectors.h"
#include "zyr_collision_avoidance/octree_stream.h"

namespace
{
// The mapper's maps: a 0.12 s window of a 10 Hz LiDAR, so five a second.
const double kMapsPerSecond = 5.0;

double cpuMicros()
{
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

obstacle_sectors::Ranges walk(const octomap_msgs::Octomap& msg, const obstacle_sectors::Heading& heading)
{
  obstacle_sectors::SectorRanges sectors(heading, 1.0, occupancy_mapping::kInsertionRadius);
  obstacle_sectors::addBinaryMap(msg.data, msg.resolution, &sectors);
  return sectors.ranges();
}

obstacle_sectors::Ranges bareWalk(const octomap_msgs::Octomap& msg, const obstacle_sectors::Heading&)
{
  obstacle_sectors::Ranges r{};
  octree_stream::forEachOccupiedLeaf(msg.data, msg.resolution, [&r](const octree_stream::Leaf& l) { r[0] += l.z; });
  return r;
}

obstacle_sectors::Ranges decodeThenWalk(const octomap_msgs::Octomap& msg, const obstacle_sectors::Heading& heading)
{
  obstacle_sectors::SectorRanges sectors(heading, 1.0, occupancy_mapping::kInsertionRadius);
  std::unique_ptr<octomap::AbstractOcTree> tree(octomap_msgs::msgToMap(msg));
  obstacle_sectors::addTree(dynamic_cast<const octomap::OcTree&>(*tree), &sectors);
  return sectors.ranges();
}

template <class F>
void time(const char* what, const octomap_msgs::Octomap& msg, int runs, F f)
{
  obstacle_sectors::Heading heading;
  std::vector<double> ms;
  volatile float sink = 0;
  for (int i = 0; i < runs; ++i)
  {
    const double t0 = cpuMicros();
    sink = sink + f(msg, heading)[i % obstacle_sectors::kSectorCount];
    ms.push_back((cpuMicros() - t0) / 1000);
  }
  const double p50 = mapper_bench::quantile(ms, 0.5);
  std::printf("  %-26s p50 %6.3f ms  p99 %6.3f ms  -> %5.2f %% of one core at %.0f maps/s\n", what, p50,
              mapper_bench::quantile(ms, 0.99), p50 * kMapsPerSecond / 10.0, kMapsPerSecond);
}

void bench(const char* name, const octomap::OcTree& tree)
{
  octomap_msgs::Octomap msg;
  octomap_msgs::binaryMapToMsg(tree, msg);
  std::size_t inBand = 0, occupied = 0;
  for (auto it = tree.begin_leafs(), end = tree.end_leafs(); it != end; ++it)
    if (tree.isNodeOccupied(*it))
    {
      ++occupied;
      inBand += std::abs(it.getZ()) - it.getSize() / 2 <= 1.0;
    }
  std::printf("\n%s map: %zu nodes, %zu occupied leaves, %zu of them within +-1 m, %zu bytes\n", name, tree.size(),
              occupied, inBand, msg.data.size());
  time("sectors from the stream", msg, 200, walk);
  time("decoded tree, then sectors", msg, 50, decodeThenWalk);
  time("bare stream walk", msg, 200, bareWalk);
}
}  // namespace

int main(int argc, char** argv)
{
  if (argc < 2)
  {
    std::fprintf(stderr, "usage: %s <scan.bin>\n", argv[0]);
    return 2;
  }
  const sensor_msgs::PointCloud2 cloud = mapper_bench::loadScanCloud(argv[1]);
  if (cloud.width == 0)
  {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 1;
  }
  std::printf(
      "obstacle_distance: thread CPU time per map (the node's share in the demo flight: run_obstacle_distance.sh "
      "of zyr_simulation)\n");
  std::unique_ptr<octomap::OcTree> street(occupancy_mapping::newSensorModelTree());
  occupancy_mapping::insertHits(cloud, *street);
  street->updateInnerOccupancy();
  bench("street-scan", *street);

  std::unique_ptr<octomap::OcTree> busy(occupancy_mapping::newSensorModelTree());
  sensor_msgs::PointCloud2 turned = cloud;
  for (int step = 0; busy->size() < 100000 && step < 51; ++step)
  {
    const float c = std::cos(step * 7.0f * M_PI / 180.0f), s = std::sin(step * 7.0f * M_PI / 180.0f);
    sensor_msgs::PointCloud2Iterator<float> x(turned, "x"), y(turned, "y");
    sensor_msgs::PointCloud2ConstIterator<float> x0(cloud, "x"), y0(cloud, "y");
    for (; x != x.end(); ++x, ++y, ++x0, ++y0)
    {
      *x = c * *x0 - s * *y0;
      *y = s * *x0 + c * *y0;
    }
    occupancy_mapping::insertHits(turned, *busy);
  }
  busy->updateInnerOccupancy();
  bench("busy-window", *busy);
  return 0;
}
