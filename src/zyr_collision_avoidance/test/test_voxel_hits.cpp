// Grouped insertion against the octree library's own per-point loop: the
// trees must write the same bytes, with values and in the binary message
// form, into a fresh tree and into one that holds earlier clouds.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <sstream>

#include "mapper_test_clouds.h"
#include "zyr_collision_avoidance/cloud_insertion.h"
#include "zyr_collision_avoidance/voxel_hits.h"

using mapper_test::Point;
using Cloud = std::vector<Point>;

namespace
{
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

std::unique_ptr<octomap::OcTree> newTree()
{
  return std::unique_ptr<octomap::OcTree>(occupancy_mapping::newSensorModelTree(0.3));
}

// What the mapper did before it grouped points by voxel, as the library
// behaves on x86. On arm64 the library's key computation turns a NaN height
// into the tree's centre and inserts the point at height 0; the mapper refuses
// such a point on every platform, so the reference does too.
void insertPointByPoint(const Cloud& cloud, octomap::OcTree& tree)
{
  for (const Point& p : cloud)
  {
    const double x = p[0];
    const double y = p[1];
    if (x * x + y * y <= 900.0 && !std::isnan(p[2]))
      tree.updateNode(octomap::point3d(p[0], p[1], p[2]), true, false);
  }
  tree.updateInnerOccupancy();
}

void expectSameTree(const octomap::OcTree& expected, const octomap::OcTree& actual)
{
  std::ostringstream expectedFull, actualFull, expectedBinary, actualBinary;
  ASSERT_TRUE(expected.write(expectedFull) && actual.write(actualFull));
  ASSERT_TRUE(expected.writeBinaryConst(expectedBinary) && actual.writeBinaryConst(actualBinary));
  EXPECT_TRUE(expectedFull.str() == actualFull.str())
      << "full streams differ; nodes " << expected.size() << " vs " << actual.size();
  EXPECT_TRUE(expectedBinary.str() == actualBinary.str()) << "binary streams differ";
}

Cloud shifted(Cloud cloud, float dx, float dy, float dz)
{
  for (Point& p : cloud)
    p = {p[0] + dx, p[1] + dy, p[2] + dz};
  return cloud;
}

// Points around the 30 m radius and on voxel boundaries, mixed with points
// the tree refuses: NaN and infinite coordinates, heights at and beyond the
// edge of its key range (+-32768 voxels of 0.3 m), and far beyond int range.
Cloud randomCloud()
{
  std::mt19937 random(12);
  std::uniform_real_distribution<float> horizontal(-32.0f, 32.0f), vertical(-3.0f, 3.0f);
  const float edge = 9830.4f;
  const std::vector<float> refused = {kNaN, kInf, -kInf, edge, -edge, 1e10f, -3e38f, 7e8f};
  const std::vector<float> heights = {std::nextafter(edge, 0.0f), std::nextafter(-edge, 0.0f), 500.0f};
  Cloud cloud;
  for (int i = 0; i < 20000; ++i)
  {
    Point p = {horizontal(random), horizontal(random), vertical(random)};
    if (i % 7 == 0)
      p[i % 3] = refused[i % refused.size()];
    else if (i % 11 == 0)
      p[2] = heights[i % heights.size()];
    else if (i % 13 == 0)
      p = {0.3f * float(i % 41 - 20), -0.3f * float(i % 37 - 18), 0.3f * float(i % 5 - 2)};
    cloud.push_back(p);
  }
  return cloud;
}

// One point in every voxel of an aligned 1.2 m block, which the tree prunes
// into a single leaf.
Cloud block()
{
  Cloud cloud;
  for (int i = 0; i < 64; ++i)
    cloud.push_back({2.55f + 0.3f * float(i % 4), -1.05f + 0.3f * float(i / 4 % 4), 0.15f + 0.3f * float(i / 16)});
  return cloud;
}
}  // namespace

