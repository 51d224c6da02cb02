// The pieces of the TCP state server stand-in that need no ROS graph: the
// 84-byte record encoding, CSV replay files, scripted profiles and the parser
// of the client's "Pause" / "Resume" byte stream.
#ifndef ZYR_SIMULATION_STATE_STREAM_H
#define ZYR_SIMULATION_STATE_STREAM_H

#include <zyr_simulation/StateRecord.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zyr_simulation
{
const std::size_t kStateRecordBytes = 84;
typedef std::array<unsigned char, kStateRecordBytes> StateRecordBytes;

// Packed little-endian wire form: doubles vx vy vz, int32 health_flag, doubles
// q0..q3, pitch, roll, throttle.
StateRecordBytes encodeStateRecord(const StateRecord& record);

// One CSV data line: eleven comma-separated numbers in record order. Returns
// false and says why in `error` when the line is not such a line.
bool parseStateRecordLine(const std::string& line, StateRecord& record, std::string& error);

// Reads a replay file. Blank lines and lines starting with '#' are skipped, and
// so is a first line whose first field is not a number (a column header).
// Throws std::runtime_error naming the file and line of the first bad line, or
// when the file cannot be read or holds no record.
std::vector<StateRecord> loadStateRecordCsv(const std::string& path);

// Built-in vehicle scripts, so a demo or test needs no file.
//  "cruise":   level flight at `speed` m/s towards `heading_deg` (0 = +x, 90 = +y),
//              healthy velocity, the attitude yawed to the heading, sticks centred.
//  "counting": record n (n = 1, 2, ...) has vx = n, vy = -n, vz = n / 4,
//              health_flag 1, the zero rotation, pitch = 100 n, roll = -100 n,
//              throttle = n: every record tells which one it is.
class ScriptedProfile
{
public:
  // Throws std::invalid_argument for an unknown name.
  ScriptedProfile(const std::string& name, double speed, double heading_deg);
  // The record of step 0, 1, 2, ...
  StateRecord at(uint64_t step) const;

private:
  bool counting_;
  double speed_;
  double heading_rad_;
};

// The same record standing still: velocity zero, everything else kept.
StateRecord heldStill(const StateRecord& record);

// Splits the client's bytes into commands. Commands may arrive split over
// several reads or glued together; a byte that cannot start either command is
// skipped and counted.
class CommandParser
{
public:
  enum Command
  {
    PAUSE,
    RESUME
  };

  std::vector<Command> feed(const char* data, std::size_t size, std::size_t& skipped);
  void reset()
  {
    pending_.clear();
  }

private:
  std::string pending_;
};
}  // namespace zyr_simulation

#endif  // ZYR_SIMULATION_STATE_STREAM_H
