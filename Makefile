# The two set-up commands of the README: `make demo` and `make test`.
# Both install what they need first (Debian packages with apt-get, Python packages with pip).

SHELL := /bin/bash
PYTHON ?= python3
JOBS ?= $(shell nproc)
APT_PACKAGES := cmake ninja-build g++ pkg-config libre2-dev libicu-dev libgtest-dev \
                libbenchmark-dev clang-16 libclang-rt-16-dev
PIP_PACKAGES := "scikit-build-core>=0.10" "cmake>=3.26" ninja pytest hypothesis

CMAKE_COMMON := -G Ninja -DQUORVEX_BUILD_PYTHON=OFF -DQUORVEX_BUILD_TESTS=ON

.PHONY: demo test deps module test-build cpp-tests sanitize-build sanitize-tests gc-stress-tests python-tests fuzz bench

deps:
	@missing=""; for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
	fi
	@$(PYTHON) -m pip install -q $(PIP_PACKAGES)

module: deps
	$(PYTHON) -m pip install -q --no-build-isolation .

demo: module
	$(PYTHON) examples/demo.py

# One build serves the C++ tests, the collector stress runs and the Python tests: pip builds and
# installs the module from build/python with the C++ tests enabled, so the tests exercise the
# installed package. It is the same optimised build as `make module`'s, tests aside.
test-build: deps
	$(PYTHON) -m pip install -q --no-build-isolation -C cmake.define.QUORVEX_BUILD_TESTS=ON .

# Every C++ test runs as it is and in collector stress mode (labels plain and gc-stress).
CPP_TESTS := ctest --test-dir build/python --output-on-failure -j $(JOBS)
PYTHON_TESTS := $(PYTHON) -m pytest -q tests/python

cpp-tests: test-build
	$(CPP_TESTS)

gc-stress-tests: test-build
	$(CPP_TESTS) -L gc-stress

python-tests: test-build
	$(PYTHON_TESTS)

# The module is built with the same sanitizers and its tests run in the ordinary interpreter with
# the sanitizer runtimes preloaded; leaks are not checked there, since the interpreter keeps much
# of what it allocates until the process ends.
SAN_CPP_TESTS := ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/sanitize --output-on-failure -j $(JOBS) -L plain
SAN_PYTHON_TESTS := LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  PYTHONPATH=build/sanitize/embed $(PYTHON) -m pytest -q tests/python

sanitize-build: deps
	cmake -S . -B build/sanitize $(CMAKE_COMMON) -DQUORVEX_BUILD_PYTHON=ON -DCMAKE_BUILD_TYPE=Debug \
	  -DQUORVEX_SANITIZE=ON >/dev/null
	cmake --build build/sanitize -j $(JOBS)

sanitize-tests: sanitize-build
	$(SAN_CPP_TESTS)
	$(SAN_PYTHON_TESTS)

# A fixed seed keeps a CI run's inputs the same from run to run; FUZZ_SEED=0 picks a random one
# for longer hunts.
fuzz: deps
	CC=clang-16 CXX=clang++-16 cmake -S . -B build/fuzz -G Ninja -DQUORVEX_BUILD_PYTHON=OFF \
	  -DQUORVEX_BUILD_TESTS=OFF -DQUORVEX_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build build/fuzz -j $(JOBS)
	JOBS=$(JOBS) tests/fuzz/run_all.sh build/fuzz

# Everything above; the single-threaded Python runs go side by side with the C++ ones.
test: test-build sanitize-build
	tests/side_by_side.sh '$(CPP_TESTS)' '$(PYTHON_TESTS)'
	tests/side_by_side.sh '$(SAN_CPP_TESTS)' '$(SAN_PYTHON_TESTS)'
	$(MAKE) --no-print-directory fuzz

bench: module
	$(PYTHON) bench/run.py
