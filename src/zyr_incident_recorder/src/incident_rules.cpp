#include "zyr_incident_recorder/incident_rules.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <sstream>

namespace incident_rules
{
namespace
{
// UTC calendar time of `unixSeconds` with milliseconds; `timeSeparator`
// stands between hours, minutes and seconds.
std::string utcText(double unixSeconds, char timeSeparator)
{
  if (!std::isfinite(unixSeconds) || unixSeconds < 0.0)
    unixSeconds = 0.0;
  // Milliseconds are rounded once, so that 59.9996 s becomes the next minute
  // instead of "59.1000".
  const long long millis = std::llround(unixSeconds * 1000.0);
  const std::time_t whole = static_cast<std::time_t>(millis / 1000);
  std::tm utc{};
  gmtime_r(&whole, &utc);
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d%c%02d%c%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, timeSeparator, utc.tm_min, timeSeparator, utc.tm_sec,
                static_cast<int>(millis % 1000));
  return text;
}

class JsonWriter
{
public:
  std::string text() const
  {
    return out_.str();
  }

  void number(double v)
  {
    if (!std::isfinite(v))
    {
      out_ << "null";
      return;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    out_ << buf;
  }

  // Times: fixed to the millisecond, however large.
  void time(double v)
  {
    if (!std::isfinite(v))
    {
      out_ << "null";
      return;
    }
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.3f", v);
    out_ << buf;
  }

  void string(const std::string& s)
  {
    out_ << '"';
    for (const char c : s)
    {
      if (c == '"' || c == '\\')
        out_ << '\\' << c;
      else if (static_cast<unsigned char>(c) < 0x20)
      {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
        out_ << buf;
      }
      else
        out_ << c;
    }
    out_ << '"';
  }

  void vec(const Vec3& v)
  {
    out_ << '[';
    number(v.x);
    out_ << ", ";
    number(v.y);
    out_ << ", ";
    number(v.z);
    out_ << ']';
  }

  void strings(const std::vector<std::string>& list)
  {
    out_ << '[';
    for (std::size_t i = 0; i < list.size(); ++i)
    {
      if (i > 0)
        out_ << ", ";
      string(list[i]);
    }
    out_ << ']';
  }

  template <class T, class Write>
  void optional(const boost::optional<T>& value, Write write)
  {
    if (value)
      write(*value);
    else
      out_ << "null";
  }

  // Starts the member `name` of the object being written.
  void key(const std::string& name, int indent)
  {
    out_ << (first_ ? "" : ",") << '\n' << std::string(indent, ' ');
    string(name);
    out_ << ": ";
    first_ = false;
  }

  void open()
  {
    out_ << '{';
    first_ = true;
  }

  void close(int indent)
  {
    out_ << '\n' << std::string(indent, ' ') << '}';
    first_ = false;
  }

  std::ostringstream& raw()
  {
    return out_;
  }

private:
  std::ostringstream out_;
  bool first_ = true;
};

double horizontalLength(const Vec3& v)
{
  return std::hypot(v.x, v.y);
}
}  // namespace

std::string folderName(double unixSeconds)
{
  return utcText(unixSeconds, '-');
}

bool isFolderName(const std::string& name)
{
  // "YYYY-MM-DDTHH-MM-SS.mmmZ", optionally followed by "-N"
  static const std::string shape = "dddd-dd-ddTdd-dd-dd.dddZ";
  if (name.size() < shape.size())
    return false;
  for (std::size_t i = 0; i < shape.size(); ++i)
  {
    const bool digit = std::isdigit(static_cast<unsigned char>(name[i])) != 0;
    if (shape[i] == 'd' ? !digit : name[i] != shape[i])
      return false;
  }
  const std::string rest = name.substr(shape.size());
  if (rest.empty())
    return true;
  return rest.size() >= 2 && rest[0] == '-' &&
         std::all_of(rest.begin() + 1, rest.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

std::vector<std::string> foldersToRemove(std::vector<std::string> names, std::size_t keep)
{
  names.erase(std::remove_if(names.begin(), names.end(), [](const std::string& n) { return !isFolderName(n); }),
              names.end());
  // Same millisecond: "...Z" before "...Z-2" before "...Z-10".
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b)
            {
              if (a.size() != b.size() && a.compare(0, 24, b, 0, 24) == 0)
                return a.size() < b.size();
              return a < b;
            });
  if (names.size() <= keep)
    return {};
  names.resize(names.size() - keep);
  return names;
}

std::vector<std::string> failsafeStages(const std::string& reason)
{
  std::vector<std::string> stages;
  std::size_t from = 0;
  while (from < reason.size())
  {
    const std::size_t end = std::min(reason.find("; ", from), reason.size());
    const std::string part = reason.substr(from, end - from);
    const std::size_t colon = part.find(": ");
    if (colon != std::string::npos && colon > 0)
      stages.push_back(part.substr(0, colon));
    from = end + 2;
  }
  return stages;
}

double headingDegrees(const Vec3& v)
{
  if (!(horizontalLength(v) > 0.0))
    return std::numeric_limits<double>::quiet_NaN();
  return std::atan2(v.y, v.x) * 180.0 / M_PI;
}

std::string toJson(const Summary& s)
{
  JsonWriter w;
  auto num = [&w](double v) { w.number(v); };
  auto vec = [&w](const Vec3& v) { w.vec(v); };
  w.open();
  w.key("time_utc", 2);
  w.string(utcText(s.stamp, ':'));
  w.key("stamp", 2);
  w.time(s.stamp);
  w.key("dangers", 2);
  w.raw() << s.dangers;
  w.key("cause", 2);
  w.open();
  w.key("source", 4);
  w.string(s.cause == Cause::Failsafe ? "failsafe" : "monitor");
  w.key("publisher", 4);
  w.string(s.causePublisher);
  w.key("reason", 4);
  w.optional(s.causeReason, [&w](const std::string& r) { w.string(r); });
  w.key("stages", 4);
  w.strings(s.causeReason ? failsafeStages(*s.causeReason) : std::vector<std::string>());
  w.close(2);

  boost::optional<double> speed;
  if (s.velocity)
    speed = horizontalLength(*s.velocity);
  w.key("speed_mps", 2);
  w.optional(speed, num);
  w.key("heading_deg", 2);
  w.number(s.velocity ? headingDegrees(*s.velocity) : std::numeric_limits<double>::quiet_NaN());
  w.key("velocity_mps", 2);
  w.optional(s.velocity, vec);

  w.key("probe", 2);
  const double range =
      s.probeFar
          ? std::sqrt(s.probeFar->x * s.probeFar->x + s.probeFar->y * s.probeFar->y + s.probeFar->z * s.probeFar->z)
          : 0.0;
  if (s.probeFar && range > 0.0)
  {
    w.open();
    w.key("direction", 4);
    w.vec(Vec3{s.probeFar->x / range, s.probeFar->y / range, s.probeFar->z / range});
    w.key("heading_deg", 4);
    w.number(headingDegrees(*s.probeFar));
    w.key("range_m", 4);
    w.number(range);
    w.close(2);
  }
  else
    w.raw() << "null";

  w.key("debug", 2);
  if (s.debug)
  {
    w.open();
    w.key("speed_mps", 4);
    w.number(s.debug->x);
    w.key("stick_length", 4);
    w.number(s.debug->y);
    w.key("collision_distance_m", 4);
    w.number(s.debug->z);
    w.close(2);
  }
  else
    w.raw() << "null";
  w.key("collision_point", 2);
  w.optional(s.collisionPoint, vec);
  w.key("stick_vector", 2);
  w.optional(s.stick, vec);
  w.key("guard_withheld_s", 2);
  w.optional(s.withheldSeconds, num);

  w.key("map", 2);
  if (s.mapStamp)
  {
    w.open();
    w.key("received", 4);
    w.time(*s.mapStamp);
    w.key("occupied_voxels", 4);
    w.optional(s.occupiedVoxels, [&w](std::uint64_t n) { w.raw() << n; });
    w.key("resolution_m", 4);
    w.optional(s.mapResolution, num);
    w.close(2);
  }
  else
    w.raw() << "null";

  w.key("bag", 2);
  w.open();
  w.key("start", 4);
  w.time(s.bagStart);
  w.key("end", 4);
  w.time(s.bagEnd);
  w.key("messages", 4);
  w.raw() << s.bagMessages;
  w.key("topics", 4);
  w.strings(s.topics);
  w.close(2);
  w.close(0);
  w.raw() << '\n';
  return w.text();
}
}  // namespace incident_rules
