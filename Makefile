# Thin wrapper over CMake. `make demo` and `make test` install what they need first.
BUILD ?= build
MAKEFLAGS += --no-print-directory
SHELL := /bin/bash
.SHELLFLAGS := -o pipefail -c
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
WERROR ?= OFF
CMAKE_ARGS ?=

.PHONY: all build demo test test-zlib test-large test-asan memcheck fuzz clean deps test-deps windows test-windows install package check-docs test-share
FUZZ_SECONDS ?= 60
, := ,
PREFIX ?= /usr/local

all: build

deps:
	@scripts/install-deps.sh build

test-deps:
	@scripts/install-deps.sh test

build: deps
	@cmake -S . -B $(BUILD)/release -DCMAKE_BUILD_TYPE=Release -DQUORVEXA_WERROR=$(WERROR) $(CMAKE_ARGS) >/dev/null
	@cmake --build $(BUILD)/release -j $(JOBS)

demo: build
	@scripts/install-deps.sh demo
	@scripts/demo.sh $(BUILD)/release/quorvexa

# The binary, man page, bash completion, README and LICENSE under $(PREFIX); DESTDIR is honoured.
install: build
	@cmake --install $(BUILD)/release --prefix $(PREFIX)

# A .deb for this machine's Debian release, in $(BUILD)/release, its Depends found by dpkg-shlibdeps.
package: build
	@scripts/install-deps.sh package
	@cmake --build $(BUILD)/release --target package

# The result codes README.md lists must be the ones the man page lists, and the usage text, man
# page and bash completion must list the same options.
check-docs:
	@scripts/check-docs.sh

# Speed and peak memory beside igzip, pigz, gzip, libdeflate and cp, on a 300 MB data set made once
# under $(BUILD)/bench: prints the table, writes $(BUILD)/bench/results.md and draws docs/bench.png.
.PHONY: bench
bench: build
	@scripts/install-deps.sh bench
	@scripts/bench.sh $(BUILD)/release/quorvexa $(BUILD)/bench

# Configures and builds the suite in $(BUILD)/$(1) with the extra CMake flags $(2).
define build_tests
	@cmake -S . -B $(BUILD)/$(1) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEXA_TESTS=ON \
	    -DQUORVEXA_WERROR=$(WERROR) $(2) $(CMAKE_ARGS) >/dev/null
	@cmake --build $(BUILD)/$(1) -j $(JOBS)
endef

# Runs the suite built in $(BUILD)/$(1) with the ctest selection $(2). Every tool and file a test
# needs is required: a test that can't run fails, and a skip that slipped through fails the run.
define run_tests
	@QUORVEXA_REQUIRE_TOOLS=1 $(3) ctest --test-dir $(BUILD)/$(1) $(2) --no-tests=error --output-on-failure | tee $(BUILD)/$(1)/ctest.log
	@! grep -E '\*\*\*Skipped|Not Run' $(BUILD)/$(1)/ctest.log || { echo "Tests were skipped: a tool or file is missing." >&2; exit 1; }
endef

test: test-deps
	$(call build_tests,test,)
	$(call run_tests,test,-LE large -j $(JOBS))
	@scripts/line-share.sh || true

# Test lines against program lines: tests/, fuzz/ and the scripts that run tests or make their data,
# against src/. At most 35%.
test-share:
	@scripts/line-share.sh

# The suite again on a build without ISA-L, where zlib is the only engine (as on Windows).
test-zlib: test-deps
	$(call build_tests,test-zlib,-DQUORVEXA_ISAL=OFF)
	$(call run_tests,test-zlib,-LE large -j $(JOBS))

test-large: test-deps
	$(call build_tests,test,)
	$(call run_tests,test,-L large)

test-asan: test-deps
	$(call build_tests,asan,-DQUORVEXA_SANITIZE=ON)
	$(call run_tests,asan,-LE large -j $(JOBS))

# The suite again with every run of the program through runQuorvexa under valgrind. The interrupt
# and terminal tests are left out (they time signals, or run long, against a program valgrind slows
# down many times over), and so are the few that start the program themselves (a shell's ulimit).
memcheck:
	@scripts/install-deps.sh memcheck
	$(call build_tests,test,)
	$(call run_tests,test,-LE large -E 'Interrupted|Terminal' -j $(JOBS),\
	    QUORVEXA_TEST_WRAPPER="valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite$(,)indirect")

fuzz:
	@scripts/install-deps.sh fuzz
	@CC=clang CXX=clang++ cmake -S . -B $(BUILD)/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEXA_FUZZ=ON \
	    -DQUORVEXA_WERROR=$(WERROR) $(CMAKE_ARGS) >/dev/null
	@cmake --build $(BUILD)/fuzz -j $(JOBS)
	@scripts/fuzz.sh $(BUILD)/fuzz $(FUZZ_SECONDS)

# Windows: one statically linked quorvexa.exe per target, cross-built with MinGW-w64. Everything
# particular to a target is in its toolchain file.
define build_windows
	@cmake -S . -B $(BUILD)/$(1) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchains/$(2).cmake \
	    -DCMAKE_BUILD_TYPE=Release -DQUORVEXA_WERROR=$(WERROR) $(CMAKE_ARGS) >/dev/null
	@cmake --build $(BUILD)/$(1) -j $(JOBS)
endef

windows:
	@scripts/install-deps.sh windows
	$(call build_windows,windows-x64,mingw-w64-x86_64)
	$(call build_windows,windows-x86,mingw-w64-i686)

# The 64-bit program under Wine, held against the Linux build (scripts/test-windows.sh); the
# 32-bit one is only checked to be linked statically, as this Wine can't run it.
test-windows: windows build test-deps
	@scripts/install-deps.sh windows-test
	@scripts/test-windows.sh $(BUILD)/windows-x64/quorvexa.exe $(BUILD)/release/quorvexa $(BUILD)/wine \
	    $(BUILD)/windows-x86/quorvexa.exe
	$(call build_tests,test,)
	@scripts/test-windows-suite.sh $(BUILD)/windows-x64/quorvexa.exe $(BUILD)/test $(BUILD)/wine-suite

clean:
	rm -rf $(BUILD)
