#include "zyr_collision_avoidance/cloud_insertion.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <sstream>
#include <stdexcept>

#include "zyr_collision_avoidance/voxel_hits.h"

namespace occupancy_mapping
{
namespace
{
// Bytes of one element of a PointField datatype; 0 for a datatype that
// sensor_msgs does not define.
std::uint64_t datatypeSize(std::uint8_t datatype)
{
  switch (datatype)
  {
    case sensor_msgs::PointField::INT8:
    case sensor_msgs::PointField::UINT8:
      return 1;
    case sensor_msgs::PointField::INT16:
    case sensor_msgs::PointField::UINT16:
      return 2;
    case sensor_msgs::PointField::INT32:
    case sensor_msgs::PointField::UINT32:
    case sensor_msgs::PointField::FLOAT32:
      return 4;
    case sensor_msgs::PointField::FLOAT64:
      return 8;
    default:
      return 0;
  }
}

// The readers (the field iterators, the transform) take the first field of a
// name, so that is the one that has to be sound.
const sensor_msgs::PointField* firstField(const sensor_msgs::PointCloud2& cloud, const std::string& name)
{
  for (const auto& field : cloud.fields)
    if (field.name == name)
      return &field;
  return nullptr;
}
}  // namespace

std::string cloudLayoutProblem(const sensor_msgs::PointCloud2& cloud)
{
  std::ostringstream why;
  for (const char* name : {"x", "y", "z"})
  {
    const sensor_msgs::PointField* field = firstField(cloud, name);
    if (!field)
    {
      why << "no field \"" << name << "\"";
      return why.str();
    }
    if (field->datatype != sensor_msgs::PointField::FLOAT32)
    {
      why << "field \"" << name << "\" is not float32 (datatype " << unsigned(field->datatype) << ")";
      return why.str();
    }
  }

  const std::uint64_t pointStep = cloud.point_step;
  // The transform reads "distance" as one float and "vp_x" as the first of
  // three consecutive floats, whatever datatype they declare.
  const sensor_msgs::PointField* distance = firstField(cloud, "distance");
  const sensor_msgs::PointField* viewpoint = firstField(cloud, "vp_x");
  for (const auto& field : cloud.fields)
  {
    std::uint64_t bytes = datatypeSize(field.datatype) * std::max<std::uint64_t>(field.count, 1);
    if (&field == distance)
      bytes = std::max<std::uint64_t>(bytes, 4);
    if (&field == viewpoint)
      bytes = std::max<std::uint64_t>(bytes, 12);
    if (std::uint64_t(field.offset) + bytes > pointStep)
    {
      why << "point_step " << pointStep << " is too small for field \"" << field.name << "\" (" << bytes
          << " bytes at offset " << field.offset << ")";
      return why.str();
    }
  }

  // Rows may carry padding after their points (such a cloud is packed before
  // the transform, which walks the points as if packed), and the data must
  // hold exactly height rows.
  const std::uint64_t packedRow = std::uint64_t(cloud.width) * pointStep;
  if (cloud.row_step < packedRow)
  {
    why << "row_step " << cloud.row_step << " is shorter than width * point_step = " << packedRow;
    return why.str();
  }
  const std::uint64_t expected = std::uint64_t(cloud.height) * cloud.row_step;
  if (cloud.data.size() < expected)
  {
    why << "data holds " << cloud.data.size() << " bytes, fewer than height * row_step = " << expected;
    return why.str();
  }
  if (cloud.data.size() > expected)
  {
    why << "data holds " << cloud.data.size() << " bytes, more than height * row_step = " << expected;
    return why.str();
  }
  return std::string();
}

bool needsPacking(const sensor_msgs::PointCloud2& cloud)
{
  if (cloud.row_step > std::uint64_t(cloud.width) * cloud.point_step)
    return true;
  if (reinterpret_cast<std::uintptr_t>(cloud.data.data()) % 4 != 0 || cloud.point_step % 4 != 0)
    return true;
  for (const char* name : {"x", "y", "z", "distance", "vp_x"})
  {
    const sensor_msgs::PointField* field = firstField(cloud, name);
    if (field && field->offset % 4 != 0)
      return true;
  }
  return false;
}

sensor_msgs::PointCloud2 packedXyz(const sensor_msgs::PointCloud2& cloud)
{
  sensor_msgs::PointCloud2 packed;
  packed.header = cloud.header;
  packed.height = cloud.height;
  packed.width = cloud.width;
  packed.is_bigendian = cloud.is_bigendian;
  packed.is_dense = cloud.is_dense;
  const char* names[3] = {"x", "y", "z"};
  std::uint32_t from[3];
  for (int k = 0; k < 3; ++k)
  {
    sensor_msgs::PointField field;
    field.name = names[k];
    field.offset = 4 * k;
    field.datatype = sensor_msgs::PointField::FLOAT32;
    field.count = 1;
    packed.fields.push_back(field);
    from[k] = firstField(cloud, names[k])->offset;
  }
  packed.point_step = 12;
  packed.row_step = 12 * cloud.width;
  packed.data.resize(std::size_t(packed.row_step) * packed.height);
  std::uint8_t* out = packed.data.data();
  for (std::uint32_t row = 0; row < cloud.height; ++row)
  {
    const std::uint8_t* point = cloud.data.data() + std::size_t(row) * cloud.row_step;
    for (std::uint32_t i = 0; i < cloud.width; ++i, point += cloud.point_step, out += 12)
      for (int k = 0; k < 3; ++k)
        std::memcpy(out + 4 * k, point + from[k], 4);
  }
  return packed;
}

octomap::OcTree* newSensorModelTree(double resolution)
{
  octomap::OcTree* tree = nullptr;
  try
  {
    tree = new octomap::OcTree(resolution);
  }
  catch (const std::bad_alloc&)
  {
    return nullptr;
  }
  tree->setProbHit(0.7);
  tree->setProbMiss(0.4);
  tree->setClampingThresMin(0.12);
  tree->setClampingThresMax(0.97);
  return tree;
}

void insertHits(const sensor_msgs::PointCloud2& cloud, octomap::OcTree& tree)
{
  if (!cloud.data.empty())
  {
    // A missing field throws, as the field iterators did.
    auto offsetOf = [&cloud](const std::string& name)
    {
      const sensor_msgs::PointField* field = firstField(cloud, name);
      if (!field)
        throw std::runtime_error("Field " + name + " does not exist");
      return field->offset;
    };
    const CloudPoints points{cloud.data.data(), cloud.width,   cloud.height,  cloud.point_step,
                             cloud.row_step,    offsetOf("x"), offsetOf("y"), offsetOf("z")};
    addHitsByVoxel(points, kInsertionRadius * kInsertionRadius, tree);
  }
  tree.updateInnerOccupancy();
}

}  // namespace occupancy_mapping
