#include "zyr_simulation/pilot_script.h"

#include <cmath>
#include <fstream>
#include <stdexcept>

#include "text_lines.h"

namespace zyr_simulation
{
namespace
{
const double kStickLimit = 10000.0;
}

PilotScript PilotScript::parse(std::istream& in, const std::string& source)
{
  PilotScript script;
  for (const text::Line& line : text::readLines(in))
  {
    const std::vector<std::string>& w = line.words;
    if (script.has_end_)
      throw text::error(source, line.number, "nothing may follow the 'end' line");
    if (w[0] == "end")
    {
      if (w.size() != 2)
        throw text::error(source, line.number, "expected 'end T'");
      script.end_ = text::number(w[1], source, line.number);
      script.has_end_ = true;
      if (!script.keys_.empty() && script.end_ < script.keys_.back().time)
        throw text::error(source, line.number, "the end lies before the previous line");
      continue;
    }
    const bool ramp = w.size() == 6 && w[5] == "ramp";
    if (w.size() != 5 && !ramp)
      throw text::error(source, line.number, "expected 'T ROLL PITCH YAW THROTTLE [ramp]' or 'end T'");
    Key key;
    key.time = text::number(w[0], source, line.number);
    double values[4];
    for (int i = 0; i < 4; ++i)
    {
      values[i] = text::number(w[i + 1], source, line.number);
      if (std::abs(values[i]) > kStickLimit)
        throw text::error(source, line.number, "stick value '" + w[i + 1] + "' outside -10000..+10000");
    }
    key.sticks.roll = values[0];
    key.sticks.pitch = values[1];
    key.sticks.yaw = values[2];
    key.sticks.throttle = values[3];
    key.ramp = ramp;
    if (key.time < 0.0)
      throw text::error(source, line.number, "time must not be negative");
    if (!script.keys_.empty() && key.time < script.keys_.back().time)
      throw text::error(source, line.number, "time goes back");
    script.keys_.push_back(key);
  }
  if (!script.has_end_)
    script.end_ = script.keys_.empty() ? 0.0 : script.keys_.back().time;
  return script;
}

PilotScript PilotScript::load(const std::string& path)
{
  std::ifstream in(path);
  if (!in)
    throw std::runtime_error(path + ": cannot open pilot script");
  return parse(in, path);
}

double PilotScript::endTime() const
{
  return end_;
}

Sticks PilotScript::sticksAt(double time) const
{
  if (has_end_ && time >= end_)
    return Sticks();
  // The last key at or before `time`, and whether a ramp towards the next one is under way.
  Sticks from;  // centred before the first key
  double from_time = 0.0;
  for (const Key& key : keys_)
  {
    if (key.time <= time)
    {
      from = key.sticks;
      from_time = key.time;
      continue;
    }
    if (!key.ramp)
      return from;
    const double span = key.time - from_time;
    const double f = span > 0.0 ? (time - from_time) / span : 1.0;
    Sticks s;
    s.roll = from.roll + f * (key.sticks.roll - from.roll);
    s.pitch = from.pitch + f * (key.sticks.pitch - from.pitch);
    s.yaw = from.yaw + f * (key.sticks.yaw - from.yaw);
    s.throttle = from.throttle + f * (key.sticks.throttle - from.throttle);
    return s;
  }
  return from;
}

Pilot::Pilot(const PilotScript& script, FrozenSticks frozen_sticks) : script_(script), frozen_sticks_(frozen_sticks) {}

void Pilot::advance(double dt)
{
  if (!frozen_ && dt > 0.0 && std::isfinite(dt))
    time_ += dt;
}

Sticks Pilot::sticks() const
{
  if (frozen_ && frozen_sticks_ == FrozenSticks::Centre)
    return Sticks();
  return script_.sticksAt(time_);
}

}  // namespace zyr_simulation
