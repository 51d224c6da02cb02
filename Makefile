# One entry point for setting up, building, testing and benchmarking the
# workspace on Debian 12 with Debian's own ROS 1 packages.
#
#   make deps        install the Debian packages the workspace needs (idempotent)
#   make build       build every package into build/ and devel/
#   make lint        check every package's manifest and build files (catkin_lint)
#   make install     build and install every package into install/
#   make test        lint, build, install and run every test, the install space
#                    included; ends with "N passed, N failed"
#   make test SANITIZE=1   the same with AddressSanitizer and UBSan, warnings as
#                    errors (build-asan/, devel-asan/, install-asan/)
#   make test-arm64  cross-build the ROS-free cores and their gtests for 64-bit ARM
#                    and run them under emulation (build-arm64/); ends with
#                    "arm64: N passed, N failed"
#   make bench       print the benchmark figures
#   make demo        fly the simulated aircraft at a wall with the system in the loop;
#                    results in demo-output/ (AVOIDANCE=off: without the collision
#                    monitor, results in demo-output/avoidance-off/; SCENARIO=lidar-dropout,
#                    lidar-blind, lidar-frozen, velocity-unhealthy, mapper-crash,
#                    monitor-crash or watchdog-crash: a fault 40 m before the wall, results
#                    in demo-output/SCENARIO/; FAILSAFE=off: without the watchdog's fail-safe,
#                    "-failsafe-off" added to the folder)
#   make deps-demo   install what the demo needs beyond the build (idempotent)
#   make envelope    fly the closed loop where protection ends: wires, obstacles above and
#                    below, walls at an angle, poles beside the path, pop-ups, climbing,
#                    slow flight and clutter with and without each filter, each edge
#                    bisected; results in envelope-output/ (envelope.csv, edges.csv,
#                    envelope.png, envelope.md). ENVELOPE_ARGS="--quick": a flight or two of
#                    each kind; "--grid classic": walls, bars, poles and boxes over offsets and speeds
#   make clean       remove build products

SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
# Debian's ROS runs on the system Python; a Python installed elsewhere and
# found first on PATH breaks catkin and roslaunch.
export PATH := /usr/bin:/bin:/usr/sbin:/sbin:$(PATH)
export ROS_PYTHON_VERSION := 3
# Build and test output of ROS goes to the workspace, not to ~/.ros.
export ROS_HOME := $(CURDIR)/.ros
export ROS_LOG_DIR := $(CURDIR)/.ros/log

JOBS ?= $(shell nproc)
SANITIZE ?= 0

ifeq ($(SANITIZE),1)
BUILD_DIR := build-asan
DEVEL_DIR := devel-asan
INSTALL_DIR := install-asan
SAN_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer
CMAKE_ARGS := -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	"-DCMAKE_CXX_FLAGS=$(SAN_FLAGS) -Werror" "-DCMAKE_C_FLAGS=$(SAN_FLAGS)" \
	"-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined" \
	"-DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=address,undefined"
export ASAN_OPTIONS := detect_leaks=1:abort_on_error=1:strict_string_checks=1
export LSAN_OPTIONS := suppressions=$(CURDIR)/tools/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS := halt_on_error=1:print_stacktrace=1
else
BUILD_DIR := build
DEVEL_DIR := devel
INSTALL_DIR := install
CMAKE_ARGS := -DCMAKE_BUILD_TYPE=Release
endif

CATKIN_MAKE := catkin_make -C $(CURDIR) --build $(BUILD_DIR) \
	-DCATKIN_DEVEL_PREFIX=$(CURDIR)/$(DEVEL_DIR) -DCMAKE_INSTALL_PREFIX=$(CURDIR)/$(INSTALL_DIR) \
	-DPYTHON_EXECUTABLE=/usr/bin/python3 $(CMAKE_ARGS)

APT_PACKAGES := \
	build-essential cmake googletest libgtest-dev \
	catkin catkin-lint ros-message-generation ros-std-msgs ros-sensor-msgs ros-geometry-msgs ros-visualization-msgs \
	libroscpp-dev libtf-dev libpcl-ros-dev liboctomap-dev libvisualization-msgs-dev libeigen3-dev \
	python3-rosmaster rosout python3-roslaunch python3-rostest librostest-dev \
	python3-rostopic python3-rospy python3-tf2-ros rosbash \
	librosbag-storage-dev libtopic-tools-dev libroslib-dev \
	python3-rosbag python3-matplotlib python3-numpy python3-visualization-msgs python3-tf2-msgs python3-sensor-msgs \
	libdiagnostic-updater-dev libdiagnostic-msgs-dev python3-diagnostic-msgs rosdiagnostic \
	libnodeletlib-tools libxxhash-dev

# Cross-building for 64-bit ARM: Debian's cross compiler, the arm64 runtime
# libraries that the cores and their tests link (the octree library, ROS's time
# and serialization, gtest) and user-mode emulation to run the tests. The
# headers are the host's: they do not depend on the architecture.
ARM64_APT_PACKAGES := g++-aarch64-linux-gnu qemu-user libgtest-dev:arm64 liboctomap1.9:arm64 \
	librostime1d:arm64 libroscpp-serialization0d:arm64

