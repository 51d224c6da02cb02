// Messages read only as far as the watchdog needs them. A LiDAR cloud is
// megabytes of points of which the watchdog wants the stamp, the sizes and
// what the points say (whether any would reach the map, and a hash of their
// bytes): it reads them in place, in the receive buffer, without copying
// them into a message. A map is kilobytes of tree of which it wants the stamp.
//
// Their MD5 sum and type are "*", as for a raw subscriber, so that any
// publisher is accepted; what is read must then be laid out as
// sensor_msgs/PointCloud2 (CloudSummary) or start with a std_msgs/Header
// (HeaderOnly). A message too short for what is read throws
// ros::serialization::StreamOverrunException, which roscpp reports and drops,
// before a byte beyond it is looked at.
#ifndef ZYR_COLLISION_AVOIDANCE_SKIMMED_MESSAGES_H
#define ZYR_COLLISION_AVOIDANCE_SKIMMED_MESSAGES_H

#include <ros/message_traits.h>
#include <ros/serialization.h>
#include <std_msgs/Header.h>

#include <boost/shared_ptr.hpp>
#include <cstdint>

#include "zyr_collision_avoidance/watchdog/cloud_content.h"

namespace watchdog
{
/// The header and the sizes of a sensor_msgs/PointCloud2, and what its points say.
struct CloudSummary
{
  std_msgs::Header header;
  std::uint32_t height = 0;
  std::uint32_t width = 0;
  std::uint32_t fields = 0;
  std::uint32_t pointStep = 0;
  std::uint32_t rowStep = 0;
  std::uint32_t dataBytes = 0;
  CloudContent content;

  typedef boost::shared_ptr<CloudSummary> Ptr;
  typedef boost::shared_ptr<const CloudSummary> ConstPtr;
};

/// The std_msgs/Header at the start of a message; the rest is skipped.
struct HeaderOnly
{
  std_msgs::Header header;

  typedef boost::shared_ptr<HeaderOnly> Ptr;
  typedef boost::shared_ptr<const HeaderOnly> ConstPtr;
};
}  // namespace watchdog

namespace ros
{
namespace message_traits
{
template <class M>
struct AnyPublisherTraits
{
  static const char* value()
  {
    return "*";
  }
  static const char* value(const M&)
  {
    return "*";
  }
};
template <>
struct MD5Sum<watchdog::CloudSummary> : AnyPublisherTraits<watchdog::CloudSummary>
{
};
template <>
struct DataType<watchdog::CloudSummary> : AnyPublisherTraits<watchdog::CloudSummary>
{
};
template <>
struct Definition<watchdog::CloudSummary> : AnyPublisherTraits<watchdog::CloudSummary>
{
};
template <>
struct MD5Sum<watchdog::HeaderOnly> : AnyPublisherTraits<watchdog::HeaderOnly>
{
};
template <>
struct DataType<watchdog::HeaderOnly> : AnyPublisherTraits<watchdog::HeaderOnly>
{
};
template <>
struct Definition<watchdog::HeaderOnly> : AnyPublisherTraits<watchdog::HeaderOnly>
{
};
}  // namespace message_traits

namespace serialization
{
// Read-only: the watchdog never publishes these.
template <>
struct Serializer<watchdog::CloudSummary>
{
  template <typename Stream>
  static void read(Stream& stream, watchdog::CloudSummary& m)
  {
    stream.next(m.header);
    stream.next(m.height);
    stream.next(m.width);
    // sensor_msgs/PointField[]: name, offset, datatype, count. The first field
    // of a name is the one the mapper reads.
    watchdog::PointLayout layout;
    layout.height = m.height;
    layout.width = m.width;
    stream.next(m.fields);
    for (std::uint32_t i = 0; i < m.fields; ++i)
    {
      std::uint32_t nameLength = 0;
      stream.next(nameLength);
      const std::uint8_t* name = stream.advance(nameLength);
      std::uint32_t offset = 0;
      std::uint8_t datatype = 0;
      stream.next(offset);
      stream.next(datatype);
      stream.advance(4);  // count
      std::int64_t* coordinate = nameLength != 1  ? nullptr
                                 : name[0] == 'x' ? &layout.x
                                 : name[0] == 'y' ? &layout.y
                                 : name[0] == 'z' ? &layout.z
                                                  : nullptr;
      if (coordinate && *coordinate == -1)
        *coordinate = datatype == kFloat32 ? offset : -2;  // -2: taken by a field the mapper cannot read
    }
    stream.advance(1);  // is_bigendian: the points are read in the machine's order, as the mapper reads them
    stream.next(m.pointStep);
    stream.next(m.rowStep);
    layout.pointStep = m.pointStep;
    layout.rowStep = m.rowStep;
    stream.next(m.dataBytes);
    const std::uint8_t* data = stream.advance(m.dataBytes);  // throws unless all of them are there
    m.content = watchdog::examineCloud(layout, data, m.dataBytes);
    // is_dense stays unread.
  }

private:
  static constexpr std::uint8_t kFloat32 = 7;  // sensor_msgs/PointField FLOAT32
};

template <>
struct Serializer<watchdog::HeaderOnly>
{
  template <typename Stream>
  static void read(Stream& stream, watchdog::HeaderOnly& m)
  {
    stream.next(m.header);
  }
};
}  // namespace serialization
}  // namespace ros

#endif  // ZYR_COLLISION_AVOIDANCE_SKIMMED_MESSAGES_H
