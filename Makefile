# make test: set up .venv with CPython 3.12, then build and run the kernel
#            tests and the Python tests, normally and under ASan + UBSan.
# make demo: the same set-up, then the benchmark against NumPy.
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c

VENV   := .venv
PY     := $(VENV)/bin/python
STAMP  := $(VENV)/.deps-installed
DEPS   := "pybind11>=2.13.6,<3" "numpy>=2" "scikit-build-core>=0.10" cmake ninja pytest hypothesis matplotlib
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)

CMAKE_ARGS = -G Ninja -DPython_EXECUTABLE=$(CURDIR)/$(PY) \
             -Dpybind11_DIR="$$($(PY) -m pybind11 --cmakedir)" -DCOMBINATORIAL_TESTS=ON
SANITIZE   := -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer
# Python itself is not built with ASan, so its runtime must be loaded first,
# with libstdc++ beside it so that ASan finds the real __cxa_throw.
ASAN_ENV   = LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
             ASAN_OPTIONS=detect_leaks=0

.PHONY: test demo build build-asan test-release test-asan gtest venv clean

test: test-release test-asan

demo: build
	PYTHONPATH=build/release $(PY) benchmarks/compare.py $(DEMO_ARGS)
	PYTHONPATH=build/release $(PY) benchmarks/memory_bounds.py

venv: $(STAMP)
$(STAMP): pyproject.toml Makefile
	@python=$$(tools/find-python312); echo "Using $$python"; \
	  [ -x $(PY) ] || "$$python" -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet $(DEPS)
	touch $@

gtest:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev; \
	  else \
	    echo "GoogleTest is missing. Install it with: sudo apt-get install libgtest-dev" >&2; exit 1; \
	  fi; \
	fi

# Builds take a lock so that several shells can share one checkout.
build: venv gtest
	@mkdir -p build
	flock build/.lock bash -c 'cmake -S . -B build/release $(CMAKE_ARGS) -DCMAKE_BUILD_TYPE=Release >/dev/null && cmake --build build/release'

build-asan: venv gtest
	@mkdir -p build
	flock build/.lock bash -c 'cmake -S . -B build/asan $(CMAKE_ARGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS="$(SANITIZE)" >/dev/null && cmake --build build/asan'

test-release: build
	ctest --test-dir build/release --output-on-failure --timeout 600
	PYTHONPATH=build/release $(PY) -m pytest -q
	PYTHONPATH=build/release $(PY) benchmarks/compare.py --quick

test-asan: build-asan
	ctest --test-dir build/asan --output-on-failure --timeout 900
	$(ASAN_ENV) COMBINATORIAL_SANITIZED=1 PYTHONPATH=build/asan $(PY) -m pytest -q

clean:
	rm -rf build
