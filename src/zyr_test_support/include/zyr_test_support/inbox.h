// What arrives on a ROS topic, recorded in arrival order by whichever thread
// spins the subscriber's callback queue, and read and waited on from the test
// thread.
#ifndef ZYR_TEST_SUPPORT_INBOX_H
#define ZYR_TEST_SUPPORT_INBOX_H

#include <ros/ros.h>
#include <rosgraph_msgs/Log.h>

#include <algorithm>
#include <boost/function.hpp>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "zyr_test_support/wait.h"

namespace test_support
{
template <class M>
class Inbox
{
public:
  using Match = std::function<bool(const M&)>;

  Inbox() = default;
  Inbox(ros::NodeHandle& nh, const std::string& topic, Match keep = Match())
  {
    subscribe(nh, topic, keep);
  }
  Inbox(const Inbox&) = delete;
  Inbox& operator=(const Inbox&) = delete;

  // Records every message on `topic` for which `keep` holds (every message
  // when `keep` is empty), until the inbox goes.
  void subscribe(ros::NodeHandle& nh, const std::string& topic, Match keep = Match(), uint32_t queue = 1000)
  {
    subscriber_ = nh.subscribe<M>(topic, queue,
                                  boost::function<void(const typename M::ConstPtr&)>(
                                      [this, keep](const typename M::ConstPtr& m)
                                      {
                                        if (keep && !keep(*m))
                                          return;
                                        std::lock_guard<std::mutex> lock(mutex_);
                                        messages_.push_back(*m);
                                      }));
  }

  const ros::Subscriber& subscriber() const
  {
    return subscriber_;
  }

  std::vector<M> all() const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }
  std::size_t size() const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_.size();
  }
  // The latest message; a fresh one while none has arrived.
  M back() const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_.empty() ? M() : messages_.back();
  }
  void clear()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.clear();
  }

  // How many messages from index `from` on match.
  std::size_t count(const Match& match, std::size_t from = 0) const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t n = 0;
    for (std::size_t i = from; i < messages_.size(); ++i)
      n += match(messages_[i]);
    return n;
  }
  // Index of the first message from `from` on that matches, or size().
  std::size_t find(const Match& match, std::size_t from = 0) const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    while (from < messages_.size() && !match(messages_[from]))
      ++from;
    return std::min(from, messages_.size());
  }

  // Waits until `done` holds for everything recorded so far; `done` runs
  // under the inbox's lock and must not call the inbox.
  bool waitUntil(const std::function<bool(const std::vector<M>&)>& done, double seconds = kWait) const
  {
    return waitFor(
        [&]
        {
          std::lock_guard<std::mutex> lock(mutex_);
          return done(messages_);
        },
        seconds);
  }
  bool waitForCount(std::size_t n, double seconds = kWait) const
  {
    return waitUntil([n](const std::vector<M>& all) { return all.size() >= n; }, seconds);
  }
  // Waits for `n` messages, then settles for `quiet` seconds so that a stray
  // extra one shows; everything recorded by then.
  std::vector<M> collect(std::size_t n, double quiet) const
  {
    waitForCount(n);
    settle(quiet);
    return all();
  }
  // Waits until a message from index `from` on matches; copies the first
  // such message to `found` when given.
  bool waitForMatch(const Match& match, M* found = nullptr, std::size_t from = 0, double seconds = kWait) const
  {
    return waitUntil(
        [&](const std::vector<M>& all)
        {
          for (std::size_t i = from; i < all.size(); ++i)
            if (match(all[i]))
            {
              if (found)
                *found = all[i];
              return true;
            }
          return false;
        },
        seconds);
  }

private:
  mutable std::mutex mutex_;
  std::vector<M> messages_;
  ros::Subscriber subscriber_;  // last: shut down before the messages go
};

// ------------------------------------------------------------ log lines
// An Inbox<rosgraph_msgs::Log> on /rosout, with these matches, holds what a
// node logged.
using Log = rosgraph_msgs::Log;

inline Inbox<Log>::Match fromNode(const std::string& name)
{
  return [name](const Log& l) { return l.name == name; };
}

// A line reading exactly `text`, at any level or at `level` when given.
inline Inbox<Log>::Match lineIs(const std::string& text, int level = -1)
{
  return [text, level](const Log& l) { return l.msg == text && (level < 0 || l.level == level); };
}

inline Inbox<Log>::Match levelAtLeast(uint8_t level)
{
  return [level](const Log& l) { return l.level >= level; };
}

// The texts of the lines at `level`, in order.
inline std::vector<std::string> textsAt(const std::vector<Log>& lines, uint8_t level)
{
  std::vector<std::string> texts;
  for (const Log& l : lines)
    if (l.level == level)
      texts.push_back(l.msg);
  return texts;
}

// Publishes a std_msgs message that holds nothing but `data`.
template <class M>
void publishData(const ros::Publisher& publisher, decltype(M::data) data)
{
  M m;
  m.data = data;
  publisher.publish(m);
}

// For a test that spins no thread of its own: spins the global callback
// queue while it waits.
template <class Predicate>
bool spinUntil(Predicate&& done, double seconds = kWait)
{
  return waitFor(
      [&]
      {
        ros::spinOnce();
        return done();
      },
      seconds, 0.002);
}
}  // namespace test_support

#endif  // ZYR_TEST_SUPPORT_INBOX_H
