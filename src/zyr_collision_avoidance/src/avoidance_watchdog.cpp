#include "zyr_collision_avoidance/avoidance_watchdog.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <ros/master.h>
#include <ros/network.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace
{
constexpr double kTickPeriod = 0.1;         // fail-safe verdicts and level checks
constexpr double kDiagnosticsPeriod = 1.0;  // /diagnostics when no level changes
constexpr double kNodesPeriod = 1.0;        // node checks
constexpr int kConnectTimeoutMs = 500;      // a node that accepts no connection by then does not answer

/// Whether something accepts a TCP connection at `host`:`port` within the timeout.
bool acceptsConnections(const std::string& host, std::uint32_t port)
{
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
    return false;
  bool accepted = false;
  for (addrinfo* a = found; a && !accepted; a = a->ai_next)
  {
    const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0)
      continue;
    if (connect(fd, a->ai_addr, a->ai_addrlen) == 0)
      accepted = true;
    else if (errno == EINPROGRESS)
    {
      pollfd p{fd, POLLOUT, 0};
      int error = 0;
      socklen_t length = sizeof error;
      accepted = poll(&p, 1, kConnectTimeoutMs) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 &&
                 error == 0;
    }
    close(fd);
  }
  freeaddrinfo(found);
  return accepted;
}

/// Why `node` is gone, or empty when it is registered and answers.
std::string whyGone(const std::string& node)
{
  XmlRpc::XmlRpcValue args, result, uri;
  args[0] = ros::this_node::getName();
  args[1] = node;
  if (!ros::master::execute("lookupNode", args, result, uri, false) || uri.getType() != XmlRpc::XmlRpcValue::TypeString)
    return "not registered";
  std::string host;
  std::uint32_t port = 0;
  if (!ros::network::splitURI(static_cast<std::string>(uri), host, port))
    return "registered at an unusable address";
  // A process that died without unregistering (killed, crashed) leaves its
  // registration behind, but nothing listens at its address any more.
  return acceptsConnections(host, port) ? std::string() : "registered, but does not answer";
}

std::vector<std::string> readNodes(const ros::NodeHandle& pnh)
{
  std::vector<std::string> nodes;
  XmlRpc::XmlRpcValue value;
  if (!pnh.getParam("nodes", value))
    return nodes;
  if (value.getType() == XmlRpc::XmlRpcValue::TypeString)
  {
    std::istringstream words(static_cast<std::string>(value));
    for (std::string name; words >> name;)
      nodes.push_back(name);
  }
  else if (value.getType() == XmlRpc::XmlRpcValue::TypeArray)
  {
    for (int i = 0; i < value.size(); ++i)
      if (value[i].getType() == XmlRpc::XmlRpcValue::TypeString)
        nodes.push_back(static_cast<std::string>(value[i]));
      else
        ROS_WARN("avoidance_watchdog: ~nodes[%d] is not a name, left out", i);
  }
  else
    ROS_WARN("avoidance_watchdog: ~nodes must be a list of node names or one string of them, watching none");
  return nodes;
}

bool isGuard(const std::string& node)
{
  const std::string name = "guarded_flight";
  return node.size() >= name.size() && node.compare(node.size() - name.size(), name.size(), name) == 0 &&
         (node.size() == name.size() || node[node.size() - name.size() - 1] == '/');
}
}  // namespace

constexpr const char* AvoidanceWatchdog::kFailsafeTopic;

AvoidanceWatchdog::Options AvoidanceWatchdog::readOptions(const ros::NodeHandle& pnh)
{
  Options o;
  watchdog::Settings& s = o.settings;
  pnh.param("failsafe", o.failsafe, o.failsafe);
  const auto positive = [&](const char* name, double& target)
  {
    double value = target;
    pnh.param(name, value, value);
    if (std::isfinite(value) && value > 0.0)
      target = value;
    else
      ROS_WARN("avoidance_watchdog: ~%s must be a number above 0, using %g", name, target);
  };
  positive("stale_after", s.staleAfter);
  positive("lidar_rate", s.lidarRate);
  positive("min_velocity_rate", s.minVelocityRate);
  int minPoints = static_cast<int>(s.minCloudPoints);
  pnh.param("min_cloud_points", minPoints, minPoints);
  if (minPoints >= 0)
    s.minCloudPoints = static_cast<std::uint32_t>(minPoints);
  else
    ROS_WARN("avoidance_watchdog: ~min_cloud_points must be 0 or more, using %u", s.minCloudPoints);
  pnh.param("near_points_required", s.nearPointsRequired, s.nearPointsRequired);
  o.nodes = readNodes(pnh);
  o.settings.guarded = std::any_of(o.nodes.begin(), o.nodes.end(), isGuard);
  return o;
}

