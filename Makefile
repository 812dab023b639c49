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
        datagen datagen-stop datagen-pause datagen-resume \
        windows aarch64 test-windows test-aarch64 test-cross install deb openbench

# OpenBench builds an engine with `make EXE=<path> [CXX=<compiler>]`: then the engine alone is
# built (in $(OPENBENCH_BUILD)) and copied to that path.
ifdef EXE
.DEFAULT_GOAL := openbench
endif

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

# Installs the engine (PREFIX/bin) and its manual page (PREFIX/share/man/man6); DESTDIR is
# honoured for staged installs.
PREFIX ?= /usr/local
install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)

# The Debian package $(DEB_BUILD)/orvane_<version>_<arch>.deb: the engine in /usr/games like
# Debian's engines, built for $(DEB_LEVEL) so that it runs on any machine of the last decade,
# with Fathom compiled in from Debian's source package, so that it needs only the libraries
# every Debian system has (`dpkg -i` alone installs it).
DEB_BUILD ?= build-deb
DEB_LEVEL ?= x86-64-v3
deb: deps
	./scripts/install-deps.sh dpkg-dev
	fathom=$$(./scripts/fathom-source.sh $(FATHOM_SOURCE)) && \
	cmake -S . -B $(DEB_BUILD) -DCMAKE_BUILD_TYPE=Release -DORVANE_TESTS=OFF \
	    -DORVANE_LEVEL=$(DEB_LEVEL) -DORVANE_INSTALL_BINDIR=games -DORVANE_FATHOM_SOURCE=$$fathom \
	    -DORVANE_STATIC=OFF $(CMAKE_FLAGS)
	$(call compile,$(DEB_BUILD),--target orvane)
	cmake --build $(DEB_BUILD) --target deb

OPENBENCH_BUILD ?= build-openbench
# OpenBench passes nothing else; a branch for SPSA tuning sets this to -DORVANE_TUNING=ON.
OPENBENCH_CMAKE_FLAGS ?=
# CXX is passed on only when it was given (on the command line or in the environment).
openbench_cxx = $(if $(filter command line environment,$(origin CXX)),-DCMAKE_CXX_COMPILER=$(CXX))
openbench: deps
	cmake -S . -B $(OPENBENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DORVANE_TESTS=OFF \
	    $(openbench_cxx) $(OPENBENCH_CMAKE_FLAGS) $(CMAKE_FLAGS)
	$(call compile,$(OPENBENCH_BUILD),--target orvane)
	mkdir -p $(dir $(or $(EXE),orvane))
	cp $(OPENBENCH_BUILD)/orvane $(or $(EXE),orvane)

# Cross builds, each with its own tool chain from Debian and the Syzygy library compiled from
# Debian's source package of Fathom (unpacked in $(FATHOM_SOURCE), outside the repository):
#   make windows   $(WINDOWS_BUILD)/orvane.exe (x86-64-v3) and orvane-x86-64-v4.exe, static
#   make aarch64   $(AARCH64_BUILD)/orvane, for 64-bit ARM Linux (NEON), static
# `make test-windows` and `make test-aarch64` (both: `make test-cross`) also build the
# library tests that run there and run every check under wine or qemu-aarch64.
WINDOWS_BUILD ?= build-windows
WINDOWS_LEVELS ?= x86-64-v3 x86-64-v4
AARCH64_BUILD ?= build-aarch64
FATHOM_SOURCE ?= build-fathom
WINDOWS_PACKAGES = cmake make dpkg-dev googletest g++-mingw-w64-x86-64-posix wine wine64
AARCH64_PACKAGES = cmake make dpkg-dev googletest g++-aarch64-linux-gnu binutils-aarch64-linux-gnu \
                   qemu-user

# Configures the cross build $(1) with the tool chain file cmake/$(2).cmake for level $(3).
cross_configure = fathom=$$(./scripts/fathom-source.sh $(FATHOM_SOURCE)) && \
	cmake -S . -B $(1) -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/$(2).cmake \
	    -DORVANE_LEVEL=$(3) -DORVANE_FATHOM_SOURCE=$$fathom $(CMAKE_FLAGS)

# The file name of each Windows level: orvane.exe for x86-64-v3, orvane-<level>.exe otherwise.
windows_exe = $(WINDOWS_BUILD)/$(if $(filter x86-64-v3,$(1)),orvane.exe,orvane-$(1).exe)

# The recipe lines of one Windows level $(1), building targets $(2).
define windows_level
	$(call cross_configure,$(WINDOWS_BUILD)/$(1),toolchain-windows-x86-64,$(1))
	$(call compile,$(WINDOWS_BUILD)/$(1),--target $(2))
	cp $(WINDOWS_BUILD)/$(1)/orvane.exe $(call windows_exe,$(1))

endef

windows:
	./scripts/install-deps.sh $(WINDOWS_PACKAGES)
	$(foreach level,$(WINDOWS_LEVELS),$(call windows_level,$(level),orvane))
	cp "$$(./scripts/fathom-source.sh $(FATHOM_SOURCE))/../LICENSE" $(WINDOWS_BUILD)/fathom-LICENSE.txt

aarch64:
	./scripts/install-deps.sh $(AARCH64_PACKAGES)
	$(call cross_configure,$(AARCH64_BUILD),toolchain-linux-aarch64,armv8-a)
	$(call compile,$(AARCH64_BUILD),--target orvane)

define windows_level_test
	$(call compile,$(WINDOWS_BUILD)/$(1),--target orvane-portable-tests)
	ctest --test-dir $(WINDOWS_BUILD)/$(1) --output-on-failure

endef

test-windows: windows
	$(foreach level,$(WINDOWS_LEVELS),$(call windows_level_test,$(level)))

test-aarch64: aarch64
	$(call compile,$(AARCH64_BUILD),--target orvane-portable-tests)
	ctest --test-dir $(AARCH64_BUILD) --output-on-failure

test-cross: test-windows test-aarch64

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(WINDOWS_BUILD) $(AARCH64_BUILD) $(FATHOM_SOURCE) \
	    $(DEB_BUILD) $(OPENBENCH_BUILD)

# The tuning build: the search's tune records are also UCI options read at run time, and the
# `spsa` command prints them for OpenBench (scripts/spsa.sh drives a local SPSA run with it).
TUNING_BUILD ?= build-tuning
.PHONY: tuning
tuning: deps
	cmake -S . -B $(TUNING_BUILD) -DCMAKE_BUILD_TYPE=Release -DORVANE_TUNING=ON -DORVANE_TESTS=OFF $(CMAKE_FLAGS)
	$(call compile,$(TUNING_BUILD),--target orvane)
