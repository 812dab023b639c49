# Entry points for users and CI. `make run` builds a Release engine and starts it;
# `make test` also builds and runs every test, then the sanitizer build of the tests.
JOBS ?= $(shell nproc)
BUILD ?= build
ASAN_BUILD ?= build-asan
CMAKE_FLAGS ?=

TSAN_BUILD ?= build-tsan
TSAN_TARGETS ?= core_search_transposition_table_stress_test core_parallel_smp_test \
    core_parallel_smp_search_test core_parallel_smp_stress_test core_parallel_named_thread_test \
    syzygy_syzygy_test

.PHONY: deps configure build build-all run test test-release test-slow test-asan test-tsan bench clean \
        datagen datagen-stop datagen-pause datagen-resume

deps:
	./scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

# Only what running the engine needs; `build-all` adds the tools, benchmarks and tests.
build: configure
	cmake --build $(BUILD) -j $(JOBS) --target orvane

build-all: configure
	cmake --build $(BUILD) -j $(JOBS)

run: build
	./$(BUILD)/orvane

test: test-release test-asan test-tsan

test-release: build-all
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) -LE slow

# The long tests (full perft suites, long stress runs), not part of `make test`.
test-slow: build-all
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) -L slow

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DORVANE_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS) -LE 'slow|nosan'

# Only the threaded tests, under the thread sanitizer.
test-tsan: deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_TSAN=ON $(CMAKE_FLAGS)
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target $(TSAN_TARGETS)
	ctest --test-dir $(TSAN_BUILD) --output-on-failure -j $(JOBS) -L tsan -LE slow

bench: build
	./$(BUILD)/orvane bench

# Self-play data in the background at the lowest priority (scripts/datagen.sh).
datagen: configure
	cmake --build $(BUILD) -j $(JOBS) --target orvane-datagen
	BUILD=$(BUILD) ./scripts/datagen.sh start

datagen-stop:
	BUILD=$(BUILD) ./scripts/datagen.sh stop

datagen-pause:
	./scripts/datagen.sh pause

datagen-resume:
	./scripts/datagen.sh resume

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD)
