// Insertion cost of the mapper on the street scan, against the octree
// library's own loop over the same points with the same tree settings.
//
// Both sides do what one rollover does to one scan: delete the previous tree,
// create a new one with the sensor model, insert the points within 30 m and
// update the inner nodes. The library's loop makes one updateNode per point
// (lazy evaluation off); the mapper's insertHits groups the points by voxel
// and leaves the same tree. The mapper's whole callback is timed too:
// validation, tf lookup and transform, the window logic and the "Inserting"
// text. Needs a master and /use_sim_time, so that the benchmark can put every
// call past the end of the window.
#include <octomap/OcTree.h>
#include <pcl_ros/transforms.h>
#include <ros/console.h>
#include <ros/ros.h>

#include <chrono>
#include <cstdio>
#include <sstream>

#include "bench_common.h"
#include "zyr_collision_avoidance/occupancy_mapper.h"

namespace
{
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
  return std::chrono::duration<double>(Clock::now() - start).count();
}
}  // namespace

int main(int argc, char** argv)
{
  ros::init(argc, argv, "mapper_insertion_bench", ros::init_options::AnonymousName);
  if (argc < 2)
  {
    std::fprintf(stderr, "usage: bench_mapper_insertion <street scan .bin> [repetitions]\n");
    return 2;
  }
  const int repetitions = argc > 2 ? std::atoi(argv[2]) : 31;
  ros::NodeHandle nh;
  if (!ros::Time::isSimTime())
  {
    std::fprintf(stderr, "bench_mapper_insertion needs /use_sim_time set on the master\n");
    return 2;
  }
  // The per-cloud INFO line would go to this benchmark's own output.
  if (ros::console::set_logger_level(ROSCONSOLE_DEFAULT_NAME, ros::console::levels::Warn))
    ros::console::notifyLoggerLevelsChanged();

  double now = 1.0;
  ros::Time::setNow(ros::Time(now));
  sensor_msgs::PointCloud2::Ptr scan(new sensor_msgs::PointCloud2(mapper_bench::loadScanCloud(argv[1])));
  if (scan->width == 0)
  {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 2;
  }
  scan->header.stamp = ros::Time(now);

  ros::Publisher tfStatic = nh.advertise<tf2_msgs::TFMessage>("/tf_static", 1, true);
  tf2_msgs::TFMessage transforms;
  transforms.transforms.push_back(mapper_bench::sensorTransform());
  tfStatic.publish(transforms);

  OccupancyGridBuilder mapper{ros::NodeHandle("~")};
  bool ready = false;
  for (int attempt = 0; attempt < 20 && !ready; ++attempt)
    ready = mapper.transformPointCloud(scan, "world");
  if (!ready)
  {
    std::fprintf(stderr, "the mapper's tf listener never got the sensor transform\n");
    return 1;
  }

  // The raw loop inserts exactly the points the mapper inserts: the scan
  // transformed into "world" by the same routine.
  sensor_msgs::PointCloud2 world;
  tf::Transform sensorPose;
  tf::transformMsgToTF(mapper_bench::sensorTransform().transform, sensorPose);
  pcl_ros::transformPointCloud("world", sensorPose, *scan, world);
  std::vector<octomap::point3d> points;
  std::size_t inside = 0;
  for (sensor_msgs::PointCloud2ConstIterator<float> x(world, "x"), y(world, "y"), z(world, "z"); x != x.end();
       ++x, ++y, ++z)
  {
    points.emplace_back(*x, *y, *z);
    inside += double(*x) * *x + double(*y) * *y <= 900.0;
  }

  octomap::OcTree* previousRawTree = nullptr;
  auto rawOnce = [&]
  {
    const Clock::time_point start = Clock::now();
    delete previousRawTree;
    auto* tree = occupancy_mapping::newSensorModelTree(0.3);
    for (const octomap::point3d& p : points)
    {
      const double x = p.x();
      const double y = p.y();
      if (x * x + y * y <= 900.0)
        tree->updateNode(p, true, false);
    }
    tree->updateInnerOccupancy();
    previousRawTree = tree;
    return secondsSince(start);
  };
  octomap::OcTree* previousGroupedTree = nullptr;
  auto groupedOnce = [&]
  {
    const Clock::time_point start = Clock::now();
    delete previousGroupedTree;
    octomap::OcTree* tree = occupancy_mapping::newSensorModelTree(0.3);
    occupancy_mapping::insertHits(world, *tree);
    previousGroupedTree = tree;
    return secondsSince(start);
  };
  auto mapperOnce = [&]
  {
    now += 0.2;  // every cloud rolls the window over
    ros::Time::setNow(ros::Time(now));
    const Clock::time_point start = Clock::now();
    mapper.pointCloudCallback(scan);
    return secondsSince(start);
  };

  // Where the mapper's time goes, step by step.
  auto validationOnce = [&]
  {
    const Clock::time_point start = Clock::now();
    const bool ok = occupancy_mapping::cloudLayoutProblem(*scan).empty();
    const double s = secondsSince(start);
    return ok ? s : -1.0;
  };
  auto transformOnce = [&]
  {
    const Clock::time_point start = Clock::now();
    mapper.transformPointCloud(scan, "world");
    return secondsSince(start);
  };

  rawOnce();
  groupedOnce();
  mapperOnce();  // creates the first tree; from here on every call rolls over
  std::vector<double> raw, grouped, path, validation, transform;
  for (int i = 0; i < repetitions; ++i)
  {
    // Interleaved, so that load from elsewhere on the machine hits all alike.
    raw.push_back(rawOnce());
    grouped.push_back(groupedOnce());
    path.push_back(mapperOnce());
    validation.push_back(validationOnce());
    transform.push_back(transformOnce());
  }
  std::ostringstream rawBytes, groupedBytes;
  previousRawTree->write(rawBytes);
  previousGroupedTree->write(groupedBytes);
  const bool identical = rawBytes.str() == groupedBytes.str();
  delete previousRawTree;
  delete previousGroupedTree;

  const double n = scan->width;
  const double rawMedian = mapper_bench::quantile(raw, 0.5);
  const double groupedMedian = mapper_bench::quantile(grouped, 0.5);
  const double pathMedian = mapper_bench::quantile(path, 0.5);
  auto line = [n](const char* what, const std::vector<double>& samples)
  {
    const double median = mapper_bench::quantile(samples, 0.5);
    std::printf("  %-32s %7.2f ms/scan  %6.2f M points/s  (best %.2f ms)\n", what, median * 1e3, n / median / 1e6,
                mapper_bench::quantile(samples, 0.0) * 1e3);
  };
  std::printf("street scan: %u points, %zu within 30 m of the origin after the transform; %d repetitions, medians\n",
              scan->width, inside, repetitions);
  line("octree library, point by point", raw);
  line("mapper insertHits, voxel by voxel", grouped);
  std::printf("  ratio per-point / voxel by voxel %7.2f  (target >= 3); trees written byte for byte alike: %s\n",
              rawMedian / groupedMedian, identical ? "yes" : "NO");
  line("mapper's whole callback", path);
  std::printf(
      "  of the callback: validation %.4f ms, transform %.2f ms, insertion %.2f ms; %.2f times the per-point "
      "loop's speed\n",
      mapper_bench::quantile(validation, 0.5) * 1e3, mapper_bench::quantile(transform, 0.5) * 1e3, groupedMedian * 1e3,
      rawMedian / pathMedian);
  return identical ? 0 : 1;
}
