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

.PHONY: all deps deps-test deps-fuzz build build-asan build-fuzz test test-release test-asan \
	test-fuzz fuzz demo demo-clean format clean

all: build

# Building and running need no server; the tests bring their own (sshd,
# inetd), installed with their system services left disabled.
deps:
	@scripts/install-deps.sh build

deps-test:
	@scripts/install-deps.sh test

deps-fuzz:
	@scripts/install-deps.sh fuzz

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
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

test: test-release test-asan test-fuzz

demo: build
	@scripts/demo.sh $(BUILD)

# The demo keeps its root between runs; this starts it over.
demo-clean:
	rm -rf $(BUILD)/demo

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
