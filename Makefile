# Thin wrapper around CMake. `make` builds a release, `make test` builds and
# runs every test, `make install PREFIX=...` installs dff2wav and its man page.
# Each first installs the Debian packages the machine lacks
# (tools/install-packages.sh says which, through sudo when not root).
BUILD_DIR ?= build
BUILD_TYPE ?= Release
PREFIX ?= /usr/local
CMAKE_FLAGS ?=
CTEST_FLAGS ?=
JOBS ?= $(shell nproc)

DEMO_DIR = $(BUILD_DIR)/demo

.PHONY: all packages build test test-sanitize demo install format clean

all: build

packages:
	@tools/install-packages.sh

$(BUILD_DIR)/CMakeCache.txt: | packages
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)

build: packages $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

# The tests need GoogleTest (Debian: libgtest-dev); without it the build
# skips them and this target fails rather than pass on no test at all.
test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure --no-tests=error -j $(JOBS) $(CTEST_FLAGS)

# The tests again under the address and undefined-behaviour sanitizers,
# without the 64 MiB runs and the fuzzer, which has sanitizers of its own.
test-sanitize:
	$(MAKE) test BUILD_DIR=build-sanitize BUILD_TYPE=RelWithDebInfo CMAKE_FLAGS=-DSANITIZE=ON \
	  CTEST_FLAGS="-LE 'large|fuzz'"

# Ten seconds of a 1 kHz tone on the left and 3 kHz on the right, written by
# dff-tone and converted to demo.wav. The channel files stay in $(DEMO_DIR).
demo: build
	mkdir -p $(DEMO_DIR)
	$(BUILD_DIR)/dff-tone --duration 10 --left sine:1000:-6 --right sine:3000:-6 $(DEMO_DIR)/demo.dff
	cd $(DEMO_DIR) && { $(CURDIR)/$(BUILD_DIR)/dff2wav demo.dff $(CURDIR)/demo.wav > run.txt; \
	  status=$$?; iconv -f SHIFT_JIS -t UTF-8 < run.txt; exit $$status; }
	@echo
	@echo "Wrote $(CURDIR)/demo.wav: 10 s, 24-bit stereo at 88,200 Hz,"
	@echo "1 kHz on the left and 3 kHz on the right, each 6 dB below full scale."
	@echo "Listen:   ffplay demo.wav   (or aplay demo.wav, or any audio player)"
	@echo "Inspect:  ffprobe demo.wav; sox demo.wav -n stat; or open it in Audacity"
	@echo "          and look at the spectrum (Analyze > Plot Spectrum)."

install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h' ':!decimate/fir_coef.cpp')

clean:
	rm -rf $(BUILD_DIR)
