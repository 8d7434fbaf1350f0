# The commands people type. Everything else is CMake.
.PHONY: all run test deps host host-release firmware flash bench demo soak clean fuzzers fuzz examples coverage \
	debug debug-host

DEBIAN_PACKAGES := cmake ninja-build g++ python3-serial gnuplot-nox libgtest-dev libgmock-dev libbenchmark-dev libncurses-dev tmux binutils \
	gcc-arm-none-eabi libnewlib-arm-none-eabi libstdc++-arm-none-eabi-newlib qemu-system-arm libunicorn-dev \
	clang libclang-rt-dev nlohmann-json3-dev python3-pytest python3-matplotlib gdb-multiarch sigrok-cli

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

# Every set runs even if one before it fails; the fuzz programs each briefly.
test: host host-release firmware fuzzers
	@status=0; ctest --preset host || status=1; ctest --preset arm || status=1; \
	ctest --preset fuzz || status=1; exit $$status

# The libFuzzer programs (clang; libFuzzer comes with libclang-rt-dev).
fuzzers: deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz

# Each fuzz program for FUZZ_SECONDS, one after another; prints executions and
# time per target. FUZZ_TARGETS picks some (names as in fuzz/corpus/).
FUZZ_SECONDS ?= 60
fuzz: fuzzers
	fuzz/run $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# The board image build/arm/tarvik.elf (.hex, .bin, .map) with its memory budget,
# and the kernel port test image for QEMU.
firmware: deps
	cmake --preset arm >/dev/null
	cmake --build --preset arm

# Programs the unit: through the STM32 serial bootloader on USART1 (BOOT0 high,
# then reset) with stm32flash on PORT, or with PROGRAMMER=stlink through an
# ST-Link, connecting under reset since the firmware turns SWD off.
# DRY_RUN=1 prints the command instead of running it.
PORT ?= /dev/ttyUSB0
PROGRAMMER ?= serial
ifeq ($(PROGRAMMER),stlink)
FLASH_TOOL := st-flash
FLASH_PACKAGE := stlink-tools
FLASH_COMMAND := st-flash --reset --connect-under-reset write build/arm/tarvik.bin 0x08000000
else
FLASH_TOOL := stm32flash
FLASH_PACKAGE := stm32flash
FLASH_COMMAND := stm32flash -b 115200 -w build/arm/tarvik.hex -v -g 0x08000000 $(PORT)
endif

flash: firmware
	@case "$(PROGRAMMER)" in serial|stlink) ;; *) echo "PROGRAMMER is serial or stlink"; exit 1;; esac
	@if [ -n "$(DRY_RUN)" ]; then echo "$(FLASH_COMMAND)"; \
	elif ! command -v $(FLASH_TOOL) >/dev/null; then \
	  echo "$(FLASH_TOOL) is missing. Run: sudo apt-get install -y $(FLASH_PACKAGE)"; exit 1; \
	else echo "$(FLASH_COMMAND)"; $(FLASH_COMMAND); fi

# One table of the benchmark programs' figures, each with its target and whether
# it is met (also in build/bench/results.txt; the programs' own output in
# build/bench/programs.txt). Speeds are the best of BENCH_RUNS runs; the host
# test suite's wall time is that of the optimised build's ctest run.
BENCH_RUNS ?= 2
bench: host-release firmware
	tools/bench-table --build build/host-release --elf build/arm/tarvik.elf --out build/bench --runs $(BENCH_RUNS)

# The long soak: HOURS of virtual time (24 unless given) under a seeded random
# operator, on the optimised build; `make test` soaks one hour.
HOURS ?= 24
SEED ?= 1
soak: host-release
	build/host-release/tests/tarvik-soak --hours $(HOURS) --seed $(SEED)

# The README's PID scenario in batch mode: the RS485 capture, its plot and the
# step-response figures in build/demo/.
demo: host-release
	mkdir -p build/demo
	printf 'e3on\re3pid -f=0 500\r' | build/host-release/tarvik-sim --batch --until 60 \
	  --rs485 build/demo/rs485.txt >build/demo/console.txt
	tools/plot-telemetry --setpoint 500 --figures build/demo/figures.txt -o build/demo/plot.png build/demo/rs485.txt

# Line and branch coverage of the firmware and the kernel by the unit and
# whole-system tests on the host build: build/coverage/index.html and one line
# of figures here. A test that fails still leaves its coverage counted.
coverage: deps
	cmake --preset coverage >/dev/null
	cmake --build --preset coverage
	find build/host-coverage -name '*.gcda' -delete
	-ctest --preset coverage >build/host-coverage/ctest.log 2>&1 || tail -5 build/host-coverage/ctest.log
	mkdir -p build/coverage
	gcovr --root . --object-directory build/host-coverage --filter 'firmware/' --filter 'kernel/' \
	  --exclude-unreachable-branches --exclude-throw-branches \
	  --html-details build/coverage/index.html --print-summary -o /dev/null | \
	  awk '/^lines:/ {l=$$2} /^branches:/ {b=$$2} END {print "coverage of firmware/ and kernel/: lines " l ", branches " b " (build/coverage/index.html)"}'

# The Python examples of examples/ (pytest and the tarvik package from python/)
# on the release build; IMAGE=build/arm/tarvik.elf runs them on the board image.
examples: host-release
	PYTHONPATH=python TARVIK_SIM=build/host-release/tarvik-sim /usr/bin/python3 -m pytest -p no:cacheprovider \
	  -p tarvik.pytest_plugin $(if $(IMAGE),--tarvik-image $(IMAGE)) examples

# The board image under gdb-multiarch, connected and halted at its reset vector;
# the console on a pseudo-terminal, linked as build/debug/console (printed).
# Quitting gdb ends the simulator.
debug: host-release firmware
	@tools/debug-image build/host-release/tarvik-sim build/arm/tarvik.elf

# The host build of the firmware under gdb-multiarch with tools/gdb/tarvik_tasks.py
# (tarvik-tasks lists the tasks); `run` starts it with the console linked as
# build/debug-host/console.
debug-host: host
	mkdir -p build/debug-host
	ASAN_OPTIONS=detect_leaks=0 gdb-multiarch -q -x tools/gdb/tarvik_tasks.py \
	  -ex 'set args --pty --pty-link build/debug-host < /dev/null' build/host/tarvik-sim

clean:
	rm -rf build