AvoidanceWatchdog::AvoidanceWatchdog(ros::NodeHandle& nh, const Options& options)
    : options_(options),
      nh_(nh),
      ownName_(ros::this_node::getName()),
      state_(options.settings),
      simTime_(ros::Time::isSimTime())
{
  for (std::string& node : options_.nodes)
    node = nh_.resolveName(node);

  updater_.setHardwareID("none");
  updater_.add(watchdog::kLidarStage,
               [this](diagnostic_updater::DiagnosticStatusWrapper& s) { report(state_.lidar(clock()), s); });
  updater_.add(watchdog::kMapStage,
               [this](diagnostic_updater::DiagnosticStatusWrapper& s) { report(state_.map(clock()), s); });
  updater_.add(watchdog::kVerdictStage, [this](diagnostic_updater::DiagnosticStatusWrapper& s) { reportVerdicts(s); });
  updater_.add(watchdog::kVehicleStage,
               [this](diagnostic_updater::DiagnosticStatusWrapper& s) { report(state_.vehicle(clock()), s); });
  updater_.add(watchdog::kNodesStage, [this](diagnostic_updater::DiagnosticStatusWrapper& s) { reportNodes(s); });

  // The cloud and the map are skimmed (stamp, sizes, and the cloud's points
  // read in place), never decoded.
  listenNh_ = nh_;
  listenNh_.setCallbackQueue(&inlineCallbacks_);
  subscribers_.push_back(listenNh_.subscribe("velodyne_points", 10, &AvoidanceWatchdog::onCloud, this));
  subscribers_.push_back(
      listenNh_.subscribe("zyr_collision_avoidance/debug_insert_pc_freq", 50, &AvoidanceWatchdog::onInserted, this));
  subscribers_.push_back(
      listenNh_.subscribe("zyr_collision_avoidance/octomap_binary", 10, &AvoidanceWatchdog::onMap, this));
  subscribers_.push_back(listenNh_.subscribe("collision_info_msg", 100, &AvoidanceWatchdog::onVerdict, this));
  subscribers_.push_back(listenNh_.subscribe("zyr_sdk/velocity", 200, &AvoidanceWatchdog::onVelocity, this));
  subscribers_.push_back(listenNh_.subscribe("zyr_sdk/global_position", 100, &AvoidanceWatchdog::onGps, this));
  subscribers_.push_back(
      listenNh_.subscribe("zyr_collision_avoidance/debug_guarded_flight", 100, &AvoidanceWatchdog::onGuard, this));
  // Without the fail-safe the watchdog does not even advertise the verdict topic.
  if (options_.failsafe)
    failsafePub_ = nh_.advertise<std_msgs::UInt8>("collision_info_msg", 10);
  // Latched, and told at once: a listener that comes later, or a watchdog
  // that has just been restarted, knows where the fail-safe stands.
  failsafeStatePub_ = nh_.advertise<std_msgs::String>(kFailsafeTopic, 1, true);
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    announceFailsafe(state_.failsafe(clock()));
  }
  if (simTime_)
    timer_ = nh_.createTimer(ros::Duration(kTickPeriod), [this](const ros::TimerEvent&) { tick(); });
  else
    steadyTimer_ =
        nh_.createSteadyTimer(ros::WallDuration(kTickPeriod), [this](const ros::SteadyTimerEvent&) { tick(); });
  if (!options_.nodes.empty())
    nodesThread_ = std::thread(&AvoidanceWatchdog::watchNodes, this);

  ROS_INFO("avoidance_watchdog: watching %zu node(s), stages stop after %.2f s (%s clock), fail-safe %s%s",
           options_.nodes.size(), options_.settings.staleAfter, simTime_ ? "simulated" : "monotonic",
           options_.failsafe ? "on" : "off", options_.settings.guarded ? ", guarded_flight flies the aircraft" : "");
}

