# The two set-up commands: `make run` and `make test`.
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
# Debian packages that building and running need.
RUN_DEPS := cmake make g++ pkg-config qt6-base-dev qt6-serialport-dev libgl-dev libssl-dev
# What the tests and benchmarks need besides.
TEST_DEPS := openssl libgtest-dev libgmock-dev libbenchmark-dev socat xvfb xauth twm x11-utils xdotool lrzsz python3-pymodbus python3-serial-asyncio
# What `make package` needs besides: dpkg-shlibdeps, file, lintian, appstreamcli.
PACKAGE_DEPS := dpkg-dev file lintian appstream
# The package is built apart, with Debian's hardening flags.
PACKAGE_BUILD ?= $(BUILD)/deb
export DEB_BUILD_MAINT_OPTIONS = hardening=+all

# clang and its sanitizer runtimes: the sanitized build and the fuzz targets.
CHECK_DEPS := clang libclang-rt-14-dev clang-format
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60

# make test SANITIZE=1: the whole suite under AddressSanitizer and
# UndefinedBehaviorSanitizer (clang), in its own build folder.
ifeq ($(SANITIZE),1)
BUILD := build-asan
CMAKE_ARGS += -DSANITIZE=ON -DCMAKE_CXX_COMPILER=clang++
TEST_DEPS += $(CHECK_DEPS)
# Every test and every program a test starts inherits these: halt at the
# first finding, reports into one folder, emptied first and checked last.
# No strict_string_checks: it flags strndup on unterminated buffers, which
# libxkbcommon-x11 (Qt's X platform) does legitimately.
REPORTS = $(CURDIR)/$(BUILD)/sanitizer-reports
export ASAN_OPTIONS = halt_on_error=1:detect_leaks=1:check_initialization_order=1:log_path=$(REPORTS)/asan
export UBSAN_OPTIONS = halt_on_error=1:print_stacktrace=1:log_path=$(REPORTS)/ubsan
export LSAN_OPTIONS = suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0
endif

.PHONY: all deps test-deps configure build run test fuzz bench package install format format-check clean

all: build

deps:
	@sh tools/install-deps.sh $(RUN_DEPS)

test-deps:
	@sh tools/install-deps.sh $(RUN_DEPS) $(TEST_DEPS)

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_ARGS)

configure: deps $(BUILD)/CMakeCache.txt

build: configure
	cmake --build $(BUILD) -j $(JOBS)

run: build
	./$(BUILD)/tandro-zv-server

# Configures again so that tests and benchmarks installed since are found.
test: test-deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS)
	$(if $(SANITIZE),cmake -DMODE=clear -DDIR=$(REPORTS) -P tools/sanitizer-reports.cmake)
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	$(if $(SANITIZE),cmake -DMODE=check -DDIR=$(REPORTS) -P tools/sanitizer-reports.cmake)

# libFuzzer targets (clang), each run FUZZ_SECONDS; fails on any finding.
fuzz: test-deps
	@sh tools/install-deps.sh $(CHECK_DEPS)
	test -f $(FUZZ_BUILD)/CMakeCache.txt || \
	    cmake -S fuzz -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	sh fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

bench: test-deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS) --target cipher_bench tandro-zv-server tandro-zv-service tandro-zv-client envelope_tool
	./$(BUILD)/bench/cipher_bench
	python3 bench/relay_speed.py --build $(BUILD)
	# Debian's Python: python3-pymodbus is installed for it.
	/usr/bin/python3 bench/modbus_latency.py --build $(BUILD)

# build/tandro-zv-service_<version>_<arch>.deb (no desktop library) and
# build/tandro-zv-server_<version>_<arch>.deb (the window), checked by lintian: errors fail.
package:
	@sh tools/install-deps.sh $(RUN_DEPS) $(PACKAGE_DEPS)
	appstreamcli validate --no-net data/org.tandro.zv_server.metainfo.xml
	cmake -S . -B $(PACKAGE_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON \
	    -DCMAKE_CXX_FLAGS="$$(dpkg-buildflags --get CPPFLAGS) $$(dpkg-buildflags --get CXXFLAGS)" \
	    -DCMAKE_EXE_LINKER_FLAGS="$$(dpkg-buildflags --get LDFLAGS)"
	cmake --build $(PACKAGE_BUILD) -j $(JOBS)
	rm -f $(PACKAGE_BUILD)/*.deb
	cd $(PACKAGE_BUILD) && cpack -G DEB
	debs=$$(cd $(PACKAGE_BUILD) && echo *.deb) && mv $(PACKAGE_BUILD)/*.deb $(BUILD)/ && cd $(BUILD) && \
	if command -v lintian >/dev/null; then lintian --fail-on error --info $$debs; \
	else echo "lintian is not installed: $$debs are not checked"; fi

install: build
	cmake --install $(BUILD)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

# Fails on any source file clang-format would change.
format-check:
	@sh tools/install-deps.sh $(CHECK_DEPS)
	clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(FUZZ_BUILD)
