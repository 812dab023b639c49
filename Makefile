# Entry points for users and CI. `make run` builds a Release engine and starts it;
# `make test` also builds and runs every test, then the sanitizer build of the tests.
JOBS ?= $(shell nproc)
BUILD ?= build
ASAN_BUILD ?= build-asan
CMAKE_FLAGS ?=

TSAN_BUILD ?= build-tsan

# Builds directory $(1) with extra arguments $(2). A failed build is tried once more, one job at
# a time: the compiler has been seen to crash now and then on a busy machine, and a real error
# fails the second time as well.
compile = cmake --build $(1) -j $(JOBS) $(2) || { echo "build failed; trying once more, one job at a time"; cmake --build $(1) -j 1 $(2); }

.PHONY: deps configure build build-all run test test-release test-slow test-asan test-tsan bench clean \
        datagen datagen-stop datagen-pause datagen-resume

deps:
	./scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

# Only what running the engine needs; `build-all` adds the tools, benchmarks and tests.
build: configure
	$(call compile,$(BUILD),--target orvane)

build-all: configure
	$(call compile,$(BUILD))

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
	$(call compile,$(ASAN_BUILD))
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS) -LE 'slow|nosan'

# Only the threaded tests (labelled "tsan" in tests/CMakeLists.txt, which also makes the
# tsan_tests target that builds them), under the thread sanitizer.
test-tsan: deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_TSAN=ON $(CMAKE_FLAGS)
	$(call compile,$(TSAN_BUILD),--target tsan_tests)
	ctest --test-dir $(TSAN_BUILD) --output-on-failure -j $(JOBS) -L tsan -LE slow

bench: build
	./$(BUILD)/orvane bench

# Self-play data in the background at the lowest priority (scripts/datagen.sh).
datagen: configure
	$(call compile,$(BUILD),--target orvane-datagen orvane-games)
	BUILD=$(BUILD) ./scripts/datagen.sh start

datagen-stop:
	$(call compile,$(BUILD),--target orvane-games)
	BUILD=$(BUILD) ./scripts/datagen.sh stop

datagen-pause:
	./scripts/datagen.sh pause

datagen-resume:
	./scripts/datagen.sh resume

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD)

# The tuning build: the search's tune records are also UCI options read at run time, and the
# `spsa` command prints them for OpenBench (scripts/spsa.sh drives a local SPSA run with it).
TUNING_BUILD ?= build-tuning
.PHONY: tuning
tuning: deps
	cmake -S . -B $(TUNING_BUILD) -DCMAKE_BUILD_TYPE=Release -DORVANE_TUNING=ON -DORVANE_TESTS=OFF $(CMAKE_FLAGS)
	$(call compile,$(TUNING_BUILD),--target orvane)
