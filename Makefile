# Set-up and checks in two commands: `make demo` and `make test`.
JOBS ?= 2
BUILD ?= build
ASAN_BUILD ?= build-asan
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQS_WERROR=ON

.PHONY: all deps deps-test build build-asan test test-release test-asan demo demo-clean format clean

all: build

# Building and running need no server; the tests bring their own (sshd,
# inetd), installed with their system services left disabled.
deps:
	@scripts/install-deps.sh build

deps-test:
	@scripts/install-deps.sh test

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

test: test-release test-asan

demo: build
	@scripts/demo.sh $(BUILD)

# The demo keeps its root between runs; this starts it over.
demo-clean:
	rm -rf $(BUILD)/demo

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
