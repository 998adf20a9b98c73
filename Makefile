# The two commands of the README, and a few for developers.
BUILD ?= build
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
JOBS ?= $(shell nproc)

.PHONY: all bootstrap configure build check test demo install format clean bench sanitize fuzz \
        fuzz-build fuzz-smoke

all: build

bootstrap:
	@scripts/bootstrap

configure: bootstrap
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# Every test, on a private session bus so nothing reaches the desktop's own,
# then the fuzz smoke runs (a build of its own in build-fuzz/, see below).
test: check fuzz-smoke

# The test suite alone: the quick loop while working.
check: build
	@scripts/with-session-bus ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

demo: build
	@scripts/demo $(BUILD)

# Installs what `make build` built under PREFIX (DESTDIR is honoured). Build
# as yourself first; then `sudo make install`. The install manifest that
# cmake leaves in the build folder is given back to the user behind sudo.
PREFIX ?= /usr/local
install:
	@test -f $(BUILD)/cmake_install.cmake || { echo "make install: nothing is built in $(BUILD); run 'make build' first (as yourself, not root)" >&2; exit 1; }
	cmake --install $(BUILD) --prefix "$(PREFIX)"
	@if [ -n "$$SUDO_UID" ] && [ -f $(BUILD)/install_manifest.txt ]; then chown "$$SUDO_UID:$$SUDO_GID" $(BUILD)/install_manifest.txt; fi

# Benchmarks: an optimised build of its own in build-bench/, then the figures
# (see docs/performance.md). Not part of `make test`.
BENCH_BUILD ?= build-bench
bench: bootstrap
	@cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_BENCHMARKS=ON -DBUILD_TESTING=OFF >/dev/null
	@cmake --build $(BENCH_BUILD) -j $(JOBS) --target tact_benchmarks make_bench_session tactreplay tactagent
	@bench/run $(BENCH_BUILD)

# The whole test suite once more, built with AddressSanitizer and
# UndefinedBehaviorSanitizer (leaks included), in build-sanitize/. CI runs it
# after `make test`.
SANITIZE_BUILD ?= build-sanitize
SANITIZE_FLAGS = -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined
sanitize: bootstrap
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
fuzz-build: bootstrap
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
