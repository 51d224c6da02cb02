// The main of a rostest whose cases run while spinner threads handle the
// global callback queue.
#ifndef ZYR_TEST_SUPPORT_ROSTEST_MAIN_H
#define ZYR_TEST_SUPPORT_ROSTEST_MAIN_H

#include <gtest/gtest.h>
#include <ros/ros.h>

#include <functional>
#include <string>

namespace test_support
{
// Sets up gtest and ROS as node `node`, lets `prepare` subscribe and advertise
// before the `threads` spinner threads start, runs every case, and stops the
// spinner and ROS before returning the result. What `prepare` sets up must
// outlive the call.
inline int runRostest(int argc, char** argv, const std::string& node, int threads,
                      const std::function<void(ros::NodeHandle&)>& prepare = nullptr)
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
  ros::shutdown();
  return result;
}
}  // namespace test_support

#endif  // ZYR_TEST_SUPPORT_ROSTEST_MAIN_H
