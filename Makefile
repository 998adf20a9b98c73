# The two commands of the README, and a few for developers.
BUILD ?= build
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
JOBS ?= $(shell nproc)

.PHONY: all bootstrap bootstrap-test configure configure-test build check test demo install \
        uninstall package format clean bench sanitize fuzz fuzz-build fuzz-smoke

all: build

# The packages a build needs; those the tests need come with `make test`.
# SKIP_BOOTSTRAP=1 skips both.
bootstrap:
	@scripts/bootstrap build

bootstrap-test:
	@scripts/bootstrap test

# A new build folder is configured without the test suite: `make build` and
# `make demo` build the programs only. `make test` and `make check` turn the
# test suite on in the same folder.
configure: bootstrap
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) \
	    $(if $(wildcard $(BUILD)/CMakeCache.txt),,-DBUILD_TESTING=OFF) >/dev/null

configure-test: bootstrap-test
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) -DBUILD_TESTING=ON >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# Every test, on a private session bus so nothing reaches the desktop's own,
# then the fuzz smoke runs (a build of its own in build-fuzz/, see below).
test: check fuzz-smoke

# The test suite alone: the quick loop while working.
check: configure-test
	@cmake --build $(BUILD) -j $(JOBS)
	@scripts/with-session-bus ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The demo needs the replay tool alone.
demo: configure
	@cmake --build $(BUILD) -j $(JOBS) --target tactreplay
	@scripts/demo $(BUILD)

# Installs what `make build` built under PREFIX (DESTDIR is honoured). Build
# as yourself first; then `sudo make install`. The install manifest that
# cmake leaves in the build folder is given back to the user behind sudo.
PREFIX ?= /usr/local
install:
	@test -f $(BUILD)/cmake_install.cmake || { echo "make install: nothing is built in $(BUILD); run 'make build' first (as yourself, not root)" >&2; exit 1; }
	cmake --install $(BUILD) --prefix "$(PREFIX)"
	@if [ -n "$$SUDO_UID" ] && [ -f $(BUILD)/install_manifest.txt ]; then chown "$$SUDO_UID:$$SUDO_GID" $(BUILD)/install_manifest.txt; fi

# Removes what the last `make install` from this build installed (the list
# cmake left in $(BUILD)/install_manifest.txt; DESTDIR is honoured), and the
# folders of our own that are left empty.
uninstall:
	@scripts/uninstall $(BUILD)/install_manifest.txt

# A Debian package of what `make build` builds, installing under /usr, checked
# with lintian: $(BUILD)/packages/tact_VERSION_ARCH.deb (see docs/packaging.md).
package: bootstrap-test configure
	@cmake --build $(BUILD) -j $(JOBS)
	@rm -f $(BUILD)/packages/*.deb
	@cd $(BUILD) && cpack -G DEB --config CPackConfig.cmake
	@lintian --fail-on error $(BUILD)/packages/*.deb

# Benchmarks: an optimised build of its own in build-bench/, then the figures
# (see docs/performance.md). Not part of `make test`.
BENCH_BUILD ?= build-bench
bench: bootstrap-test
	@cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_BENCHMARKS=ON -DBUILD_TESTING=OFF >/dev/null
	@cmake --build $(BENCH_BUILD) -j $(JOBS) --target tact_benchmarks make_bench_session tactreplay tactagent
	@bench/run $(BENCH_BUILD)

# The whole test suite once more, built with AddressSanitizer and
# UndefinedBehaviorSanitizer (leaks included), in build-sanitize/. CI runs it
# after `make test`.
SANITIZE_BUILD ?= build-sanitize
SANITIZE_FLAGS = -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined
sanitize: bootstrap-test
	@cmake -S . -B $(SANITIZE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	    "-DCMAKE_CXX_FLAGS=$(SANITIZE_FLAGS)" "-DCMAKE_EXE_LINKER_FLAGS=$(SANITIZE_FLAGS)" \
	    "-DCMAKE_SHARED_LINKER_FLAGS=$(SANITIZE_FLAGS)" >/dev/null
	@cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	@ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    scripts/with-session-bus ctest --test-dir $(SANITIZE_BUILD) --output-on-failure -j $(JOBS)

# libFuzzer targets (clang, with ASan and UBSan) in build-fuzz/ (see
# docs/fuzzing.md). `make fuzz` runs each FUZZ_SECONDS over its corpus;
# `make fuzz-smoke`, part of `make test`, runs each over a fixed number of
# inputs from a fixed seed.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 20
fuzz-build: bootstrap-test
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DBUILD_FUZZERS=ON -DBUILD_TESTING=OFF >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzzers

fuzz: fuzz-build
	@fuzz/run $(FUZZ_BUILD) $(FUZZ_SECONDS)

fuzz-smoke: fuzz-build
	@fuzz/run --smoke $(FUZZ_BUILD)

format:
	@git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

clean:
	rm -rf $(BUILD)
