# The pure computations of the flight programs and their gtests: no ROS client
# library and no master, only message definitions (with ROS's time type and
# serialization), octomap and Eigen. Both CMakeLists.txt and the arm64 cross build
# (tools/arm64_cores) read this file, so a core or test added here is built and
# run on both processors. Sources are relative to the package.

set(ZYR_MAPPER_TEST_DATA "${CMAKE_CURRENT_LIST_DIR}/../test/data/hdl64-street-scan.bin")

zyr_core(cloud_insertion src/cloud_insertion.cpp src/voxel_hits.cpp)
target_link_libraries(cloud_insertion ${OCTOMAP_LIBRARIES})
zyr_core(collision_probe src/collision_probe.cpp)
target_link_libraries(collision_probe ${OCTOMAP_LIBRARIES})
# The state server's record codec, and the TCP reader of state_bridge around it.
zyr_core(trajectory_record src/trajectory_record.cpp)
zyr_core(trajectory_tcp src/TrajectoryTCPInterface.cpp)
target_link_libraries(trajectory_tcp trajectory_record)
# The watchdog's judgements, one unit per stage.
zyr_core(watchdog_state src/watchdog_state.cpp src/watchdog/common.cpp src/watchdog/latency_matcher.cpp
  src/watchdog/cloud_content.cpp src/watchdog/stream_stages.cpp src/watchdog/vehicle_stages.cpp
  src/watchdog/failsafe.cpp)
# The ground station's obstacle sectors and the frames from the attitude.
zyr_core(ground_geometry src/attitude_conversion.cpp src/obstacle_sectors.cpp)
target_link_libraries(ground_geometry ${OCTOMAP_LIBRARIES})

zyr_core_test(test_cloud_insertion test/test_cloud_insertion.cpp LINK cloud_insertion)
zyr_core_test(test_voxel_hits test/test_voxel_hits.cpp LINK cloud_insertion
  DEFINITIONS ZYR_STREET_SCAN="${ZYR_MAPPER_TEST_DATA}")
zyr_core_test(test_collision_probe test/test_collision_probe.cpp LINK collision_probe cloud_insertion)
zyr_core_test(test_trajectory_codec test/test_trajectory_codec.cpp LINK trajectory_record)
zyr_core_test(test_watchdog_state test/test_watchdog_state.cpp test/test_watchdog_units.cpp LINK watchdog_state ${rostime_LIBRARIES}
  ${roscpp_serialization_LIBRARIES})
zyr_core_test(test_guarded_flight_logic test/test_guarded_flight_logic.cpp)
zyr_core_test(test_ground_geometry test/test_attitude_conversion.cpp test/test_obstacle_sectors.cpp
  LINK ground_geometry cloud_insertion ${OCTOMAP_LIBRARIES} ${rostime_LIBRARIES} ${roscpp_serialization_LIBRARIES})
