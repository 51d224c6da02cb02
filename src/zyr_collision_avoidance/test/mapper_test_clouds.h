// Point clouds and trees for the mapper's tests.
#ifndef ZYR_COLLISION_AVOIDANCE_TEST_MAPPER_TEST_CLOUDS_H
#define ZYR_COLLISION_AVOIDANCE_TEST_MAPPER_TEST_CLOUDS_H

#include <octomap/OcTree.h>
#include <sensor_msgs/PointCloud2.h>
#include <sensor_msgs/point_cloud2_iterator.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "zyr_collision_avoidance/cloud_insertion.h"

namespace mapper_test
{
using Point = std::array<float, 3>;

// A packed cloud with float32 x, y, z (12-byte points), height 1.
inline sensor_msgs::PointCloud2 makeCloud(const std::vector<Point>& points, const std::string& frame = "world")
{
  sensor_msgs::PointCloud2 cloud;
  cloud.header.frame_id = frame;
  sensor_msgs::PointCloud2Modifier modifier(cloud);
  modifier.setPointCloud2Fields(3, "x", 1, sensor_msgs::PointField::FLOAT32, "y", 1, sensor_msgs::PointField::FLOAT32,
                                "z", 1, sensor_msgs::PointField::FLOAT32);
  modifier.resize(points.size());
  if (!points.empty())
  {
    sensor_msgs::PointCloud2Iterator<float> x(cloud, "x"), y(cloud, "y"), z(cloud, "z");
    for (const Point& p : points)
    {
      *x = p[0];
      *y = p[1];
      *z = p[2];
      ++x, ++y, ++z;
    }
  }
  return cloud;
}

// How a driver may lay out its points: float32 x, y, z at the byte `offsets`
// of points `pointStep` bytes long, each row followed by `rowPadding` bytes.
struct Layout
{
  std::array<std::uint32_t, 3> offsets;
  std::uint32_t pointStep;
  std::uint32_t rowPadding;
};

// The same points as makeCloud() gives, in `rows` rows laid out as `layout`
// says. The bytes between the coordinates read as floats of about 0.75, so a
// reader that takes a wrong byte maps a point where none was sent.
inline sensor_msgs::PointCloud2 makeLaidOutCloud(const std::vector<Point>& points, const std::string& frame,
                                                 std::uint32_t rows, const Layout& layout)
{
  const std::array<std::uint32_t, 3>& offsets = layout.offsets;
  const std::uint32_t pointStep = layout.pointStep;
  sensor_msgs::PointCloud2 cloud;
  cloud.header.frame_id = frame;
  cloud.height = rows;
  cloud.width = static_cast<std::uint32_t>(points.size() / rows);
  const char* names[3] = {"x", "y", "z"};
  for (int k = 0; k < 3; ++k)
  {
    sensor_msgs::PointField field;
    field.name = names[k];
    field.offset = offsets[k];
    field.datatype = sensor_msgs::PointField::FLOAT32;
    field.count = 1;
    cloud.fields.push_back(field);
  }
  cloud.point_step = pointStep;
  cloud.row_step = cloud.width * pointStep + layout.rowPadding;
  cloud.data.assign(std::size_t(cloud.height) * cloud.row_step, 0x3F);
  for (std::uint32_t r = 0; r < cloud.height; ++r)
    for (std::uint32_t c = 0; c < cloud.width; ++c)
      for (int k = 0; k < 3; ++k)
        std::memcpy(&cloud.data[r * cloud.row_step + c * pointStep + offsets[k]], &points[r * cloud.width + c][k],
                    sizeof(float));
  cloud.is_dense = true;
  return cloud;
}

// An empty tree with the mapper's sensor model.
inline std::unique_ptr<octomap::OcTree> newTree()
{
  return std::unique_ptr<octomap::OcTree>(occupancy_mapping::newSensorModelTree(occupancy_mapping::kResolution));
}

// A tree holding one cloud of `points` inserted as the mapper does.
inline std::unique_ptr<octomap::OcTree> treeOf(const std::vector<Point>& points)
{
  auto tree = newTree();
  occupancy_mapping::insertHits(makeCloud(points), *tree);
  return tree;
}

// Occupied leaves as (x, y, z, depth) of their centres.
using Leaf = std::tuple<double, double, double, unsigned>;

inline std::set<Leaf> occupiedLeaves(const octomap::OcTree& tree)
{
  std::set<Leaf> leaves;
  for (auto it = tree.begin_leafs(), end = tree.end_leafs(); it != end; ++it)
    if (tree.isNodeOccupied(*it))
      leaves.insert(Leaf(it.getX(), it.getY(), it.getZ(), it.getDepth()));
  return leaves;
}

// The 64-beam street scan of the test data: x, y, z, reflectance per point.
inline std::vector<Point> loadStreetScan(const std::string& path)
{
  std::vector<Point> points;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file)
    return points;
  float record[4];
  while (std::fread(record, sizeof(float), 4, file) == 4)
    points.push_back(Point{record[0], record[1], record[2]});
  std::fclose(file);
  return points;
}
}  // namespace mapper_test

#endif
