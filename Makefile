# Set-up and checks in two commands: `make demo` and `make test`.
JOBS ?= 2
BUILD ?= build
ASAN_BUILD ?= build-asan
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQS_WERROR=ON
# Where `make demo` installs the sample product (kept between runs).
DEMO_ROOT ?= $(BUILD)/demo
# `make install`: the prefix, and DESTDIR for a staged installation.
PREFIX ?= /usr/local
DESTDIR ?=

.PHONY: all deps deps-test configure build build-asan test test-release test-asan \
	test-unprivileged format-check demo demo-clean install package format clean

all: build

# Building and running need no server; the tests bring their own (sshd,
# inetd), installed with their system services left disabled.
deps:
	@scripts/install-deps.sh build

deps-test:
	@scripts/install-deps.sh test

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

# The tests that start no server, as an account that is not root: what
# needs root is skipped with its reason, nothing may fail.
test-unprivileged: build deps-test
	scripts/test-unprivileged.sh $(BUILD) $(JOBS)

format-check: deps-test
	clang-format --dry-run -Werror $$(git ls-files '*.cpp' '*.h')

test: format-check test-release test-unprivileged test-asan

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
	rm -rf $(BUILD) $(ASAN_BUILD)
