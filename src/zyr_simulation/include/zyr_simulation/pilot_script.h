// The simulated pilot: stick positions over time, read from a file, played on a
// clock that the state server's "Pause" freezes and "Resume" lets go on.
#ifndef ZYR_SIMULATION_PILOT_SCRIPT_H
#define ZYR_SIMULATION_PILOT_SCRIPT_H

#include <iosfwd>
#include <string>
#include <vector>

namespace zyr_simulation
{
// Raw remote-control channels, -10000..+10000 each: roll +right, pitch +forward (pushed away), yaw +right,
// throttle +up.
struct Sticks
{
  double roll = 0.0;
  double pitch = 0.0;
  double yaw = 0.0;
  double throttle = 0.0;
};

class PilotScript
{
public:
  struct Key
  {
    double time;
    Sticks sticks;
    bool ramp;  // reached by moving linearly from the previous key, else set at `time`
  };

  // An empty script: sticks centred all the time, finished at once.
  PilotScript() = default;

  // Format, one item per line, '#' starts a comment, times in seconds from the start of the script:
  //   T ROLL PITCH YAW THROTTLE          from time T on, hold these sticks
  //   T ROLL PITCH YAW THROTTLE ramp     move the sticks linearly from the previous line's, reaching these at T
  //   end T                              the script ends at T: sticks centred from then on
  // Times must not decrease; stick values lie within -10000..+10000. Before the first line the sticks are centred.
  // Throws std::runtime_error naming `source` and the line for anything it cannot read.
  static PilotScript parse(std::istream& in, const std::string& source);
  static PilotScript load(const std::string& path);

  Sticks sticksAt(double time) const;
  // When the script is over: its `end` line, else its last line.
  double endTime() const;
  const std::vector<Key>& keys() const
  {
    return keys_;
  }

private:
  std::vector<Key> keys_;
  double end_ = 0.0;
  bool has_end_ = false;
};

// Plays a script. While frozen, the script's clock stands still; the sticks either stay where the script had them
// (the pilot holds them) or go to the centre (the pilot lets go).
class Pilot
{
public:
  enum class FrozenSticks
  {
    Hold,
    Centre
  };

  explicit Pilot(const PilotScript& script, FrozenSticks frozen_sticks = FrozenSticks::Hold);

  // Runs the script's clock on by dt seconds, unless frozen.
  void advance(double dt);
  void setFrozen(bool frozen)
  {
    frozen_ = frozen;
  }
  bool frozen() const
  {
    return frozen_;
  }
  double scriptTime() const
  {
    return time_;
  }
  bool finished() const
  {
    return time_ >= script_.endTime();
  }
  Sticks sticks() const;

private:
  PilotScript script_;
  FrozenSticks frozen_sticks_;
  bool frozen_ = false;
  double time_ = 0.0;
};

}  // namespace zyr_simulation

#endif
