# Quick start:
#   make run   builds kerrow and round-trips the bundled sample in both modes
#   make test  builds (Release, warnings as errors) and runs every test
BUILD_DIR ?= build
ASAN_DIR  ?= build-asan
PREFIX    ?= /usr/local
JOBS      ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build run test sanitize install package clean

all: build

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release -DKERROW_WERROR=ON

build: $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
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

install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR)
