// The main of a rostest whose cases run while spinner threads handle the
// global callback queue.
#ifndef ZYR_TEST_SUPPORT_ROSTEST_MAIN_H
#define ZYR_TEST_SUPPORT_ROSTEST_MAIN_H

#include <gtest/gtest.h>
#include <ros/ros.h>

#include <functional>
#include <memory>
#include <string>

namespace test_support
{
// Sets up gtest and ROS as node `node`, lets `prepare` subscribe and advertise
// before the `threads` spinner threads start, runs every case, stops the
// spinner, lets `finish` tear down while ROS still runs, and shuts ROS down
// before returning the result.
inline int runRostest(int argc, char** argv, const std::string& node, int threads,
                      const std::function<void(ros::NodeHandle&)>& prepare = nullptr,
                      const std::function<void()>& finish = nullptr)
{
  testing::InitGoogleTest(&argc, argv);
  ros::init(argc, argv, node);
  ros::NodeHandle nh;
  if (prepare)
    prepare(nh);
  ros::AsyncSpinner spinner(threads);
  spinner.start();
  const int result = RUN_ALL_TESTS();
  spinner.stop();
  if (finish)
    finish();
  ros::shutdown();
  return result;
}

// The same for cases that share a `Shared`, made from the node handle before
// the spinner starts and destroyed once it has stopped.
template <class Shared>
int runRostest(int argc, char** argv, const std::string& node, int threads, std::unique_ptr<Shared>& shared)
{
  return runRostest(
      argc, argv, node, threads, [&](ros::NodeHandle& nh) { shared.reset(new Shared(nh)); }, [&] { shared.reset(); });
}
}  // namespace test_support

#endif  // ZYR_TEST_SUPPORT_ROSTEST_MAIN_H
