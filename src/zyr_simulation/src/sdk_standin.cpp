// sdk_standin: takes the place of the flight-controller SDK node in tests,
// demos and simulations. It publishes the SDK's velocity, stick and global
// position streams from a scripted profile, serves the attitude-control and
// permission-control services, and reports every request it receives.
//
// Private parameters (read once at start):
//   ~rate                      Hz of every stream (default 50)
//   ~publish_velocity          publish "zyr_sdk/velocity" (default true)
//   ~publish_rc_channels       publish "zyr_sdk/rc_channels" (default true)
//   ~publish_global_position   publish "zyr_sdk/global_position" (default true)
//   ~profile                   list of steps, see sdk_profile.h (default: one
//                              step, sticks centred, at rest, height 0, health 5)
//   ~loop                      start the profile again after its last step
//                              (default false: the last step holds)
//   ~attitude_control/mode     "answer", "slow", "refuse" or "never" (default answer)
//   ~attitude_control/delay    seconds before a "slow" answer (default 0.5)
//   ~sdk_permission_control/mode, ~sdk_permission_control/delay   the same
//   ~csv                       file that receives one line per request (default none)
//
// Live inputs:
//   ~set_height (std_msgs/Float32), ~set_gps_health (std_msgs/Int8): from then
//     on the published height / GPS health, whatever the profile says
//   ~set_behaviour (zyr_simulation/SdkServiceBehaviour): how to answer from now
//     on; each accepted change is echoed on ~behaviour (latched) once in force
//
// Records:
//   ~attitude_requests (zyr_simulation/AttitudeCommand), ~permission_requests
//   (zyr_simulation/SdkPermissionRequest): one message per request, published
//   as it arrives, before it is answered.
#include <ros/callback_queue.h>
#include <ros/ros.h>
#include <std_msgs/Float32.h>
#include <std_msgs/Int8.h>
#include <zyr_sdk/AttitudeControl.h>
#include <zyr_sdk/GlobalPosition.h>
#include <zyr_sdk/RCChannels.h>
#include <zyr_sdk/SDKPermissionControl.h>
#include <zyr_sdk/Velocity.h>
#include <zyr_simulation/AttitudeCommand.h>
#include <zyr_simulation/SdkPermissionRequest.h>
#include <zyr_simulation/SdkServiceBehaviour.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "zyr_simulation/sdk_profile.h"

namespace
{
using zyr_simulation::ProfileStep;

enum class Answer
{
  kAnswer,
  kSlow,
  kRefuse,
  kNever
};

bool parseAnswer(const std::string& text, Answer& answer)
{
  if (text == "answer")
    answer = Answer::kAnswer;
  else if (text == "slow")
    answer = Answer::kSlow;
  else if (text == "refuse")
    answer = Answer::kRefuse;
  else if (text == "never")
    answer = Answer::kNever;
  else
    return false;
  return true;
}

struct Behaviour
{
  Answer answer = Answer::kAnswer;
  double delay = 0.5;
};

// How one service answers. Requests waiting on "never" or "slow" sleep on the
// condition variable, so a change of behaviour or the shutdown wakes them.
class ServiceBehaviour
{
public:
  void set(const Behaviour& b)
  {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      behaviour_ = b;
    }
    changed_.notify_all();
  }

  void stop()
  {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
  }

  // Blocks as the behaviour says. Returns whether to answer at all (not when
  // shutting down) and sets the result to answer with.
  bool await(bool& result)
  {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;)
    {
      result = true;
      if (stopping_)
      {
        return false;
      }
      switch (behaviour_.answer)
      {
        case Answer::kAnswer:
          return true;
        case Answer::kRefuse:
          result = false;
          return true;
        case Answer::kSlow:
        {
          const auto until = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                                    std::chrono::duration<double>(behaviour_.delay));
          return !changed_.wait_until(lock, until, [this] { return stopping_; });
        }
        case Answer::kNever:
          changed_.wait(lock);
          break;
      }
    }
  }

private:
  std::mutex mutex_;
  std::condition_variable changed_;
  Behaviour behaviour_;
  bool stopping_ = false;
};

// Pending requests of one service each hold one of these threads.
const int kServiceThreads = 8;

