# Set-up and checks in two commands: `make demo` and `make test`.
JOBS ?= 2
BUILD ?= build
ASAN_BUILD ?= build-asan
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQS_WERROR=ON
# The fuzz targets: a clang tree of their own; `make fuzz` runs each
# (or those named in FUZZ_TARGETS) for FUZZ_SECONDS.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 180
FUZZ_TARGETS ?=
# Where `make demo` installs the sample product (kept between runs).
DEMO_ROOT ?= $(BUILD)/demo
# `make install`: the prefix, and DESTDIR for a staged installation.
PREFIX ?= /usr/local
DESTDIR ?=

.PHONY: all deps deps-test deps-bench deps-fuzz configure build build-asan build-fuzz test \
	test-release test-asan test-unprivileged test-fuzz fuzz bench format-check demo demo-clean \
	install package format clean

all: build

# Building and running need no server; the tests bring their own (sshd,
# inetd), installed with their system services left disabled.
deps:
	@scripts/install-deps.sh build

deps-test:
	@scripts/install-deps.sh test

deps-bench:
	@scripts/install-deps.sh bench

deps-fuzz:
	@scripts/install-deps.sh fuzz

configure: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j$(JOBS)

build-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DQS_WERROR=ON -DQS_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j$(JOBS)

test-release: build deps-test
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

test-asan: build-asan deps-test
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j$(JOBS)

build-fuzz: deps-fuzz
	cmake -S fuzz -B $(FUZZ_BUILD) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
	cmake --build $(FUZZ_BUILD) -j$(JOBS)

# Every fuzz target once over its corpus and regression cases.
test-fuzz: build-fuzz
	cd $(FUZZ_BUILD) && ctest --output-on-failure -j$(JOBS)

fuzz: build-fuzz
	fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# fpack against tar, rm -rf, md5sum and lz4 -1 (as root; not part of
# `make test`). BENCH_BASE=<git ref> times that revision's fpack in the same
# rounds, as the "old" rows; BENCH_ARGS passes options to the script.
BENCH_BUILD ?= build-bench
BENCH_BASE ?=
BENCH_ARGS ?=
bench: deps-bench
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DQS_WERROR=ON
	cmake --build $(BENCH_BUILD) --target fpack bench_io -j$(JOBS)
ifneq ($(BENCH_BASE),)
	rm -rf $(BENCH_BUILD)/base-src && mkdir -p $(BENCH_BUILD)/base-src
	git archive --format=tar $(BENCH_BASE) | tar -x -C $(BENCH_BUILD)/base-src
	cmake -S $(BENCH_BUILD)/base-src -B $(BENCH_BUILD)/base -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BENCH_BUILD)/base --target fpack bench_io -j$(JOBS)
endif
	bench/fpack_bench.py --fpack $(BENCH_BUILD)/fpack/fpack --bench-io $(BENCH_BUILD)/bench/bench_io \
	  $(if $(BENCH_BASE),--other-fpack $(BENCH_BUILD)/base/fpack/fpack \
	  --other-bench-io $(BENCH_BUILD)/base/bench/bench_io) $(BENCH_ARGS)

# The tests that start no server, as an account that is not root: what
# needs root is skipped with its reason, nothing may fail.
test-unprivileged: build deps-test
	scripts/test-unprivileged.sh $(BUILD) $(JOBS)

format-check: deps-test
	clang-format --dry-run -Werror $$(git ls-files '*.cpp' '*.h')

test: format-check test-release test-unprivileged test-asan test-fuzz

# Only what the demo runs: the installer, its engine and the sample medium.
demo: configure
	cmake --build $(BUILD) -j$(JOBS) --target quillset_cli client_bundle sample_medium
	@scripts/demo.sh $(BUILD) $(DEMO_ROOT)

# The demo keeps its root between runs; this starts it over.
demo-clean:
	rm -rf $(DEMO_ROOT)

install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix $(PREFIX)

# The Debian package, in $(BUILD): quillset_<version>_<arch>.deb.
package: build
	cd $(BUILD) && cpack -G DEB

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
