# The conversions' ROS-free gtest: message definitions and octomap only. Both
# CMakeLists.txt and the arm64 cross build (tools/arm64_cores) read this file.
zyr_core_test(test_octomap_conversions test/test_conversions.cpp LINK ${OCTOMAP_LIBRARIES})
