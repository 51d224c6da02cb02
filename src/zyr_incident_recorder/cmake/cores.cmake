# What decides which dangers become incidents, names their folders and writes
# their summaries, and its gtests: no ROS client library and no master. Both
# CMakeLists.txt and the arm64 cross build (tools/arm64_cores) read this file.
# Sources are relative to the package.

zyr_core(incident_core src/incident_rules.cpp src/incident_timeline.cpp)

zyr_core_test(test_incident_rules test/test_incident_rules.cpp test/test_incident_timeline.cpp
  LINK incident_core ${OCTOMAP_LIBRARIES})
