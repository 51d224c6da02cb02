// Maps built the mapper's way from the street scan of the test data, shared
// by the monitor's benchmarks: the scan itself, one tree of it, and a busy
// window of about 100,000 nodes.
#ifndef ZYR_COLLISION_AVOIDANCE_BENCH_STREET_MAPS_H
#define ZYR_COLLISION_AVOIDANCE_BENCH_STREET_MAPS_H

#include <octomap/OcTree.h>

#include <cmath>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "zyr_collision_avoidance/cloud_insertion.h"

// The scan's points (float32 x, y, z, intensity records); empty if unreadable.
inline std::vector<octomap::point3d> readScan(const std::string& path)
{
  std::vector<octomap::point3d> points;
  std::ifstream in(path, std::ios::binary);
  float record[4];
  while (in.read(reinterpret_cast<char*>(record), sizeof(record)))
    points.emplace_back(record[0], record[1], record[2]);
  return points;
}

inline std::unique_ptr<octomap::OcTree> mapperTree()
{
  return std::unique_ptr<octomap::OcTree>(occupancy_mapping::newSensorModelTree());
}

// The mapper's rule: every point within 30 m of the vertical axis is one hit.
inline std::size_t insertScan(octomap::OcTree& tree, const std::vector<octomap::point3d>& points, float yaw = 0.0f)
{
  const float c = std::cos(yaw), s = std::sin(yaw);
  std::size_t inserted = 0;
  for (const auto& p : points)
  {
    const float xf = c * p.x() - s * p.y(), yf = s * p.x() + c * p.y();
    const double x = xf, y = yf;
    if (x * x + y * y <= 900.0)
    {
      tree.updateNode(octomap::point3d(xf, yf, p.z()), true, false);
      ++inserted;
    }
  }
  tree.updateInnerOccupancy();
  return inserted;
}

// One scan fills only a fraction of the nodes a busy window holds; the same
// street turned about the vertical axis in steps of 7 degrees until the tree
// holds about 100,000 nodes stands in for such a window. `turns` receives the
// number of headings.
inline std::unique_ptr<octomap::OcTree> busyStreetTree(const std::vector<octomap::point3d>& scan, int* turns)
{
  std::unique_ptr<octomap::OcTree> busy = mapperTree();
  *turns = 0;
  while (busy->size() < 100000 && *turns < 50)
    insertScan(*busy, scan, static_cast<float>((*turns)++ * 7.0 * M_PI / 180.0));
  return busy;
}

#endif  // ZYR_COLLISION_AVOIDANCE_BENCH_STREET_MAPS_H
