# Set-up and checks. `make test` builds everything and runs every test;
# `make demo` runs the main job on a shipped data set.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
CTEST := $(VENV)/bin/ctest
BUILD := build/cpp
ASAN_BUILD := build/asan
JOBS := $(shell nproc)
# Sanitizer runtimes for a stock interpreter that loads the instrumented module.
ASAN_PRELOAD = $(shell g++ -print-file-name=libasan.so):$(shell g++ -print-file-name=libubsan.so)

.PHONY: test demo bench bench-peers asan cpp module cpp-test py-test stubtest venv gtest clean

test: cpp-test py-test

venv: $(VENV)/.stamp
$(VENV)/.stamp: requirements.txt tools/find-python
	@py=$$(tools/find-python) && echo "creating $(VENV) with $$py" && "$$py" -m venv $(VENV)
	$(VENV)/bin/pip install -q --upgrade pip
	$(VENV)/bin/pip install -q -r requirements.txt
	@touch $@

# Plotting is needed by the demo only; the pinned numpy stays as it is.
$(VENV)/.demo-stamp: $(VENV)/.stamp requirements-demo.txt
	$(VENV)/bin/pip install -q -r requirements-demo.txt -c requirements.txt
	@touch $@

gtest:
	@tools/ensure-gtest

$(BUILD)/build.ninja: $(VENV)/.stamp CMakeLists.txt
	$(CMAKE) -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DCORVALINTH_TESTS=ON -DCORVALINTH_BENCH=ON

cpp: gtest $(BUILD)/build.ninja
	$(CMAKE) --build $(BUILD) -j $(JOBS)

cpp-test: cpp
	$(CTEST) --test-dir $(BUILD) --output-on-failure -j $(JOBS)

module: $(VENV)/.stamp
	$(PY) -m pip install -q --no-build-isolation --no-deps .

# The stub in the source tree checked against the installed module.
STUBTEST = MYPY_CACHE_DIR=build/mypy-cache $(PY) -m mypy.stubtest corvalinth

py-test: module
	$(PY) -m pytest -q tests/python
	$(STUBTEST)

stubtest: module
	$(STUBTEST)

demo: module $(VENV)/.demo-stamp
	MPLBACKEND=Agg $(PY) examples/quickstart.py

# OpenBLAS tuning variables that some machines set for old OpenBLAS builds slow
# the NumPy baseline down; they are dropped for the benchmark run only.
bench: cpp module
	@for b in $(BUILD)/bench/bench_*; do [ -x "$$b" ] && { echo "== $$b"; "$$b" || exit 1; }; done
	@echo "== bench/baseline_numpy.py"
	env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE $(PY) bench/baseline_numpy.py

# Peers (scikit-learn, faiss) live in a virtual environment of their own; our
# module runs from BENCH_PY's environment, where `make module` installed it.
PEERS_VENV := .venv-peers
BENCH_PY ?= $(PY)
$(PEERS_VENV)/.stamp: bench/requirements-peers.txt tools/find-python
	@py=$$(tools/find-python) && echo "creating $(PEERS_VENV) with $$py" && "$$py" -m venv $(PEERS_VENV)
	$(PEERS_VENV)/bin/pip install -q --upgrade pip
	$(PEERS_VENV)/bin/pip install -q -r bench/requirements-peers.txt
	@touch $@

# PEERS_ARGS=--quick runs small shapes only.
bench-peers: module $(PEERS_VENV)/.stamp
	env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE $(PEERS_VENV)/bin/python bench/peers.py \
	  --ours-python $(abspath $(BENCH_PY)) --peers-python $(abspath $(PEERS_VENV)/bin/python) $(PEERS_ARGS)

asan: gtest $(VENV)/.stamp
	$(CMAKE) -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVALINTH_SANITIZE=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DCORVALINTH_TESTS=ON -DCORVALINTH_BENCH=OFF
	$(CMAKE) --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(CTEST) --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)
	LD_PRELOAD=$(ASAN_PRELOAD) ASAN_OPTIONS=detect_leaks=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONPATH=$(ASAN_BUILD) \
	  $(PY) -m pytest -q tests/python

clean:
	rm -rf build
