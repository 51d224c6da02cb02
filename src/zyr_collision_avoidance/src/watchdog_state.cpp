#include "zyr_collision_avoidance/watchdog_state.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace watchdog
{
namespace
{
// How long the matcher waits for what completes a cloud's record before it
// lets the cloud go: its "Inserting" line (the mapper's tf filter may hold a
// cloud a while), a line for its cloud, a map, a verdict.
constexpr double kLineWait = 2.0;
constexpr double kEarlyLineWait = 0.25;
constexpr double kMapWait = 5.0;
constexpr double kSampleKeep = 60.0;
// A map stamp further than this from its arrival comes from a clock that is
// not the watchdog's; arrival order decides then.
constexpr double kStampAhead = 0.05;
constexpr double kStampBehind = 1.0;

std::string fixed(double value, int decimals)
{
  char text[48];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string format(const char* pattern, double a, double b = 0.0, double c = 0.0)
{
  char text[256];
  std::snprintf(text, sizeof text, pattern, a, b, c);
  return text;
}

void addWarning(Report& report, const std::string& text)
{
  report.level = Level::Warn;
  report.message += (report.message.empty() ? "" : "; ") + text;
}

/// A stream's level before its warnings: STALE before its first message, ERROR
/// once none came for `staleAfter`, else OK; false when it does not flow.
bool flowing(const Arrivals& a, double now, double staleAfter, const char* what, Report& r)
{
  if (!a.any())
  {
    r.message = std::string("no ") + what + " yet";
    return false;
  }
  if (a.age(now) > staleAfter)
  {
    r.level = Level::Error;
    r.message = std::string("no ") + what + format(" for %.1f s", a.age(now));
    return false;
  }
  r.level = Level::Ok;
  return true;
}

std::string ageText(const Arrivals& a, double now)
{
  return a.any() ? fixed(a.age(now), 2) : "never";
}

const char* statusName(int value)
{
  return value < 0 ? "none yet" : value == 0 ? "clear" : value == 1 ? "DANGER" : "other";
}
}  // namespace

const char* levelName(Level level)
{
  switch (level)
  {
    case Level::Ok:
      return "OK";
    case Level::Warn:
      return "WARN";
    case Level::Error:
      return "ERROR";
    case Level::Stale:
      return "STALE";
  }
  return "?";
}

// ------------------------------------------------------------------ Arrivals
void Arrivals::add(double t)
{
  // A clock that went back (a replayed bag started again) starts the stream afresh.
  if (last_ >= 0.0 && t < last_ - 1.0)
    clear();
  if (first_ < 0.0)
    first_ = t;
  last_ = t;
  times_.push_back(t);
  while (!times_.empty() && times_.front() < t - window_)
    times_.pop_front();
}

void Arrivals::clear()
{
  times_.clear();
  first_ = last_ = -1.0;
}

double Arrivals::age(double now) const
{
  return any() ? std::max(0.0, now - last_) : 0.0;
}

double Arrivals::rate(double now) const
{
  if (!any())
    return 0.0;
  const double span = std::min(window_, now - first_);
  if (span < 1e-3)
    return 0.0;
  const auto n = std::count_if(times_.begin(), times_.end(), [&](double t) { return t > now - window_; });
  return static_cast<double>(n) / span;
}

double Arrivals::meanInterval() const
{
  if (times_.size() < 2)
    return 0.0;
  return (times_.back() - times_.front()) / static_cast<double>(times_.size() - 1);
}

// ------------------------------------------------------------ LatencyMatcher
void LatencyMatcher::onCloud(double received, double stamp, std::uint32_t width)
{
  expire(received);
  auto line = std::find_if(lines_.begin(), lines_.end(), [&](const Line& l) { return l.width == width; });
  if (line == lines_.end())
  {
    clouds_.push_back(Cloud{received, stamp, width, -1.0, -1.0});
    return;
  }
  // The mapper got to this cloud before the watchdog did. Clouds still without
  // a line are older than it: the mapper skipped them.
  inserted_.push_back(Cloud{received, stamp, width, line->received, -1.0});
  lines_.erase(lines_.begin(), line + 1);
  clouds_.clear();
}

void LatencyMatcher::onInserted(double received, std::uint32_t width)
{
  expire(received);
  auto cloud = std::find_if(clouds_.begin(), clouds_.end(), [&](const Cloud& c) { return c.width == width; });
  if (cloud == clouds_.end())
  {
    lines_.push_back(Line{received, width});
    return;
  }
  // The mapper takes the clouds in order: older clouds still without a line were skipped.
  cloud->inserted = received;
  inserted_.push_back(*cloud);
  clouds_.erase(clouds_.begin(), cloud + 1);
}

void LatencyMatcher::onMap(double received, double stamp)
{
  expire(received);
  const bool stampUsable = stamp <= received + kStampAhead && stamp >= received - kStampBehind;
  const double cut = stampUsable ? stamp : received;
  auto in = std::stable_partition(inserted_.begin(), inserted_.end(), [&](const Cloud& c) { return c.inserted < cut; });
  for (auto it = inserted_.begin(); it != in; ++it)
  {
    it->mapped = received;
    mapped_.push_back(*it);
  }
  inserted_.erase(inserted_.begin(), in);
}

void LatencyMatcher::onVerdict(double received)
{
  expire(received);
  auto answered =
      std::stable_partition(mapped_.begin(), mapped_.end(), [&](const Cloud& c) { return c.mapped < received; });
  for (auto it = mapped_.begin(); it != answered; ++it)
    samples_.emplace_back(received, received - it->stamp);
  mapped_.erase(mapped_.begin(), answered);
  while (!samples_.empty() && samples_.front().first < received - kSampleKeep)
    samples_.pop_front();
}

void LatencyMatcher::expire(double now)
{
  while (!clouds_.empty() && clouds_.front().received < now - kLineWait)
    clouds_.pop_front();
  while (!lines_.empty() && lines_.front().received < now - kEarlyLineWait)
    lines_.pop_front();
  while (!inserted_.empty() && inserted_.front().inserted < now - kMapWait)
    inserted_.pop_front();
  while (!mapped_.empty() && mapped_.front().mapped < now - kMapWait)
    mapped_.pop_front();
}

void LatencyMatcher::forgetUnmapped()
{
  clouds_.clear();
  lines_.clear();
  inserted_.clear();
}

void LatencyMatcher::forgetUnanswered()
{
  mapped_.clear();
}

LatencyMatcher::Figures LatencyMatcher::figures(double now, double window) const
{
  std::vector<double> latencies;
  for (const auto& s : samples_)
    if (s.first > now - window)
      latencies.push_back(s.second);
  Figures f;
  f.samples = latencies.size();
  if (latencies.empty())
    return f;
  std::sort(latencies.begin(), latencies.end());
  const auto rank = [&](double p)
  {
    // Nearest rank: the smallest value with at least p of the samples at or below it.
    const auto r = static_cast<std::size_t>(std::ceil(p * static_cast<double>(latencies.size())));
    return latencies[std::min(latencies.size() - 1, r == 0 ? 0 : r - 1)];
  };
  f.p50 = rank(0.5);
  f.p99 = rank(0.99);
  return f;
}

// --------------------------------------------------------------- HealthState
HealthState::HealthState(const Settings& settings)
    : settings_(settings),
      clouds_(settings.rateWindow),
      inserted_(settings.rateWindow),
      maps_(settings.rateWindow),
      verdicts_(settings.rateWindow),
      velocity_(settings.rateWindow),
      healthyVelocity_(settings.rateWindow),
      gps_(settings.rateWindow)
{
}

void HealthState::onCloud(double received, double stamp, std::uint32_t height, std::uint32_t width)
{
  if (!clouds_.any() || received - clouds_.last() > settings_.staleAfter)
  {
    // The tree still open when the clouds stopped goes out only now.
    cloudRunStart_ = received;
    matcher_.forgetUnmapped();
  }
  clouds_.add(received);
  cloudPoints_ = static_cast<std::uint64_t>(height) * width;
  matcher_.onCloud(received, stamp, width);
}

void HealthState::onInserted(double received, std::uint32_t width)
{
  inserted_.add(received);
  matcher_.onInserted(received, width);
}

void HealthState::onMap(double received, double stamp)
{
  maps_.add(received);
  matcher_.onMap(received, stamp);
}

void HealthState::onVerdict(double received, std::uint8_t value)
{
  // The first verdict after a silence (no velocity yet, a monitor that stood
  // still) answers maps that waited for it.
  if (!verdicts_.any() || received - verdicts_.last() > settings_.staleAfter)
    matcher_.forgetUnanswered();
  verdicts_.add(received);
  lastVerdict_ = value;
  matcher_.onVerdict(received);
}

void HealthState::onVelocity(double received, bool healthy)
{
  velocity_.add(received);
  lastVelocityHealthy_ = healthy;
  if (!healthy)
    return;
  if (!healthyVelocity_.any() || received - healthyVelocity_.last() > settings_.staleAfter)
    healthyRunStart_ = received;
  healthyVelocity_.add(received);
}

void HealthState::onGps(double received, int health)
{
  gps_.add(received);
  gpsHealth_ = health;
}

void HealthState::onGuard(double, std::uint8_t value)
{
  guard_ = value;
}

double HealthState::scanPeriod() const
{
  const double measured = clouds_.meanInterval();
  return measured > 0.0 ? measured : 1.0 / settings_.lidarRate;
}

double HealthState::expectedMapRate() const
{
  // A tree is published at the first cloud more than the window after the one that opened it.
  const double period = scanPeriod();
  return 1.0 / ((std::floor(kMapWindow / period) + 1.0) * period);
}

double HealthState::structuralBound() const
{
  double velocityPeriod = healthyVelocity_.meanInterval();
  if (velocityPeriod <= 0.0)
    velocityPeriod = velocity_.meanInterval() > 0.0 ? velocity_.meanInterval() : 1.0 / settings_.minVelocityRate;
  return kMapWindow + scanPeriod() + kVelocityPerVerdict * velocityPeriod;
}

Report HealthState::lidar(double now) const
{
  Report r;
  r.values = {{"rate (Hz)", fixed(clouds_.rate(now), 1)},
              {"age (s)", ageText(clouds_, now)},
              {"expected rate (Hz)", fixed(settings_.lidarRate, 1)},
              {"points (last cloud)", std::to_string(cloudPoints_)},
              {"inserted by the mapper (Hz)", fixed(inserted_.rate(now), 1)},
              {"insertion age (s)", ageText(inserted_, now)}};
  if (!flowing(clouds_, now, settings_.staleAfter, "cloud", r))
    return r;
  if (clouds_.rateSettled(now) && clouds_.rate(now) < kRateTolerance * settings_.lidarRate)
    addWarning(r, format("clouds at %.1f Hz, expected %.1f Hz", clouds_.rate(now), settings_.lidarRate));
  if (cloudPoints_ < settings_.minCloudPoints)
    addWarning(r, format("only %.0f points in the last cloud, fewer than %.0f: is the LiDAR blocked?",
                         static_cast<double>(cloudPoints_), settings_.minCloudPoints));
  const double sinceInsertion = inserted_.any() ? inserted_.age(now) : now - cloudRunStart_;
  if (now - cloudRunStart_ > settings_.staleAfter && sinceInsertion > settings_.staleAfter)
    addWarning(r, format("the mapper has inserted no cloud for %.1f s", sinceInsertion));
  if (r.message.empty())
    r.message = "clouds flowing";
  return r;
}

Report HealthState::map(double now) const
{
  Report r;
  r.values = {{"rate (Hz)", fixed(maps_.rate(now), 1)},
              {"age (s)", ageText(maps_, now)},
              {"expected rate (Hz)", fixed(expectedMapRate(), 1)}};
  if (!maps_.any() && clouds_.any() && now - cloudRunStart_ > settings_.staleAfter)
  {
    r.level = Level::Error;
    r.message = format("no map yet, %.1f s after the first cloud", now - cloudRunStart_);
    return r;
  }
  if (!flowing(maps_, now, settings_.staleAfter, "map", r))
    return r;
  if (clouds_.rateSettled(now) && maps_.rateSettled(now) && maps_.rate(now) < kRateTolerance * expectedMapRate())
    addWarning(r, format("maps at %.1f Hz, expected %.1f Hz", maps_.rate(now), expectedMapRate()));
  if (r.message.empty())
    r.message = "maps flowing";
  return r;
}

Report HealthState::verdicts(double now) const
{
  Report r;
  const LatencyMatcher::Figures f = latency(now);
  const double bound = structuralBound();
  const double expected = healthyVelocity_.rate(now) / kVelocityPerVerdict;
  r.values = {{"rate (Hz)", fixed(verdicts_.rate(now), 1)},
              {"age (s)", ageText(verdicts_, now)},
              {"expected rate (Hz)", fixed(expected, 1)},
              {"last verdict", statusName(lastVerdict_)},
              {"scan-to-verdict p50 (ms)", f.samples ? fixed(1000.0 * f.p50, 0) : "none"},
              {"scan-to-verdict p99 (ms)", f.samples ? fixed(1000.0 * f.p99, 0) : "none"},
              {"latency samples", std::to_string(f.samples)},
              {"structural bound (ms)", fixed(1000.0 * bound, 0)},
              {"guarded_flight", guard_ < 0    ? "no status yet"
                                 : guard_ == 1 ? "DANGER latched"
                                               : "clear"}};

  const bool healthyFlowing = healthyVelocity_.any() && healthyVelocity_.age(now) <= settings_.staleAfter;
  if (!healthyFlowing)
  {
    // The monitor answers healthy velocity only: its silence is expected here.
    const bool velocityFlowing = velocity_.any() && velocity_.age(now) <= settings_.staleAfter;
    const std::string why = velocityFlowing   ? "velocity flagged unhealthy, the monitor skips every message"
                            : velocity_.any() ? format("no velocity for %.1f s", velocity_.age(now))
                                              : std::string("no velocity yet");
    if (!verdicts_.any())
    {
      r.message = "no verdict yet (" + why + ")";
      return r;
    }
    r.level = Level::Warn;
    r.message = "no verdicts: " + why;
    return r;
  }
  const double due = std::max(verdicts_.any() ? verdicts_.last() : -1.0, healthyRunStart_);
  if (now - due > settings_.staleAfter)
  {
    r.level = Level::Error;
    r.message = verdicts_.any()
                    ? format("no verdict for %.1f s although healthy velocity flows", now - verdicts_.last())
                    : format("no verdict yet, %.1f s after healthy velocity began", now - healthyRunStart_);
    return r;
  }
  if (!verdicts_.any())
  {
    r.message = "no verdict yet";
    return r;
  }
  r.level = Level::Ok;
  if (verdicts_.rateSettled(now) && healthyVelocity_.rateSettled(now) &&
      verdicts_.rate(now) < kRateTolerance * expected)
    addWarning(r, format("verdicts at %.1f Hz, expected %.1f Hz", verdicts_.rate(now), expected));
  if (f.samples > 0 && f.p99 > bound + settings_.latencyMargin)
    addWarning(r, format("scan-to-verdict p99 of %.0f ms exceeds the bound of %.0f ms by more than %.0f ms: "
                         "the computer is overloaded",
                         1000.0 * f.p99, 1000.0 * bound, 1000.0 * settings_.latencyMargin));
  if (r.message.empty())
    r.message = "verdicts flowing";
  return r;
}

Report HealthState::vehicle(double now) const
{
  Report r;
  r.values = {{"rate (Hz)", fixed(velocity_.rate(now), 1)},
              {"age (s)", ageText(velocity_, now)},
              {"health_flag (last)", velocity_.any() ? std::to_string(lastVelocityHealthy_ ? 1 : 0) : "none yet"},
              {"healthy velocity age (s)", ageText(healthyVelocity_, now)},
              {"GPS health (last)", gps_.any() ? std::to_string(gpsHealth_) : "none yet"},
              {"GPS rate (Hz)", fixed(gps_.rate(now), 1)},
              {"GPS age (s)", ageText(gps_, now)}};
  if (!flowing(velocity_, now, settings_.staleAfter, "velocity", r))
    return r;
  if (!healthyVelocity_.any() || healthyVelocity_.age(now) > settings_.staleAfter)
    addWarning(r, "velocity flagged unhealthy (health_flag 0): the monitor skips every message");
  if (velocity_.rateSettled(now) && velocity_.rate(now) < settings_.minVelocityRate)
    addWarning(r, format("velocity at %.1f Hz, below %.0f Hz: a verdict comes every fifth message", velocity_.rate(now),
                         settings_.minVelocityRate));
  // GPS may come slower than the other streams; a second without it is still news.
  const double gpsStale = std::max(1.0, settings_.staleAfter);
  if (!gps_.any())
    addWarning(r, "no GPS position yet: guarded_flight sends no command before the first");
  else if (gps_.age(now) > gpsStale)
    addWarning(r, format("no GPS position for %.1f s: guarded_flight goes by the last health", gps_.age(now)));
  else if (gpsHealth_ <= 2)
    addWarning(r, format("poor GPS (health %.0f): guarded_flight withholds every command", gpsHealth_));
  if (r.message.empty())
    r.message = "velocity and GPS flowing";
  return r;
}

bool HealthState::failsafeWanted(double now, std::string* reason) const
{
  const std::pair<const char*, Report> stages[] = {
      {"LiDAR clouds", lidar(now)}, {"Occupancy map", map(now)}, {"Collision verdicts", verdicts(now)}};
  bool wanted = false;
  for (const auto& stage : stages)
  {
    if (stage.second.level != Level::Error && stage.second.level != Level::Stale)
      continue;
    if (reason)
      *reason += std::string(wanted ? "; " : "") + stage.first + ": " + stage.second.message;
    wanted = true;
  }
  return wanted;
}
}  // namespace watchdog