TEST(VoxelHits, SameTreeAsThePerPointLoop)
{
  const Cloud street = mapper_test::loadStreetScan(ZYR_STREET_SCAN);
  ASSERT_GT(street.size(), 100000u);
  Cloud blockCorner = block();
  blockCorner.resize(5);
  struct Case
  {
    const char* name;
    std::vector<Cloud> clouds;
  };
  const std::vector<Case> cases = {
      {"street scan, then shifted by fractions of a voxel",
       {street, shifted(street, 0.1f, 0.05f, 0.2f), shifted(street, 0.15f, 0.25f, 0.07f)}},
      {"street scan five times (clamping), then shifted",
       {street, street, street, street, street, shifted(street, 0.1f, 0.1f, 0.1f)}},
      {"random, with NaN, infinite and out-of-range points", {randomCloud()}},
      {"empty", {Cloud()}},
      {"all points in one voxel", {Cloud(3000, Point{-7.1f, 4.2f, 1.3f})}},
      {"a block pruned into one leaf, then hits inside it", {block(), blockCorner, block()}},
  };
  // The mapper's sensor model, and one whose hits take twenty additions to
  // clamp, so that k additions of the hit log-odds differ from k times it.
  struct Model
  {
    const char* name;
    double hit, upper;
  };
  for (const Model& model : {Model{"mapper's model", 0.7, 0.97}, Model{"hit 0.58, upper 0.999", 0.58, 0.999}})
  {
    auto newModelTree = [&model]
    {
      auto tree = newTree();
      tree->setProbHit(model.hit);
      tree->setClampingThresMax(model.upper);
      return tree;
    };
    for (const Case& c : cases)
    {
      for (const bool holdsEarlierClouds : {false, true})
      {
        SCOPED_TRACE(std::string(model.name) + ", " + c.name +
                     (holdsEarlierClouds ? ", into a tree holding a scan" : ", fresh tree"));
        auto expected = newModelTree();
        auto actual = newModelTree();
        if (holdsEarlierClouds)
        {
          const Cloud earlier = shifted(street, -0.12f, 0.0f, 0.13f);
          insertPointByPoint(earlier, *expected);
          occupancy_mapping::insertHits(mapper_test::makeCloud(earlier), *actual);
        }
        for (std::size_t i = 0; i < c.clouds.size(); ++i)
        {
          SCOPED_TRACE(i);
          insertPointByPoint(c.clouds[i], *expected);
          occupancy_mapping::insertHits(mapper_test::makeCloud(c.clouds[i]), *actual);
          expectSameTree(*expected, *actual);
        }
      }
    }
  }
}

TEST(VoxelHits, ReadsPaddedRowsAndUnalignedCoordinates)
{
  // 3 rows of 40 points of 15 bytes, x, y, z at offsets 9, 1 and 5, and 7
  // bytes after every row, starting at an odd address. The filler bytes read
  // as floats of about 0.75, inside the radius.
  const std::uint32_t width = 40, height = 3, pointStep = 15, rowStep = width * pointStep + 7;
  Cloud cloud;
  for (std::uint32_t i = 0; i < width * height; ++i)
    cloud.push_back({0.1f * float(i % 17), -0.2f * float(i % 5), 0.07f * float(i % 9)});
  std::vector<std::uint8_t> bytes(1 + height * rowStep, 0x3f);
  std::uint8_t* data = bytes.data() + 1;
  for (std::uint32_t i = 0; i < cloud.size(); ++i)
  {
    std::uint8_t* point = data + (i / width) * rowStep + (i % width) * pointStep;
    std::memcpy(point + 9, &cloud[i][0], 4);
    std::memcpy(point + 1, &cloud[i][1], 4);
    std::memcpy(point + 5, &cloud[i][2], 4);
  }

  auto expected = newTree();
  insertPointByPoint(cloud, *expected);
  auto actual = newTree();
  occupancy_mapping::addHitsByVoxel({data, width, height, pointStep, rowStep, 9, 1, 5}, 900.0, *actual);
  actual->updateInnerOccupancy();
  expectSameTree(*expected, *actual);
}
