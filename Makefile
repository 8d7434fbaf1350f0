# The commands people type. Everything else is CMake.
.PHONY: all run test deps host host-release firmware bench clean

DEBIAN_PACKAGES := cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev libncurses-dev binutils \
	gcc-arm-none-eabi libnewlib-arm-none-eabi libstdc++-arm-none-eabi-newlib

all: host-release

# Installs what is missing: as root with apt-get, otherwise says what to run.
deps:
	@missing=$$(for p in $(DEBIAN_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y $$missing; \
	  else \
	    echo "Missing packages. Run: sudo apt-get install -y $$missing"; exit 1; \
	  fi; \
	fi

host: deps
	cmake --preset host >/dev/null
	cmake --build --preset host

host-release: deps
	cmake --preset host-release >/dev/null
	cmake --build --preset host-release

run: host-release
	build/host-release/tarvik-sim

test: host host-release firmware
	ctest --preset host

# For now the firmware and kernel compiled for the chip; the linked image comes with
# the start-up code and the Cortex-M3 context switch.
firmware: deps
	cmake --preset arm >/dev/null
	cmake --build --preset arm

bench: host-release
	build/host-release/bench/bench_idle

clean:
	rm -rf build