class SdkStandin
{
public:
  explicit SdkStandin(ros::NodeHandle& nh, ros::NodeHandle& pnh)
      : attitude_spinner_(kServiceThreads, &attitude_queue_), permission_spinner_(kServiceThreads, &permission_queue_)
  {
    double rate = pnh.param("rate", 50.0);
    if (!(rate > 0.0))
    {
      throw std::invalid_argument("~rate must be positive");
    }
    loop_ = pnh.param("loop", false);
    XmlRpc::XmlRpcValue profile_param;
    pnh.getParam("profile", profile_param);
    profile_ = zyr_simulation::parseProfile(profile_param);
    attitude_behaviour_.set(readBehaviour(pnh, "attitude_control"));
    permission_behaviour_.set(readBehaviour(pnh, "sdk_permission_control"));

    const std::string csv = pnh.param("csv", std::string());
    if (!csv.empty())
    {
      csv_ = std::fopen(csv.c_str(), "w");
      if (!csv_)
      {
        throw std::invalid_argument("cannot open ~csv file " + csv);
      }
      std::fprintf(csv_, "service,index,stamp,flag,x,y,z,yaw,control_enable\n");
      std::fflush(csv_);
    }

    if (pnh.param("publish_velocity", true))
      velocity_pub_ = nh.advertise<zyr_sdk::Velocity>("zyr_sdk/velocity", 10);
    if (pnh.param("publish_rc_channels", true))
      rc_pub_ = nh.advertise<zyr_sdk::RCChannels>("zyr_sdk/rc_channels", 10);
    if (pnh.param("publish_global_position", true))
      gps_pub_ = nh.advertise<zyr_sdk::GlobalPosition>("zyr_sdk/global_position", 10);

    attitude_record_pub_ = pnh.advertise<zyr_simulation::AttitudeCommand>("attitude_requests", 100);
    permission_record_pub_ = pnh.advertise<zyr_simulation::SdkPermissionRequest>("permission_requests", 100);
    height_sub_ = pnh.subscribe("set_height", 10, &SdkStandin::heightCallback, this);
    health_sub_ = pnh.subscribe("set_gps_health", 10, &SdkStandin::healthCallback, this);
    behaviour_sub_ = pnh.subscribe("set_behaviour", 10, &SdkStandin::behaviourCallback, this);
    behaviour_pub_ = pnh.advertise<zyr_simulation::SdkServiceBehaviour>("behaviour", 1, true);

    // Each service answers on threads of its own: a request left hanging
    // neither stops the streams nor hides a request to the other service.
    ros::NodeHandle attitude_nh(nh), permission_nh(nh);
    attitude_nh.setCallbackQueue(&attitude_queue_);
    permission_nh.setCallbackQueue(&permission_queue_);
    attitude_srv_ = attitude_nh.advertiseService("zyr_sdk/attitude_control", &SdkStandin::attitudeControl, this);
    permission_srv_ =
        permission_nh.advertiseService("zyr_sdk/sdk_permission_control", &SdkStandin::permissionControl, this);
    attitude_spinner_.start();
    permission_spinner_.start();

    start_ = ros::Time::now();
    stream_timer_ = nh.createTimer(ros::Duration(1.0 / rate), &SdkStandin::publishStreams, this);
  }

  ~SdkStandin()
  {
    attitude_behaviour_.stop();
    permission_behaviour_.stop();
    attitude_spinner_.stop();
    permission_spinner_.stop();
    if (csv_)
    {
      std::fclose(csv_);
    }
  }

private:
  static Behaviour readBehaviour(ros::NodeHandle& pnh, const std::string& service)
  {
    Behaviour b;
    const std::string mode = pnh.param(service + "/mode", std::string("answer"));
    if (!parseAnswer(mode, b.answer))
    {
      throw std::invalid_argument("~" + service + "/mode \"" + mode + "\" is none of answer, slow, refuse, never");
    }
    b.delay = pnh.param(service + "/delay", 0.5);
    if (!(b.delay >= 0.0))
    {
      throw std::invalid_argument("~" + service + "/delay must not be negative");
    }
    return b;
  }

  bool attitudeControl(zyr_sdk::AttitudeControl::Request& req, zyr_sdk::AttitudeControl::Response& res)
  {
    zyr_simulation::AttitudeCommand record;
    record.header.stamp = ros::Time::now();
    record.index = ++attitude_requests_;
    record.flag = req.flag;
    record.x = req.x;
    record.y = req.y;
    record.z = req.z;
    record.yaw = req.yaw;
    attitude_record_pub_.publish(record);
    writeCsv("attitude_control", record.index, record.header.stamp, "%u,%.9g,%.9g,%.9g,%.9g,",
             static_cast<unsigned>(req.flag), req.x, req.y, req.z, req.yaw);
    bool result;
    const bool answer = attitude_behaviour_.await(result);
    res.result = result;
    return answer;
  }

  bool permissionControl(zyr_sdk::SDKPermissionControl::Request& req, zyr_sdk::SDKPermissionControl::Response& res)
  {
    zyr_simulation::SdkPermissionRequest record;
    record.header.stamp = ros::Time::now();
    record.index = ++permission_requests_;
    record.control_enable = req.control_enable;
    permission_record_pub_.publish(record);
    writeCsv("sdk_permission_control", record.index, record.header.stamp, ",,,,,%u",
             static_cast<unsigned>(req.control_enable));
    bool result;
    const bool answer = permission_behaviour_.await(result);
    res.result = result;
    return answer;
  }

