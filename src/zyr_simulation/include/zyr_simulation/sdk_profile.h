// The scripted profile of the SDK node stand-in: a list of steps, each holding
// the values of the three SDK streams for a while. Parsed from the ROS
// parameter "~profile", e.g.
//
//   profile:
//     - {duration: 2.0, pitch: 3000, height: 10.0, health: 4}
//     - {duration: 1.0, throttle: 5000, vx: 0.5}
//
// A field a step leaves out keeps the value of the step before (or the
// default below, for the first step).
#ifndef ZYR_SIMULATION_SDK_PROFILE_H
#define ZYR_SIMULATION_SDK_PROFILE_H

#include <xmlrpcpp/XmlRpcValue.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zyr_simulation
{
struct ProfileStep
{
  double duration = 1.0;  // seconds
  // zyr_sdk/rc_channels, -10000..10000; mode +8000 is "API"
  float roll = 0.0f;
  float pitch = 0.0f;
  float yaw = 0.0f;
  float throttle = 0.0f;
  float mode = 8000.0f;
  float gear = -10000.0f;
  // zyr_sdk/velocity, m/s
  float vx = 0.0f;
  float vy = 0.0f;
  float vz = 0.0f;
  uint8_t health_flag = 1;
  // zyr_sdk/global_position
  double latitude = 0.0;
  double longitude = 0.0;
  float altitude = 0.0f;
  float height = 0.0f;
  int8_t health = 5;
};

// Parses "~profile"; an unset parameter (invalid value) gives one default
// step. Throws std::invalid_argument naming the step and field at fault for a
// value that is not a list of structs, an unknown field, a non-number, a value
// out of its type's range or a duration that is not positive.
std::vector<ProfileStep> parseProfile(const XmlRpc::XmlRpcValue& value);

// The step in force `elapsed` seconds after the start. After the last step
// the profile starts again if `loop`, else the last step holds.
const ProfileStep& stepAt(const std::vector<ProfileStep>& profile, double elapsed, bool loop);

}  // namespace zyr_simulation

#endif  // ZYR_SIMULATION_SDK_PROFILE_H
