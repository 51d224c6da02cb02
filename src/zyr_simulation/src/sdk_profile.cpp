#include "zyr_simulation/sdk_profile.h"

#include <cmath>
#include <functional>
#include <map>
#include <stdexcept>

namespace zyr_simulation
{
namespace
{
double number(const XmlRpc::XmlRpcValue& v, const std::string& where)
{
  // XmlRpcValue's conversions are non-const; the copy is cheap for scalars.
  XmlRpc::XmlRpcValue copy = v;
  double d;
  switch (copy.getType())
  {
    case XmlRpc::XmlRpcValue::TypeInt:
      d = static_cast<int>(copy);
      break;
    case XmlRpc::XmlRpcValue::TypeDouble:
      d = static_cast<double>(copy);
      break;
    default:
      throw std::invalid_argument(where + " is not a number");
  }
  if (!std::isfinite(d))
  {
    throw std::invalid_argument(where + " is not finite");
  }
  return d;
}

double ranged(double d, double lo, double hi, const std::string& where)
{
  if (d < lo || d > hi)
  {
    throw std::invalid_argument(where + " is out of range");
  }
  return d;
}

using Setter = std::function<void(ProfileStep&, double, const std::string&)>;

const std::map<std::string, Setter>& setters()
{
  const double kFloat = 3.0e38;
  static const std::map<std::string, Setter> table = {
      {"duration",
       [](ProfileStep& s, double d, const std::string& w)
       {
         if (!(d > 0.0))
         {
           throw std::invalid_argument(w + " must be positive");
         }
         s.duration = d;
       }},
      {"roll", [=](ProfileStep& s, double d, const std::string& w) { s.roll = ranged(d, -kFloat, kFloat, w); }},
      {"pitch", [=](ProfileStep& s, double d, const std::string& w) { s.pitch = ranged(d, -kFloat, kFloat, w); }},
      {"yaw", [=](ProfileStep& s, double d, const std::string& w) { s.yaw = ranged(d, -kFloat, kFloat, w); }},
      {"throttle", [=](ProfileStep& s, double d, const std::string& w) { s.throttle = ranged(d, -kFloat, kFloat, w); }},
      {"mode", [=](ProfileStep& s, double d, const std::string& w) { s.mode = ranged(d, -kFloat, kFloat, w); }},
      {"gear", [=](ProfileStep& s, double d, const std::string& w) { s.gear = ranged(d, -kFloat, kFloat, w); }},
      {"vx", [=](ProfileStep& s, double d, const std::string& w) { s.vx = ranged(d, -kFloat, kFloat, w); }},
      {"vy", [=](ProfileStep& s, double d, const std::string& w) { s.vy = ranged(d, -kFloat, kFloat, w); }},
      {"vz", [=](ProfileStep& s, double d, const std::string& w) { s.vz = ranged(d, -kFloat, kFloat, w); }},
      {"health_flag", [](ProfileStep& s, double d, const std::string& w)
       { s.health_flag = static_cast<uint8_t>(ranged(d, 0, 255, w)); }},
      {"latitude", [](ProfileStep& s, double d, const std::string&) { s.latitude = d; }},
      {"longitude", [](ProfileStep& s, double d, const std::string&) { s.longitude = d; }},
      {"altitude", [=](ProfileStep& s, double d, const std::string& w) { s.altitude = ranged(d, -kFloat, kFloat, w); }},
      {"height", [=](ProfileStep& s, double d, const std::string& w) { s.height = ranged(d, -kFloat, kFloat, w); }},
      {"health",
       [](ProfileStep& s, double d, const std::string& w) { s.health = static_cast<int8_t>(ranged(d, -128, 127, w)); }},
  };
  return table;
}
}  // namespace

std::vector<ProfileStep> parseProfile(const XmlRpc::XmlRpcValue& value)
{
  XmlRpc::XmlRpcValue list = value;
  if (list.getType() == XmlRpc::XmlRpcValue::TypeInvalid)
  {
    return {ProfileStep()};
  }
  if (list.getType() != XmlRpc::XmlRpcValue::TypeArray || list.size() == 0)
  {
    throw std::invalid_argument("profile must be a non-empty list of steps");
  }
  std::vector<ProfileStep> steps;
  ProfileStep step;
  for (int i = 0; i < list.size(); ++i)
  {
    const std::string where = "profile step " + std::to_string(i + 1);
    if (list[i].getType() != XmlRpc::XmlRpcValue::TypeStruct)
    {
      throw std::invalid_argument(where + " is not a struct of fields");
    }
    for (auto& field : list[i])
    {
      const auto setter = setters().find(field.first);
      const std::string name = where + " field \"" + field.first + "\"";
      if (setter == setters().end())
      {
        throw std::invalid_argument(name + " is unknown");
      }
      setter->second(step, number(field.second, name), name);
    }
    steps.push_back(step);
  }
  return steps;
}

const ProfileStep& stepAt(const std::vector<ProfileStep>& profile, double elapsed, bool loop)
{
  double total = 0.0;
  for (const ProfileStep& s : profile)
  {
    total += s.duration;
  }
  if (loop && elapsed >= total)
  {
    elapsed = std::fmod(elapsed, total);
  }
  for (const ProfileStep& s : profile)
  {
    if (elapsed < s.duration)
    {
      return s;
    }
    elapsed -= s.duration;
  }
  return profile.back();
}

}  // namespace zyr_simulation
