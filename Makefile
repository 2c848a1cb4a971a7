# The two set-up commands of the README: `make demo` and `make test`.
# Both install what they need first (Debian packages with apt-get, Python packages with pip).

SHELL := /bin/bash
PYTHON ?= python3
JOBS ?= $(shell nproc)
APT_PACKAGES := cmake ninja-build g++ pkg-config libre2-dev libicu-dev libgtest-dev \
                libbenchmark-dev clang-16 libclang-rt-16-dev
PIP_PACKAGES := "scikit-build-core>=0.10" "cmake>=3.26" ninja pytest hypothesis

CMAKE_COMMON := -G Ninja -DQUORVEX_BUILD_PYTHON=OFF -DQUORVEX_BUILD_TESTS=ON

.PHONY: demo test deps module cpp-tests sanitize-tests gc-stress-tests python-tests fuzz bench

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

cpp-tests: deps
	cmake -S . -B build/release $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build build/release -j $(JOBS)
	ctest --test-dir build/release --output-on-failure -j $(JOBS)

# The module is built with the same sanitizers and its tests run in the ordinary interpreter with
# the sanitizer runtimes preloaded; leaks are not checked there, since the interpreter keeps much
# of what it allocates until the process ends.
sanitize-tests: deps
	cmake -S . -B build/sanitize $(CMAKE_COMMON) -DQUORVEX_BUILD_PYTHON=ON -DCMAKE_BUILD_TYPE=Debug \
	  -DQUORVEX_SANITIZE=ON >/dev/null
	cmake --build build/sanitize -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir build/sanitize --output-on-failure -j $(JOBS)
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  PYTHONPATH=build/sanitize/embed $(PYTHON) -m pytest -q tests/python

gc-stress-tests: deps
	cmake -S . -B build/gc-stress $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEX_GC_STRESS=ON >/dev/null
	cmake --build build/gc-stress -j $(JOBS)
	ctest --test-dir build/gc-stress --output-on-failure -j $(JOBS)

python-tests: module
	$(PYTHON) -m pytest -q tests/python

# A fixed seed keeps a CI run's inputs the same from run to run; FUZZ_SEED=0 picks a random one
# for longer hunts.
fuzz: deps
	@if [ -d tests/fuzz ]; then \
	  CC=clang-16 CXX=clang++-16 cmake -S . -B build/fuzz -G Ninja -DQUORVEX_BUILD_PYTHON=OFF \
	    -DQUORVEX_BUILD_TESTS=OFF -DQUORVEX_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null && \
	  cmake --build build/fuzz -j $(JOBS) && \
	  for f in build/fuzz/tests/fuzz/*_fuzz; do \
	    n=$$(basename $$f _fuzz); secs=$${FUZZ_SECONDS:-45}; extra=""; \
	    if [ $$n = eval ]; then secs=$${FUZZ_EVAL_SECONDS:-90}; extra="-close_fd_mask=1 -timeout=20 -detect_leaks=0"; fi; \
	    if [ -f tests/fuzz/$$n.dict ]; then extra="$$extra -dict=tests/fuzz/$$n.dict"; fi; \
	    corpus=""; if [ -d tests/fuzz/$${n}_corpus ]; then \
	      mkdir -p build/fuzz/corpus/$$n; corpus="build/fuzz/corpus/$$n tests/fuzz/$${n}_corpus"; fi; \
	    echo "fuzzing $$f for $$secs s"; \
	    "$$f" -seed=$${FUZZ_SEED:-1} -max_total_time=$$secs -rss_limit_mb=4096 $$extra $$corpus || exit 1; \
	  done; \
	fi

test: cpp-tests sanitize-tests gc-stress-tests fuzz python-tests

bench: module
	$(PYTHON) bench/run.py
