#include "zyr_collision_avoidance/watchdog/common.h"

#include <algorithm>
#include <cstdio>

namespace watchdog
{
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

std::string fixed(double value, int decimals)
{
  char text[48];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string format(const char* pattern, double a, double b, double c)
{
  char text[256];
  std::snprintf(text, sizeof text, pattern, a, b, c);
  return text;
}

void addWarning(Report& report, const std::string& text)
{
  // An error says what matters.
  if (report.level == Level::Error)
    return;
  report.level = Level::Warn;
  report.message += (report.message.empty() ? "" : "; ") + text;
}

void addError(Report& report, const std::string& text)
{
  if (report.level != Level::Error)
    report.message.clear();
  report.level = Level::Error;
  report.message += (report.message.empty() ? "" : "; ") + text;
}

bool flowing(const Arrivals& a, double now, double staleAfter, const char* what, Report& r)
{
  if (!a.any())
  {
    r.level = Level::Stale;
    r.message = std::string("no ") + what + " yet";
    return false;
  }
  if (a.age(now) > staleAfter)
  {
    addError(r, std::string("no ") + what + format(" for %.2f s", a.age(now)));
    return false;
  }
  r.level = Level::Ok;
  return true;
}

std::string ageText(const Arrivals& a, double now)
{
  return a.any() ? fixed(a.age(now), 2) : "never";
}
}  // namespace watchdog