AvoidanceWatchdog::~AvoidanceWatchdog()
{
  // Unsubscribing waits for a callback under way in the receiving thread.
  for (ros::Subscriber& subscriber : subscribers_)
    subscriber.shutdown();
  timer_.stop();
  steadyTimer_.stop();
  {
    std::lock_guard<std::mutex> lock(nodesMutex_);
    stopping_ = true;
  }
  nodesWake_.notify_all();
  if (nodesThread_.joinable())
    nodesThread_.join();
}

double AvoidanceWatchdog::clock() const
{
  if (simTime_)
    return ros::Time::now().toSec();
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double AvoidanceWatchdog::onClock(const ros::Time& stamp, double now) const
{
  // In doubles: a stamp from the far past or future would not fit a ros::Duration.
  return now - (ros::Time::now().toSec() - stamp.toSec());
}

// ------------------------------------------------------------- receiving thread
// Each callback runs as its message comes off the wire (InlineCallbacks): the
// time it takes is the time of reception.

void AvoidanceWatchdog::onCloud(const ros::MessageEvent<const watchdog::CloudSummary>& event)
{
  const auto& m = *event.getConstMessage();
  const double now = clock();
  std::lock_guard<std::mutex> lock(stateMutex_);
  state_.onCloud(now, onClock(m.header.stamp, now), m.width, m.content);
}

void AvoidanceWatchdog::onInserted(const ros::MessageEvent<const std_msgs::String>& event)
{
  // "Inserting <width>"
  const std::string& text = event.getConstMessage()->data;
  const std::string prefix = "Inserting ";
  if (text.compare(0, prefix.size(), prefix) != 0)
    return;
  char* end = nullptr;
  const unsigned long width = std::strtoul(text.c_str() + prefix.size(), &end, 10);
  if (end == text.c_str() + prefix.size() || *end != '\0' || width > 0xffffffffUL)
    return;
  std::lock_guard<std::mutex> lock(stateMutex_);
  state_.onInserted(clock(), static_cast<std::uint32_t>(width));
}

void AvoidanceWatchdog::onMap(const ros::MessageEvent<const watchdog::HeaderOnly>& event)
{
  const double now = clock();
  std::lock_guard<std::mutex> lock(stateMutex_);
  state_.onMap(now, onClock(event.getConstMessage()->header.stamp, now));
}

void AvoidanceWatchdog::onVerdict(const ros::MessageEvent<const std_msgs::UInt8>& event)
{
  // Its own fail-safe verdicts are not the monitor's.
  if (event.getPublisherName() == ownName_)
    return;
  std::lock_guard<std::mutex> lock(stateMutex_);
  state_.onVerdict(clock(), event.getConstMessage()->data);
}

void AvoidanceWatchdog::onVelocity(const ros::MessageEvent<const zyr_sdk::Velocity>& event)
{
  std::lock_guard<std::mutex> lock(stateMutex_);
  state_.onVelocity(clock(), event.getConstMessage()->health_flag != 0);
}

void AvoidanceWatchdog::onGps(const ros::MessageEvent<const zyr_sdk::GlobalPosition>& event)
{
  std::lock_guard<std::mutex> lock(stateMutex_);
  state_.onGps(clock(), event.getConstMessage()->health);
}

void AvoidanceWatchdog::onGuard(const ros::MessageEvent<const std_msgs::UInt8>& event)
{
  std::lock_guard<std::mutex> lock(stateMutex_);
  state_.onGuard(clock(), event.getConstMessage()->data);
}

// ------------------------------------------------------------------ spin thread

void AvoidanceWatchdog::tick()
{
  std::lock_guard<std::mutex> lock(stateMutex_);  // also held by the reports that the updater calls
  const double now = clock();
  if (now <= 0.0)  // simulated time that has not started
    return;
  const watchdog::FailsafeDecision decision = state_.failsafe(now);
  announceFailsafe(decision);
  if (options_.failsafe)
  {
    const bool wanted = decision.holds();
    if (wanted && !failsafeActive_)
      ROS_ERROR(
          "avoidance_watchdog: fail-safe on (%s): holding the aircraft with danger (1) on collision_info_msg "
          "every %.1f s",
          decision.reason().c_str(), kTickPeriod);
    else if (!wanted && failsafeActive_)
      ROS_INFO(
          "avoidance_watchdog: fail-safe off: every stage it held for flows again; guarded_flight releases "
          "after its run of clear verdicts");
    failsafeActive_ = wanted;
    if (wanted)
    {
      std_msgs::UInt8 danger;
      danger.data = 1;
      failsafePub_.publish(danger);
    }
  }

  std::vector<watchdog::Level> levels = {state_.lidar(now).level, state_.map(now).level, state_.verdicts(now).level,
                                         state_.vehicle(now).level};
  {
    std::lock_guard<std::mutex> lock(nodesMutex_);
    levels.push_back(!nodesChecked_       ? watchdog::Level::Stale
                     : nodesGone_.empty() ? watchdog::Level::Ok
                                          : watchdog::Level::Error);
  }
  // Once a second on the watchdog's clock, and at once on a change of level.
  // (The updater's own schedule runs on the wall clock, which may step.)
  if (levels != published_ || now >= nextDiagnostics_ || now < nextDiagnostics_ - kDiagnosticsPeriod)
  {
    published_ = levels;
    nextDiagnostics_ = now + kDiagnosticsPeriod;
    updater_.force_update();
  }
}

void AvoidanceWatchdog::announceFailsafe(const watchdog::FailsafeDecision& decision)
{
  if (!announcer_.due(decision))
    return;
  std_msgs::String state;
  state.data = decision.reason();
  failsafeStatePub_.publish(state);
}

void AvoidanceWatchdog::report(const watchdog::Report& r, diagnostic_updater::DiagnosticStatusWrapper& status)
{
  status.summary(static_cast<unsigned char>(r.level), r.message);
  for (const auto& kv : r.values)
    status.add(kv.first, kv.second);
}

void AvoidanceWatchdog::reportVerdicts(diagnostic_updater::DiagnosticStatusWrapper& status)
{
  report(state_.verdicts(clock()), status);
  status.add("fail-safe", !options_.failsafe ? "off"
                          : failsafeActive_  ? "ACTIVE: holding the aircraft"
                                             : "standing by");
}

void AvoidanceWatchdog::reportNodes(diagnostic_updater::DiagnosticStatusWrapper& status)
{
  std::lock_guard<std::mutex> lock(nodesMutex_);
  for (const std::string& node : options_.nodes)
    status.add(node, std::find_if(nodesGone_.begin(), nodesGone_.end(),
                                  [&](const std::string& gone)
                                  { return gone.compare(0, node.size() + 1, node + " ") == 0; }) == nodesGone_.end()
                         ? "running"
                         : "GONE");
  if (options_.nodes.empty())
    status.summary(diagnostic_msgs::DiagnosticStatus::OK, "no nodes to watch");
  else if (!nodesChecked_)
    status.summary(diagnostic_msgs::DiagnosticStatus::STALE, "not checked yet");
  else if (nodesGone_.empty())
    status.summary(diagnostic_msgs::DiagnosticStatus::OK, "all " + std::to_string(options_.nodes.size()) + " running");
  else
  {
    std::string text = "gone: ";
    for (std::size_t i = 0; i < nodesGone_.size(); ++i)
      text += (i ? ", " : "") + nodesGone_[i];
    status.summary(diagnostic_msgs::DiagnosticStatus::ERROR, text);
  }
}

// ----------------------------------------------------------------- nodes thread

void AvoidanceWatchdog::watchNodes()
{
  std::unique_lock<std::mutex> lock(nodesMutex_);
  while (!stopping_)
  {
    lock.unlock();
    std::vector<std::string> gone;
    for (const std::string& node : options_.nodes)
    {
      const std::string why = whyGone(node);
      if (!why.empty())
        gone.push_back(node + " (" + why + ")");
    }
    lock.lock();
    nodesGone_ = gone;
    nodesChecked_ = true;
    nodesWake_.wait_for(lock, std::chrono::duration<double>(kNodesPeriod), [this] { return stopping_; });
  }
}
