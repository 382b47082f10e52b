# Thin wrapper around CMake. `make` builds a release, `make test` builds and
# runs every test, `make install PREFIX=...` installs dff2wav.
BUILD_DIR ?= build
BUILD_TYPE ?= Release
PREFIX ?= /usr/local
CMAKE_FLAGS ?=
CTEST_FLAGS ?=
JOBS ?= $(shell nproc)

.PHONY: all build test test-sanitize install format clean

all: build

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)

build: $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS) $(CTEST_FLAGS)

# The tests again under the address and undefined-behaviour sanitizers,
# without the 64 MiB runs and the fuzzer, which has sanitizers of its own.
test-sanitize:
	$(MAKE) test BUILD_DIR=build-sanitize BUILD_TYPE=RelWithDebInfo CMAKE_FLAGS=-DSANITIZE=ON \
	  CTEST_FLAGS="-LE 'large|fuzz'"

install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD_DIR)
