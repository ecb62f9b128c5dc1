# The two set-up commands: `make run` and `make test`.
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
DEPS := cmake make g++ pkg-config qt6-base-dev qt6-serialport-dev libgl-dev \
        libssl-dev openssl libgtest-dev libgmock-dev libbenchmark-dev \
        socat xvfb xauth dpkg-dev file
# clang and its sanitizer runtimes: the sanitized build and the fuzz targets.
CHECK_DEPS := clang libclang-rt-14-dev
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60

# make test SANITIZE=1: the whole suite under AddressSanitizer and
# UndefinedBehaviorSanitizer (clang), in its own build folder.
ifeq ($(SANITIZE),1)
BUILD := build-asan
CMAKE_ARGS += -DSANITIZE=ON -DCMAKE_CXX_COMPILER=clang++
DEPS += $(CHECK_DEPS)
endif

.PHONY: all deps configure build run test fuzz bench package install format clean

all: build

deps:
	@sh tools/install-deps.sh $(DEPS)

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_ARGS)

configure: deps $(BUILD)/CMakeCache.txt

build: configure
	cmake --build $(BUILD) -j $(JOBS)

run: build
	./$(BUILD)/tandro-zv-server

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# libFuzzer targets (clang), each run FUZZ_SECONDS; fails on any finding.
fuzz: deps
	@sh tools/install-deps.sh $(CHECK_DEPS)
	test -f $(FUZZ_BUILD)/CMakeCache.txt || \
	    cmake -S fuzz -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	sh fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

bench: build
	./$(BUILD)/bench/cipher_bench

package: build
	cd $(BUILD) && cpack -G DEB

install: build
	cmake --install $(BUILD)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(FUZZ_BUILD)
