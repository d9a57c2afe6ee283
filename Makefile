# Front door: make demo | make test | make test-asan | make windows
# Each target first installs the Debian packages that are missing.

JOBS ?= 2
SHELL := /bin/bash

DEB_PACKAGES := cmake ninja-build g++ pkg-config openssl libssl-dev duktape-dev \
	libgtest-dev libgmock-dev libbenchmark-dev llvm \
	g++-mingw-w64-i686 mingw-w64-i686-dev binutils-mingw-w64-i686 \
	libgtk-3-dev libgcr-3-dev xvfb xdotool x11-apps imagemagick fonts-noto-cjk fonts-dejavu-core

# Suites with targets of their own (mk/): make test leaves them out.
HEAVY_LABELS := ^(browser|wine|token|package)$$

FUZZ_RUNS ?= 300000
FUZZ_SECONDS ?= 90
FUZZ_PACKAGES := clang libclang-rt-14-dev

.PHONY: deps fuzz-deps demo build test asan test-asan windows fuzz clean

deps:
	@missing=""; \
	for p in $(DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  SUDO=""; [ "$$(id -u)" -ne 0 ] && SUDO=sudo; \
	  $$SUDO apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq --no-install-recommends $$missing </dev/null; \
	fi

fuzz-deps:
	@$(MAKE) --no-print-directory deps DEB_PACKAGES="$(DEB_PACKAGES) $(FUZZ_PACKAGES)"

# The heavier suites (browsers, Wine, the package, tokens) each keep their targets in a
# fragment of their own under mk/; a fragment installs its extra packages with
#   $(MAKE) --no-print-directory deps DEB_PACKAGES="$(DEB_PACKAGES) its packages"
include $(sort $(wildcard mk/*.mk))

build/default/build.ninja: | deps
	cmake --preset default

build: deps build/default/build.ninja
	cmake --build build/default -j $(JOBS)

demo: build
	build/default/bin/npkeystrand run examples/demo.js

test: build
	cd build/default && ctest --output-on-failure -j $(JOBS) --timeout 600 -LE '$(HEAVY_LABELS)'

build/asan/build.ninja: | deps
	cmake --preset asan

asan: deps build/asan/build.ninja
	cmake --build build/asan -j $(JOBS)

test-asan: asan
	cd build/asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS) --timeout 900 -LE '$(HEAVY_LABELS)'

build/windows/build.ninja: | deps
	cmake --preset windows

windows: deps build/windows/build.ninja
	cmake --build build/windows -j $(JOBS)
	tools/check-windows-dll.sh build/windows/bin/npKeystrand.Standard.x86.dll

# Each fuzzer starts from its seeds in tests/fuzz/seeds/NAME (real inputs: the fixtures and
# openssl-made messages, made by tests/fuzz/make-seeds.sh) and runs FUZZ_RUNS inputs from a
# fixed seed (the same inputs on every machine), fewer where tests/fuzz/runs says so, stopping
# early after FUZZ_SECONDS; JOBS fuzzers run at once. A crash or any sanitizer report
# (undefined behaviour too) fails the job and prints the fuzzer's whole log; the logs stay in
# build/fuzz/logs.
build/fuzz/build.ninja: | fuzz-deps
	CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNPK_FUZZ=ON

FUZZ_ENV := UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ASAN_OPTIONS=detect_leaks=1

fuzz: fuzz-deps build/fuzz/build.ninja
	cmake --build build/fuzz -j $(JOBS)
	@rm -rf build/fuzz/logs build/fuzz/corpus; mkdir -p build/fuzz/logs; \
	ls build/fuzz/bin/fuzz_* | xargs -P $(JOBS) -I{} sh -c ' \
	  n=$${1##*/fuzz_}; log=build/fuzz/logs/$$n.log; mkdir -p build/fuzz/corpus/$$n; \
	  seeds=; [ -d tests/fuzz/seeds/$$n ] && seeds=tests/fuzz/seeds/$$n; \
	  runs=$$(awk -v n=$$n -v max=$(FUZZ_RUNS) '\''$$1 == n && $$2 < max { max = $$2 } END { print max }'\'' tests/fuzz/runs); \
	  $(FUZZ_ENV) $$1 -seed=1 -runs=$$runs -max_total_time=$(FUZZ_SECONDS) -max_len=8192 \
	    -print_final_stats=1 build/fuzz/corpus/$$n $$seeds >$$log 2>&1; rc=$$?; \
	  if [ $$rc -ne 0 ] || grep -q -e "runtime error:" -e "ERROR: [A-Za-z]*Sanitizer" $$log; then \
	    cat $$log; echo "== FAILED: $$1 (exit $$rc, log $$log)"; exit 255; fi; \
	  echo "== $$1: $$( [ -n "$$seeds" ] && ls $$seeds | wc -l || echo 0) seeds, $$(grep -o "stat::number_of_executed_units: [0-9]*" $$log)"' _ {}

clean:
	rm -rf build
