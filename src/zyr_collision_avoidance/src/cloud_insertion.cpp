#include "zyr_collision_avoidance/cloud_insertion.h"

#include <algorithm>
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

  // The transform walks width * height points packed one after the other,
  // the insertion walks every point_step of the data: the two agree, and stay
  // inside the data, only for packed rows and data of exactly height rows.
  const std::uint64_t packedRow = std::uint64_t(cloud.width) * pointStep;
  if (cloud.row_step < packedRow)
  {
    why << "row_step " << cloud.row_step << " is shorter than width * point_step = " << packedRow;
    return why.str();
  }
  if (cloud.row_step > packedRow)
  {
    why << "row_step " << cloud.row_step << " leaves padding after width * point_step = " << packedRow;
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
