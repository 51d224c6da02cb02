# Build conventions shared by the workspace's packages; the flight package
# includes it and exports it to the packages that find it.
#
#   zyr_target(name)               warning-clean, waits for generated messages
#   zyr_core(name sources...)      static PIC library of ROS-free computations
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
function(zyr_core name)
  add_library(${name} STATIC ${ARGN})
  set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE ON)
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
