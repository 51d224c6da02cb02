// Messages read only as far as the watchdog needs them. A LiDAR cloud is
// megabytes of points of which the watchdog wants the stamp and the size, a
// map kilobytes of tree of which it wants the stamp: these types take their
// topics' messages and read the leading fields, leaving the rest of the
// received bytes unread and uncopied.
//
// Their MD5 sum and type are "*", as for a raw subscriber, so that any
// publisher is accepted; what is read must then be laid out as
// sensor_msgs/PointCloud2 (CloudSummary) or start with a std_msgs/Header
// (HeaderOnly). A message too short for what is read throws
// ros::serialization::StreamOverrunException, which roscpp reports and drops.
#ifndef ZYR_COLLISION_AVOIDANCE_SKIMMED_MESSAGES_H
#define ZYR_COLLISION_AVOIDANCE_SKIMMED_MESSAGES_H

#include <ros/message_traits.h>
#include <ros/serialization.h>
#include <std_msgs/Header.h>

#include <boost/shared_ptr.hpp>
#include <cstdint>

namespace watchdog
{
/// The header and the sizes of a sensor_msgs/PointCloud2; its points are skipped.
struct CloudSummary
{
  std_msgs::Header header;
  std::uint32_t height = 0;
  std::uint32_t width = 0;
  std::uint32_t fields = 0;
  std::uint32_t pointStep = 0;
  std::uint32_t rowStep = 0;
  std::uint32_t dataBytes = 0;

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
    // sensor_msgs/PointField[]: name, offset, datatype, count
    stream.next(m.fields);
    for (std::uint32_t i = 0; i < m.fields; ++i)
    {
      std::uint32_t nameLength = 0;
      stream.next(nameLength);
      stream.advance(nameLength);
      stream.advance(4 + 1 + 4);
    }
    stream.advance(1);  // is_bigendian
    stream.next(m.pointStep);
    stream.next(m.rowStep);
    stream.next(m.dataBytes);  // the length of `data`, whose bytes stay unread
  }
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
