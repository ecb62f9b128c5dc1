# The two set-up commands: `make run` and `make test`.
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
DEPS := cmake make g++ pkg-config qt6-base-dev qt6-serialport-dev libgl-dev \
        libssl-dev openssl libgtest-dev libgmock-dev libbenchmark-dev \
        socat xvfb xauth twm x11-utils xdotool dpkg-dev file

.PHONY: all deps configure build run test bench package install format clean

all: build

deps:
	@sh tools/install-deps.sh $(DEPS)

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

configure: deps $(BUILD)/CMakeCache.txt

build: configure
	cmake --build $(BUILD) -j $(JOBS)

run: build
	./$(BUILD)/tandro-zv-server

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

bench: build
	./$(BUILD)/bench/cipher_bench

package: build
	cd $(BUILD) && cpack -G DEB

install: build
	cmake --install $(BUILD)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD)
