#include "zyr_simulation/state_stream.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace zyr_simulation
{
namespace
{
void putDouble(unsigned char* out, double value)
{
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  for (int i = 0; i < 8; ++i)
  {
    out[i] = static_cast<unsigned char>(bits >> (8 * i));
  }
}

void putInt32(unsigned char* out, int32_t value)
{
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  for (int i = 0; i < 4; ++i)
  {
    out[i] = static_cast<unsigned char>(bits >> (8 * i));
  }
}

std::string trimmed(const std::string& s)
{
  const std::size_t first = s.find_first_not_of(" \t\r\n");
  if (first == std::string::npos)
  {
    return std::string();
  }
  const std::size_t last = s.find_last_not_of(" \t\r\n");
  return s.substr(first, last - first + 1);
}

bool parseDouble(const std::string& text, double& value)
{
  if (text.empty())
  {
    return false;
  }
  char* end = NULL;
  errno = 0;
  value = std::strtod(text.c_str(), &end);
  return *end == '\0' && errno != ERANGE;
}

bool parseInt32(const std::string& text, int32_t& value)
{
  if (text.empty())
  {
    return false;
  }
  char* end = NULL;
  errno = 0;
  const long parsed = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || errno == ERANGE || parsed < INT32_MIN || parsed > INT32_MAX)
  {
    return false;
  }
  value = static_cast<int32_t>(parsed);
  return true;
}

std::vector<std::string> splitFields(const std::string& line)
{
  std::vector<std::string> fields;
  std::stringstream in(line);
  std::string field;
  while (std::getline(in, field, ','))
  {
    fields.push_back(trimmed(field));
  }
  if (!line.empty() && line[line.size() - 1] == ',')
  {
    fields.push_back(std::string());
  }
  return fields;
}

const char* const kFieldNames[11] = {"vx", "vy", "vz",    "health_flag", "q0",      "q1",
                                     "q2", "q3", "pitch", "roll",        "throttle"};
}  // namespace

StateRecordBytes encodeStateRecord(const StateRecord& r)
{
  StateRecordBytes out;
  unsigned char* p = out.data();
  putDouble(p + 0, r.vx);
  putDouble(p + 8, r.vy);
  putDouble(p + 16, r.vz);
  putInt32(p + 24, r.health_flag);
  putDouble(p + 28, r.q0);
  putDouble(p + 36, r.q1);
  putDouble(p + 44, r.q2);
  putDouble(p + 52, r.q3);
  putDouble(p + 60, r.pitch);
  putDouble(p + 68, r.roll);
  putDouble(p + 76, r.throttle);
  return out;
}

bool parseStateRecordLine(const std::string& line, StateRecord& record, std::string& error)
{
  const std::vector<std::string> fields = splitFields(trimmed(line));
  if (fields.size() != 11)
  {
    std::ostringstream why;
    why << "expected 11 fields (vx,vy,vz,health_flag,q0,q1,q2,q3,pitch,roll,throttle), found " << fields.size();
    error = why.str();
    return false;
  }
  // Fields in record order; health_flag (index 3) is the one integer.
  double StateRecord::*const doubles[11] = {
      &StateRecord::vx,    &StateRecord::vy,   &StateRecord::vz,      NULL,
      &StateRecord::q0,    &StateRecord::q1,   &StateRecord::q2,      &StateRecord::q3,
      &StateRecord::pitch, &StateRecord::roll, &StateRecord::throttle};
  StateRecord parsed;  // a bad line leaves `record` alone
  for (int i = 0; i < 11; ++i)
  {
    const bool ok = i == 3 ? parseInt32(fields[i], parsed.health_flag) : parseDouble(fields[i], parsed.*doubles[i]);
    if (!ok)
    {
      error = std::string("field ") + kFieldNames[i] + " is not " + (i == 3 ? "a 32-bit integer" : "a number") + ": '" +
              fields[i] + "'";
      return false;
    }
  }
  record = parsed;
  return true;
}

std::vector<StateRecord> loadStateRecordCsv(const std::string& path)
{
  std::ifstream in(path.c_str());
  if (!in)
  {
    throw std::runtime_error("cannot read " + path);
  }
  std::vector<StateRecord> records;
  std::string line;
  bool first_data_line = true;
  for (int number = 1; std::getline(in, line); ++number)
  {
    const std::string text = trimmed(line);
    if (text.empty() || text[0] == '#')
    {
      continue;
    }
    StateRecord record;
    std::string error;
    if (!parseStateRecordLine(text, record, error))
    {
      double ignored;
      if (first_data_line && !parseDouble(splitFields(text)[0], ignored))
      {
        first_data_line = false;  // a column header
        continue;
      }
      std::ostringstream what;
      what << path << ":" << number << ": " << error;
      throw std::runtime_error(what.str());
    }
    first_data_line = false;
    records.push_back(record);
  }
  if (records.empty())
  {
    throw std::runtime_error(path + " holds no record");
  }
  return records;
}

ScriptedProfile::ScriptedProfile(const std::string& name, double speed, double heading_deg)
    : counting_(name == "counting"), speed_(speed), heading_rad_(heading_deg * M_PI / 180.0)
{
  if (name != "counting" && name != "cruise")
  {
    throw std::invalid_argument("unknown profile '" + name + "' (known: cruise, counting)");
  }
}

StateRecord ScriptedProfile::at(uint64_t step) const
{
  StateRecord r;
  r.health_flag = 1;
  if (counting_)
  {
    const double n = static_cast<double>(step + 1);
    r.vx = n;
    r.vy = -n;
    r.vz = n / 4;
    r.q0 = 1.0;
    r.pitch = 100 * n;
    r.roll = -100 * n;
    r.throttle = n;
    return r;
  }
  r.vx = speed_ * std::cos(heading_rad_);
  r.vy = speed_ * std::sin(heading_rad_);
  r.q0 = std::cos(heading_rad_ / 2);
  r.q3 = std::sin(heading_rad_ / 2);
  return r;
}

StateRecord heldStill(const StateRecord& record)
{
  StateRecord still = record;
  still.vx = 0.0;
  still.vy = 0.0;
  still.vz = 0.0;
  return still;
}

std::vector<CommandParser::Command> CommandParser::feed(const char* data, std::size_t size, std::size_t& skipped)
{
  static const std::string kPause("Pause");
  static const std::string kResume("Resume");
  pending_.append(data, size);
  std::vector<Command> commands;
  skipped = 0;
  while (!pending_.empty())
  {
    if (pending_.compare(0, kPause.size(), kPause) == 0)
    {
      commands.push_back(PAUSE);
      pending_.erase(0, kPause.size());
    }
    else if (pending_.compare(0, kResume.size(), kResume) == 0)
    {
      commands.push_back(RESUME);
      pending_.erase(0, kResume.size());
    }
    else if ((pending_.size() < kPause.size() && kPause.compare(0, pending_.size(), pending_) == 0) ||
             (pending_.size() < kResume.size() && kResume.compare(0, pending_.size(), pending_) == 0))
    {
      break;  // the rest of a command is still on its way
    }
    else
    {
      pending_.erase(0, 1);
      ++skipped;
    }
  }
  return commands;
}
}  // namespace zyr_simulation