  template <class... Args>
  void writeCsv(const char* service, uint32_t index, const ros::Time& stamp, const char* format, Args... args)
  {
    if (!csv_)
    {
      return;
    }
    std::lock_guard<std::mutex> lock(csv_mutex_);
    std::fprintf(csv_, "%s,%u,%u.%09u,", service, index, stamp.sec, stamp.nsec);
    std::fprintf(csv_, format, args...);
    std::fprintf(csv_, "\n");
    std::fflush(csv_);
  }

  void heightCallback(const std_msgs::Float32& msg)
  {
    height_override_ = true;
    height_ = msg.data;
  }

  void healthCallback(const std_msgs::Int8& msg)
  {
    health_override_ = true;
    health_ = msg.data;
  }

  void behaviourCallback(const zyr_simulation::SdkServiceBehaviour& msg)
  {
    Behaviour b;
    if (!parseAnswer(msg.mode, b.answer) || !(msg.delay >= 0.0))
    {
      ROS_ERROR("sdk_standin: ignored behaviour \"%s\" with delay %g", msg.mode.c_str(), msg.delay);
      return;
    }
    b.delay = msg.delay;
    const bool attitude = msg.service.empty() || msg.service == "attitude_control";
    const bool permission = msg.service.empty() || msg.service == "sdk_permission_control";
    if (!attitude && !permission)
    {
      ROS_ERROR("sdk_standin: no service \"%s\"", msg.service.c_str());
      return;
    }
    if (attitude)
      attitude_behaviour_.set(b);
    if (permission)
      permission_behaviour_.set(b);
    behaviour_pub_.publish(msg);
  }

  void publishStreams(const ros::TimerEvent&)
  {
    const ros::Time now = ros::Time::now();
    const ProfileStep& s = zyr_simulation::stepAt(profile_, (now - start_).toSec(), loop_);
    const int32_t ts = static_cast<int32_t>((now - start_).toNSec() / 1000000);
    if (velocity_pub_)
    {
      zyr_sdk::Velocity v;
      v.header.stamp = now;
      v.ts = ts;
      v.vx = s.vx;
      v.vy = s.vy;
      v.vz = s.vz;
      v.health_flag = s.health_flag;
      velocity_pub_.publish(v);
    }
    if (rc_pub_)
    {
      zyr_sdk::RCChannels rc;
      rc.header.stamp = now;
      rc.ts = ts;
      rc.roll = s.roll;
      rc.pitch = s.pitch;
      rc.yaw = s.yaw;
      rc.throttle = s.throttle;
      rc.mode = s.mode;
      rc.gear = s.gear;
      rc_pub_.publish(rc);
    }
    if (gps_pub_)
    {
      zyr_sdk::GlobalPosition gps;
      gps.header.stamp = now;
      gps.ts = ts;
      gps.latitude = s.latitude;
      gps.longitude = s.longitude;
      gps.altitude = s.altitude;
      gps.height = height_override_ ? height_ : s.height;
      gps.health = health_override_ ? health_ : s.health;
      gps_pub_.publish(gps);
    }
  }

  std::vector<ProfileStep> profile_;
  bool loop_ = false;
  ros::Time start_;

  // Live overrides; touched only on the main spin thread.
  bool height_override_ = false;
  float height_ = 0.0f;
  bool health_override_ = false;
  int8_t health_ = 0;

  ros::Publisher velocity_pub_, rc_pub_, gps_pub_;
  ros::Publisher attitude_record_pub_, permission_record_pub_, behaviour_pub_;
  ros::Subscriber height_sub_, health_sub_, behaviour_sub_;
  ros::Timer stream_timer_;

  ros::CallbackQueue attitude_queue_, permission_queue_;
  ros::AsyncSpinner attitude_spinner_, permission_spinner_;
  ros::ServiceServer attitude_srv_, permission_srv_;
  ServiceBehaviour attitude_behaviour_, permission_behaviour_;
  std::atomic<uint32_t> attitude_requests_{0}, permission_requests_{0};

  std::mutex csv_mutex_;
  FILE* csv_ = nullptr;
};
}  // namespace

int main(int argc, char** argv)
{
  ros::init(argc, argv, "sdk_standin");
  ros::NodeHandle nh;
  ros::NodeHandle pnh("~");
  try
  {
    SdkStandin standin(nh, pnh);
    ros::spin();
  }
  catch (const std::exception& e)
  {
    ROS_FATAL("sdk_standin: %s", e.what());
    return 1;
  }
  return 0;
}