# The demo's plot, its rviz picture under a virtual display, bag recording and replay.
DEMO_APT_PACKAGES := python3-matplotlib python3-pil rviz xvfb xauth python3-rosbag python3-rosnode

AVOIDANCE ?= on
SCENARIO ?= wall
FAILSAFE ?= on
# e.g. lidar-dropout, lidar-dropout-failsafe-off, failsafe-off; empty for the plain demo
DEMO_CASE := $(subst $() ,-,$(strip $(filter-out wall,$(SCENARIO)) $(if $(filter off,$(FAILSAFE)),failsafe-off)))
ifeq ($(AVOIDANCE),off)
DEMO_OUTPUT ?= demo-output/avoidance-off$(if $(DEMO_CASE),-$(DEMO_CASE))
else
DEMO_OUTPUT ?= demo-output$(if $(DEMO_CASE),/$(DEMO_CASE))
endif
# DEMO_ARGS: more options of run_demo, e.g. "--rviz off", "--bag", "--beams 64"
DEMO_ARGS ?=

# The envelope's picture; ip brings up the loopback of each worker's network namespace.
ENVELOPE_APT_PACKAGES := python3-matplotlib iproute2
# ENVELOPE_ARGS: more options of run_envelope, e.g. "--workers 2", "--quick", "--resume",
# "--grid classic --kinds pole --beams 16"
ENVELOPE_ARGS ?=

.PHONY: all deps deps-demo build lint install test test-arm64 bench demo envelope clean

all: build

# $(call apt_install,PACKAGES): installs those of PACKAGES that are missing.
define apt_install
	@missing=$$(for p in $(1); do \
		dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
		echo "Installing:" $$missing; \
		sudo=""; [ "$$(id -u)" = 0 ] || sudo=sudo; \
		$$sudo apt-get update; \
		DEBIAN_FRONTEND=noninteractive $$sudo apt-get install -y --no-install-recommends $$missing; \
	fi
endef

deps:
	$(call apt_install,$(APT_PACKAGES))

deps-demo:
	$(call apt_install,$(DEMO_APT_PACKAGES))

# catkin caches the test environment when it first configures a build folder,
# and leaves out of PYTHONPATH any folder that does not exist yet: on a fresh
# clone the devel space's Python folder would be missing from every test run.
build: deps
	mkdir -p $(DEVEL_DIR)/lib/python3/dist-packages
	$(CATKIN_MAKE) -j$(JOBS)

# Warnings count: catkin_lint exits non-zero on errors only, --strict makes
# every reported warning one. -q leaves out the note that no rosdep database
# is there to check the names of system dependencies against.
lint: deps
	catkin_lint -W1 --strict --offline -q src
	@echo "catkin_lint: no errors, no warnings"

install: build
	$(CATKIN_MAKE) -j$(JOBS) install

# The install-space check writes its result beside the others, so the summary
# counts it; its own status covers a check that could not even write it.
test: lint build
	rm -rf $(BUILD_DIR)/test_results
	$(CATKIN_MAKE) -j$(JOBS) tests
	$(CATKIN_MAKE) -j1 run_tests
	$(CATKIN_MAKE) -j$(JOBS) install
	status=0; /usr/bin/python3 tools/check_install_space.py $(CURDIR)/$(INSTALL_DIR) \
		$(BUILD_DIR)/test_results/install_space || status=$$?; \
	/usr/bin/python3 tools/test_summary.py $(BUILD_DIR)/test_results && exit $$status

test-arm64: deps
	@dpkg --print-foreign-architectures | grep -qx arm64 || { \
		sudo=""; [ "$$(id -u)" = 0 ] || sudo=sudo; $$sudo dpkg --add-architecture arm64; }
	$(call apt_install,$(ARM64_APT_PACKAGES))
	JOBS=$(JOBS) tools/run_arm64_tests $(CURDIR)/build-arm64

bench: build
	$(CATKIN_MAKE) -j$(JOBS) benchmarks
	DEVEL=$(CURDIR)/$(DEVEL_DIR) tools/run_bench

demo: build deps-demo
	DEVEL=$(CURDIR)/$(DEVEL_DIR) src/zyr_simulation/scripts/run_demo --avoidance $(AVOIDANCE) \
		--scenario $(SCENARIO) --failsafe $(FAILSAFE) --output $(CURDIR)/$(DEMO_OUTPUT) $(DEMO_ARGS)

envelope: build
	$(call apt_install,$(ENVELOPE_APT_PACKAGES))
	set +u; source $(CURDIR)/$(DEVEL_DIR)/setup.bash; set -u; \
		/usr/bin/python3 src/zyr_simulation/scripts/run_envelope --output $(CURDIR)/envelope-output $(ENVELOPE_ARGS)

clean:
	rm -rf build devel install build-asan devel-asan install-asan build-arm64 .ros
