# Build conventions shared by the workspace's packages; the flight package
# includes it and exports it to the packages that find it.
#
#   zyr_target(name)               warning-clean, waits for generated messages
#   zyr_core(name sources...)      static PIC library of ROS-free computations
#   zyr_core_test(name sources...) gtest of ROS-free computations
#   zyr_benchmark(name sources...) built only by the target "benchmarks" (make bench)

function(zyr_target name)
  target_compile_options(${name} PRIVATE -Wall -Wextra)
  if(catkin_EXPORTED_TARGETS)
    add_dependencies(${name} ${catkin_EXPORTED_TARGETS})
  endif()
  if(TARGET ${PROJECT_NAME}_generate_messages_cpp)
    add_dependencies(${name} ${PROJECT_NAME}_generate_messages_cpp)
  endif()
endfunction()

# Linked into the programs, their tests and benchmarks, and into shared
# libraries, so compiled once as position-independent code.
#
# A core is declared in its package's cmake/cores.cmake and nowhere else: the
# arm64 cross build (tools/arm64_cores) reads those files, so a core declared
# elsewhere would silently go untested on the aircraft's processor.
function(zyr_core name)
  get_filename_component(list_name "${CMAKE_CURRENT_LIST_FILE}" NAME)
  if(NOT list_name STREQUAL "cores.cmake")
    message(FATAL_ERROR "zyr_core(${name}) in ${CMAKE_CURRENT_LIST_FILE}: declare ROS-free cores "
      "in the package's cmake/cores.cmake, which the arm64 cross build reads too")
  endif()
  add_library(${name} STATIC ${ARGN})
  set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  zyr_target(${name})
endfunction()

# zyr_core_test(name sources... [LINK libraries...] [DEFINITIONS definitions...])
# A gtest of ROS-free cores, declared in cmake/cores.cmake beside them: no
# ROS client library, no master. The same line builds it here and in the
# arm64 cross build, where it runs under emulation.
function(zyr_core_test name)
  if(NOT CATKIN_ENABLE_TESTING)
    return()
  endif()
  cmake_parse_arguments(arg "" "" "LINK;DEFINITIONS" ${ARGN})
  catkin_add_gtest(${name} ${arg_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} ${arg_LINK} gtest_main)
  if(arg_DEFINITIONS)
    target_compile_definitions(${name} PRIVATE ${arg_DEFINITIONS})
  endif()
  zyr_target(${name})
endfunction()

if(NOT TARGET benchmarks)
  add_custom_target(benchmarks)
endif()
function(zyr_benchmark name)
  add_executable(${name} EXCLUDE_FROM_ALL ${ARGN})
  target_link_libraries(${name} ${catkin_LIBRARIES})
  zyr_target(${name})
  add_dependencies(benchmarks ${name})
endfunction()
