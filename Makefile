# The two commands: `make demo` and `make test`. Both set up a fresh machine.
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c

BUILD   ?= build
VENV    ?= .venv
PYTHON  ?= python3
JOBS    ?= $(shell nproc)
PY      := $(VENV)/bin/python
APT_PACKAGES := cmake ninja-build g++ pkg-config liburing-dev libgtest-dev python3-dev python3-venv

.PHONY: all deps build ctest asan tsan sanitize venv pytest pytest-asan typecheck test demo bench clean

all: build

# Installs the Debian packages that are missing, when run as root.
deps:
	@if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
	  missing=""; \
	  for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	  if [ -n "$$missing" ]; then \
	    echo "installing:$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	  fi; \
	fi

build: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -Wno-dev >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

ctest: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# Sanitizer builds of the core and its tests.
asan: deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTRELIO_ASAN=ON -DKESTRELIO_BENCH=OFF -Wno-dev >/dev/null
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir build-asan --output-on-failure -j $(JOBS)

tsan: deps
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRELIO_TSAN=ON -DKESTRELIO_BENCH=OFF -Wno-dev >/dev/null
	cmake --build build-tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --test-dir build-tsan --output-on-failure -j $(JOBS)

sanitize: asan tsan

$(VENV)/bin/python:
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

# Installs the project with its test extras into .venv.
venv: deps $(VENV)/bin/python
	@if [ -f pyproject.toml ]; then $(PY) -m pip install -q '.[test,bench]'; fi

# The Python suite, once per backend. pytest's exit code 5 (no tests) fails too.
pytest: venv
	@if [ -d tests ] && [ -f pyproject.toml ]; then \
	  for backend in aio compio; do \
	    echo "== pytest with KESTRELIO_BACKEND=$$backend"; \
	    KESTRELIO_BACKEND=$$backend $(PY) -m pytest -q tests; \
	  done; \
	fi

# The Python suite against an AddressSanitizer + UBSan build of the extension,
# loaded from the build tree ahead of the installed one. CPython itself is
# not instrumented, so the runtime is preloaded and leak checking stays off.
ASAN_PY := build-py-asan
pytest-asan: venv
	cmake -S . -B $(ASAN_PY) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTRELIO_ASAN=ON -DKESTRELIO_PYTHON=ON \
	  -DKESTRELIO_TESTS=OFF -DKESTRELIO_BENCH=OFF -DPython_EXECUTABLE=$(abspath $(PY)) -Wno-dev >/dev/null
	cmake --build $(ASAN_PY) -j $(JOBS) --target _kestrelio
	for backend in aio compio; do \
	  echo "== pytest under AddressSanitizer with KESTRELIO_BACKEND=$$backend"; \
	  KESTRELIO_BACKEND=$$backend LD_PRELOAD=$$($(CXX) -print-file-name=libasan.so) \
	    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    KESTRELIO_TREE_BUILD=1 PYTHONPATH=$(ASAN_PY)/kestrelio-py:python $(PY) -m pytest -q -p no:cacheprovider tests; \
	done

# mypy --strict over the package, against the module's stub.
typecheck: venv
	$(PY) -m mypy

test: ctest sanitize pytest pytest-asan typecheck

demo: build venv
	@if $(PY) -c 'import kestrelio.__main__' 2>/dev/null; then \
	  $(PY) -m kestrelio bench; \
	else \
	  $(BUILD)/examples/kestrelio_demo; \
	fi

bench: build
	$(BUILD)/bench/core_bench

clean:
	rm -rf $(BUILD) build-asan build-tsan $(ASAN_PY) build-py $(VENV) dist *.egg-info
