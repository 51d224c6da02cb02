// Cost of one simulated LiDAR revolution (ray casting plus packing the cloud message) in a scene, for 16, 32 and 64
// beams at 0.2 deg azimuth resolution, from poses along the demo's flight path towards its wall. The scan runs on
// the simulator's 100 Hz tick, ten times a second, so it must stay far below the 100 ms scan period.
#include <chrono>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "zyr_simulation/lidar.h"
#include "zyr_simulation/scene.h"

using namespace zyr_simulation;

int main(int argc, char** argv)
{
  if (argc < 2)
  {
    std::fprintf(stderr, "usage: %s SCENE_FILE [SCANS]\n", argv[0]);
    return 2;
  }
  try
  {
    const Scene scene = loadScene(argv[1]);
    const int scans = argc > 2 ? std::stoi(argv[2]) : 50;
    const Eigen::Vector3d start = scene.hasStart() ? scene.start().position : Eigen::Vector3d(0, 0, 2);
    std::printf("scene %s: %zu obstacles; %d scans per configuration, poses along +x from the start\n", argv[1],
                scene.objects().size(), scans);
    std::printf("%6s %8s %10s %12s %12s %10s\n", "beams", "rays", "points", "ms/scan", "ms/cloud", "% of 100ms");
    for (int beams : {16, 32, 64})
    {
      LidarConfig config;
      config.beams = beams;
      SimLidar lidar(config);
      std::vector<LidarPoint> points;
      sensor_msgs::PointCloud2 cloud;
      lidar.scan(scene, start, Eigen::Matrix3d::Identity(), &points);  // warm-up, sizes the buffers
      double scan_s = 0.0, cloud_s = 0.0;
      std::size_t returned = 0;
      for (int i = 0; i < scans; ++i)
      {
        const Eigen::Vector3d origin = start + Eigen::Vector3d(45.0 * i / scans, 0, 0);
        const auto t0 = std::chrono::steady_clock::now();
        lidar.scan(scene, origin, Eigen::Matrix3d::Identity(), &points);
        const auto t1 = std::chrono::steady_clock::now();
        toPointCloud2(points, "lidar", ros::Time(1), &cloud);
        const auto t2 = std::chrono::steady_clock::now();
        scan_s += std::chrono::duration<double>(t1 - t0).count();
        cloud_s += std::chrono::duration<double>(t2 - t1).count();
        returned += points.size();
      }
      const double scan_ms = 1000.0 * scan_s / scans, cloud_ms = 1000.0 * cloud_s / scans;
      std::printf("%6d %8d %10zu %12.2f %12.2f %9.1f%%\n", beams, lidar.beams() * lidar.columns(), returned / scans,
                  scan_ms, cloud_ms, (scan_ms + cloud_ms) / 100.0 * 100.0);
    }
  }
  catch (const std::exception& e)
  {
    std::fprintf(stderr, "bench_sim_lidar: %s\n", e.what());
    return 1;
  }
  return 0;
}
