# Quick start:
#   make run   builds kerrow and round-trips the bundled sample in both modes
#   make test  builds (Release, warnings as errors) and runs the tests but the
#              large-file one (make test-large)
BUILD_DIR ?= build
ASAN_DIR  ?= build-asan
PREFIX    ?= /usr/local
JOBS      ?= $(shell nproc 2>/dev/null || echo 2)
MAKEFLAGS += --no-print-directory

# The compiler of the main build: $CXX when given, else clang++ when it is
# installed (the compiler of the figures in CONTRIBUTING, and of the fuzz
# build), else the system's c++.
ifeq ($(filter environment command line,$(origin CXX)),)
  CXX := $(shell command -v clang++ 2>/dev/null || echo c++)
endif

.PHONY: all build run test test-large sanitize fuzz bench install package package-check clean \
        windows test-windows package-windows test-cross

all: build

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release -DKERROW_WERROR=ON -DCMAKE_CXX_COMPILER=$(CXX)

build: $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

run: $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS) --target kerrow
	examples/roundtrip.sh $(BUILD_DIR)/kerrow

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) -LE large

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer;
# any report fails the run.
sanitize:
	cmake -S . -B $(ASAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DKERROW_WERROR=ON \
	  -DCMAKE_CXX_FLAGS="-O1 -g -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
	cmake --build $(ASAN_DIR) -j $(JOBS)
	cd $(ASAN_DIR) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS) -LE large

# Files over 4 GiB, both modes (sparse inputs; needs about 9 GiB of free disk).
test-large: build
	cd $(BUILD_DIR) && ctest --output-on-failure -L large

# Each fuzz target for FUZZ_SECONDS on its seed corpus (clang and libFuzzer).
FUZZ_SECONDS ?= 60
fuzz:
	tests/fuzz/run.sh $(FUZZ_SECONDS)

# kerrow against openssl enc on a 64 MiB file, and the kernel benchmarks.
bench: build
	bench/compare.sh

install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

package: build
	cd $(BUILD_DIR) && cpack -G DEB

# Unpacks the Debian package into a scratch root, checks its files, runs its
# binary, and runs lintian on it when lintian is installed.
package-check: package
	tests/package_check.sh $(BUILD_DIR)

# kerrow.exe for 64-bit Windows, cross-built with MinGW-w64
# (g++-mingw-w64-x86-64-posix) and linked statically.
WIN_DIR      ?= build-win
WINE         ?= /usr/lib/wine/wine64
WINESERVER   ?= /usr/lib/wine/wineserver
GTEST_SOURCE ?= /usr/src/googletest
# Wine for the tests: a prefix of its own in the build folder (made on first
# use), no debug lines, no offer to install Mono or Gecko, UTF-8 file names.
WINE_ENV = WINEPREFIX=$(abspath $(WIN_DIR))/wine;WINEDEBUG=-all;WINEDLLOVERRIDES=mscoree,mshtml=;LC_ALL=C.UTF-8

# The stamp is written only when configuring succeeds. A configure that
# failed (MinGW-w64 missing, say) leaves a cache but no build files; without
# the stamp the next run configures afresh (--fresh drops that cache) instead
# of building in a folder that has no Makefile.
$(WIN_DIR)/configured.stamp:
	cmake --fresh -S . -B $(WIN_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DKERROW_WERROR=ON -DKERROW_GTEST_SOURCE=$(GTEST_SOURCE) \
	  -DKERROW_HOST_BIN=$(abspath $(BUILD_DIR))/kerrow "-DCMAKE_CROSSCOMPILING_EMULATOR=env;$(WINE_ENV);$(WINE)"
	touch $@

windows: $(WIN_DIR)/configured.stamp
	cmake --build $(WIN_DIR) -j $(JOBS) --target kerrow

# The unit tests that run on Windows and tests/windows/check_exe.sh, under
# Wine, against the Linux build. One Wine server serves every run (started
# here unless one is running, and then stopped here too). wineboot makes the
# prefix on first use and starts Wine's own background programs with their
# output on /dev/null: started by a test, they would hold its output open
# and keep ctest waiting.
test-windows: build $(WIN_DIR)/configured.stamp
	cmake --build $(WIN_DIR) -j $(JOBS)
	@mkdir -p $(WIN_DIR)/wine
	@export $(subst ;, ,$(WINE_ENV)); started=; \
	if $(WINESERVER) -p 2>/dev/null; then started=1; fi; \
	$(WINE) wineboot >/dev/null 2>&1; \
	(cd $(WIN_DIR) && ctest --output-on-failure -j $(JOBS)); rc=$$?; \
	if [ -n "$$started" ]; then $(WINESERVER) -k; fi; exit $$rc

# kerrow-<version>-win64.zip: kerrow.exe, the README and the manual page as text.
package-windows: windows
	cmake --build $(WIN_DIR) --target kerrow_texts
	cd $(WIN_DIR) && cpack -G ZIP

# kerrow and its tests for Linux on s390x (big-endian), aarch64 and i686
# (32-bit), cross-built with Debian's g++-<triple>, linked statically and run
# under qemu-user against the build for this machine: the unit tests, the
# known-answer vectors and containers made on one read on the other, the same
# bytes from both (tests/cross/check_target.sh); on i686 also 4 GiB + 3 bytes
# in both modes. Each target's build and test times are printed as it ends.
# QEMU_SUFFIX=-static runs qemu-user-static's programs instead.
CROSS_TARGETS ?= s390x aarch64 i686
CROSS_DIR     ?= build-cross
QEMU_SUFFIX   ?=
qemu_s390x    = qemu-s390x$(QEMU_SUFFIX)
qemu_aarch64  = qemu-aarch64$(QEMU_SUFFIX)
qemu_i686     = qemu-i386$(QEMU_SUFFIX)

$(CROSS_DIR)-%/CMakeCache.txt:
	cmake -S . -B $(CROSS_DIR)-$* -DCMAKE_TOOLCHAIN_FILE=cmake/linux-$*.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DKERROW_WERROR=ON -DKERROW_GTEST_SOURCE=$(GTEST_SOURCE) \
	  -DKERROW_HOST_BIN=$(abspath $(BUILD_DIR))/kerrow -DCMAKE_CROSSCOMPILING_EMULATOR=$(qemu_$*)

test-cross: build
	@for t in $(CROSS_TARGETS); do \
	  started=$$(date +%s); \
	  $(MAKE) $(CROSS_DIR)-$$t/CMakeCache.txt && cmake --build $(CROSS_DIR)-$$t -j $(JOBS) || exit 1; \
	  built=$$(date +%s); \
	  (cd $(CROSS_DIR)-$$t && ctest --output-on-failure -j $(JOBS)) || exit 1; \
	  echo "test-cross: $$t built in $$((built - started)) s, tested in $$(($$(date +%s) - built)) s"; \
	done

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(WIN_DIR) $(addprefix $(CROSS_DIR)-,$(CROSS_TARGETS))
