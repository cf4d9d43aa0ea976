# Thin wrapper over CMake. `make demo` and `make test` install what they need first.
BUILD ?= build
MAKEFLAGS += --no-print-directory
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
WERROR ?= OFF
CMAKE_ARGS ?=

.PHONY: all build demo test test-zlib test-large test-asan memcheck fuzz clean deps test-deps windows test-windows install package check-docs
FUZZ_SECONDS ?= 60
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

test: test-deps
	$(call build_tests,test,)
	@QUORVEXA_REQUIRE_TOOLS=1 ctest --test-dir $(BUILD)/test -LE large -j $(JOBS) --output-on-failure

# The suite again on a build without ISA-L, where zlib is the only engine (as on Windows).
test-zlib: test-deps
	$(call build_tests,test-zlib,-DQUORVEXA_ISAL=OFF)
	@QUORVEXA_REQUIRE_TOOLS=1 ctest --test-dir $(BUILD)/test-zlib -LE large -j $(JOBS) --output-on-failure

test-large: test-deps
	$(call build_tests,test,)
	@QUORVEXA_REQUIRE_TOOLS=1 ctest --test-dir $(BUILD)/test -L large --output-on-failure

test-asan: test-deps
	$(call build_tests,asan,-DQUORVEXA_SANITIZE=ON)
	@QUORVEXA_REQUIRE_TOOLS=1 ctest --test-dir $(BUILD)/asan -LE large -j $(JOBS) --output-on-failure

# The end-to-end tests again, with every run of the program under valgrind. The interrupt
# and terminal tests are left out: they time signals, or run long, against a program valgrind
# slows down many times over.
memcheck:
	@scripts/install-deps.sh memcheck
	$(call build_tests,test,)
	@QUORVEXA_REQUIRE_TOOLS=1 QUORVEXA_TEST_WRAPPER="valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect" \
	    ctest --test-dir $(BUILD)/test -LE large -E 'Interrupted|Terminal' -j $(JOBS) --output-on-failure

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
