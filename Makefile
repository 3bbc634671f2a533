# make test: set up .venv with CPython 3.12, build, install the package's
#            wheel into it, then run the kernel tests and the Python tests,
#            normally and under ASan + UBSan, the thread tests under
#            ThreadSanitizer; then, on CPython 3.12 to 3.15, the repaired
#            manylinux wheel in a fresh venv with the package's tests.
# make demo: the same set-up, then the benchmarks.
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c

VENV   := .venv
PY     := $(VENV)/bin/python
STAMP  := $(VENV)/.deps-installed
BUILD_DEPS := "pybind11>=2.13.6,<3" "nanobind>=3,<4" "scikit-build-core>=0.10" cmake ninja
DEPS   := $(BUILD_DEPS) "numpy>=2" pytest hypothesis matplotlib mypy "dask[array]" distributed
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)

CMAKE_ARGS = -G Ninja -DPython_EXECUTABLE=$(CURDIR)/$(PY) \
             -Dpybind11_DIR="$$($(PY) -m pybind11 --cmakedir)" -DCOMBINATORIAL_TESTS=ON
SANITIZE   := -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer
# Python itself is not built with ASan, so its runtime must be loaded first,
# with libstdc++ beside it so that ASan finds the real __cxa_throw.
ASAN_ENV   = LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
             ASAN_OPTIONS=detect_leaks=0
# Installs the package from this tree with the build tools already in the venv.
PIP_INSTALL = -m pip install --quiet --no-deps --no-build-isolation --force-reinstall .

WHEEL_TESTS := test-wheel-3.12 test-wheel-3.13 test-wheel-3.14 test-wheel-3.15

.PHONY: test demo dask-example build build-asan build-tsan install test-release test-asan test-tsan \
        test-wheels $(WHEEL_TESTS) gtest venv clean

test: test-release test-asan test-tsan test-wheels

demo: install
	PYTHONPATH=build/release $(PY) benchmarks/compare.py $(DEMO_ARGS)
	PYTHONPATH=build/release $(PY) benchmarks/memory_bounds.py
	$(PY) benchmarks/package.py $(DEMO_ARGS)

# The Dask example: all C(50, 7) rows counted on a local cluster, against one process.
dask-example: install
	$(PY) examples/dask_enumerate.py

venv: $(STAMP)
$(STAMP): pyproject.toml Makefile
	@python=$$(tools/find-python 3.12); echo "Using $$python"; \
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

# Only the thread tests of the kernels and the core's caches, under ThreadSanitizer.
build-tsan: venv gtest
	@mkdir -p build
	flock build/.lock bash -c 'cmake -S . -B build/tsan $(CMAKE_ARGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS="-fsanitize=thread" >/dev/null && cmake --build build/tsan --target thread_tests'

# The wheel, built and installed into the venv as a user would have it.
install: build
	@mkdir -p build
	flock build/.lock $(PY) $(PIP_INSTALL)

# The low-level module from the build tree; the package as installed, with
# a minute of its fuzz campaign (fixed seed), its doctests and the type check
# of the package and of a typed example.
test-release: build install
	ctest --test-dir build/release --output-on-failure --timeout 600
	PYTHONPATH=build/release $(PY) -m pytest -q --ignore=tests/package
	COMBINATORIAL_PACKAGE_FUZZ_SECONDS=60 $(PY) -m pytest -q tests/package
	$(PY) -m pytest -q --doctest-modules --pyargs combinatorial
	$(PY) -m mypy src/combinatorial examples/typed_usage.py
	PYTHONPATH=build/release $(PY) benchmarks/compare.py --quick
	$(PY) benchmarks/package.py --quick

# Both modules from the sanitized build tree.
test-asan: build-asan
	ctest --test-dir build/asan --output-on-failure --timeout 900
	$(ASAN_ENV) COMBINATORIAL_SANITIZED=1 COMBINATORIAL_PACKAGE_FUZZ_SECONDS=60 PYTHONPATH=build/asan $(PY) -m pytest -q

test-tsan: build-tsan
	build/tsan/tests/cpp/thread_tests

# The wheel users get, per Python: pip's isolated build, auditwheel's
# manylinux repair, a fresh venv, the package's tests, doctests and thread
# tests from outside the checkout (tools/test-wheel; output in build/py/X.Y).
test-wheels: $(WHEEL_TESTS)

test-wheel-3.12: venv
	tools/test-wheel $(CURDIR)/$(PY)

test-wheel-3.13:
	tools/test-wheel "$$(tools/find-python 3.13)"

# Debian unstable's 3.14 and 3.15, in a root built once under ~/.cache
# (tools/sid-root); there the low-level module is tested first, and GCC's
# warnings on the whole build are listed.
test-wheel-3.14 test-wheel-3.15: test-wheel-%:
	@if [ "$$(id -u)" != 0 ]; then \
	  echo "$@: SKIPPED: CPython $* comes from a Debian unstable root, which only root can build and enter (debootstrap, chroot, mount); run make test as root, as CI does"; \
	else \
	  tools/sid-root run tools/test-wheel python$* --lowlevel; \
	fi

clean:
	rm -rf build
