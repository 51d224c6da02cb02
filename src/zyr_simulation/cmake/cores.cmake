# The simulation's pure pieces and their gtests: no ROS client library and no
# master, only message definitions (with ROS's time type) and Eigen. Both
# CMakeLists.txt and the arm64 cross build (tools/arm64_cores) read this file.
# Sources are relative to the package.

# The state stream's text form and its records.
zyr_core(state_stream src/state_stream.cpp)
# Scene, LiDAR, vehicle model, pilot script and sensor faults.
zyr_core(vehicle_sim_core src/scene.cpp src/lidar.cpp src/vehicle_model.cpp src/pilot_script.cpp
  src/sensor_faults.cpp)
target_include_directories(vehicle_sim_core SYSTEM PUBLIC ${EIGEN3_INCLUDE_DIR})
target_link_libraries(vehicle_sim_core ${rostime_LIBRARIES})

zyr_core_test(test_state_stream test/test_state_stream.cpp LINK state_stream)
foreach(t test_sim_scene test_sim_lidar test_sim_vehicle)
  zyr_core_test(${t} test/${t}.cpp LINK vehicle_sim_core
    DEFINITIONS ZYR_SIM_CONFIG_DIR="${CMAKE_CURRENT_LIST_DIR}/../config")
endforeach()
