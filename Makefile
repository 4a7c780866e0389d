# Set-up and checks. `make test` builds everything and runs every test;
# `make demo` runs the main job on a shipped data set.
SHELL := /bin/bash
# Two test environments, each its own virtual environment with pinned
# requirements: CPython 3.12 with NumPy 1.26 (numpy1) and CPython 3.13 (3.12
# where 3.13 is missing) with the newest NumPy 2 (numpy2). The C++ build, the
# demo and the benchmarks use numpy2's tools.
ENVS := numpy1 numpy2
PYTHONS_numpy1 := 12
PYTHONS_numpy2 := 13 12
VENV := .venv/numpy2
PY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
CTEST := $(VENV)/bin/ctest
BUILD := build/cpp
ASAN_BUILD := build/asan
JOBS := $(shell nproc)
# Sanitizer runtimes for a stock interpreter that loads the instrumented module.
ASAN_PRELOAD = $(shell g++ -print-file-name=libasan.so):$(shell g++ -print-file-name=libubsan.so)
# The allocation-failure library of the out-of-memory tests, built with the C++ tests.
FAILING_ALLOC = tests/preload/libcorvalinth_failing_alloc.so

.PHONY: test demo bench bench-peers asan cpp module cpp-test py-test stubtest venv gtest clean format format-check \
  dist dist-check
.PRECIOUS: .venv/%/.stamp

test: format-check cpp-test py-test

# The C++ sources in the house style (.clang-format), with the clang-format
# pinned in requirements.txt.
CLANG_FORMAT := $(VENV)/bin/clang-format
CXX_SOURCES = $(shell git ls-files '*.cpp' '*.hpp' 2>/dev/null || find src tests bench -name '*.[ch]pp')
format: $(VENV)/.stamp
	$(CLANG_FORMAT) -i $(CXX_SOURCES)
format-check: $(VENV)/.stamp
	@$(CLANG_FORMAT) --dry-run --Werror $(CXX_SOURCES) && echo "== format check: $(words $(CXX_SOURCES)) C++ files in the house style"

venv: $(ENVS:%=.venv/%/.stamp)
.venv/%/.stamp: requirements.txt requirements-%.txt tools/find-python
	@py=$$(tools/find-python $(PYTHONS_$*)) && echo "creating .venv/$* with $$py" && "$$py" -m venv .venv/$*
	.venv/$*/bin/pip install -q --upgrade pip
	.venv/$*/bin/pip install -q -r requirements-$*.txt
	@touch $@

# Plotting is needed by the demo only; the pinned numpy stays as it is.
$(VENV)/.demo-stamp: $(VENV)/.stamp requirements-demo.txt
	$(VENV)/bin/pip install -q -r requirements-demo.txt -r requirements-numpy2.txt
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

module: $(ENVS:%=module-%)
module-%: .venv/%/.stamp
	.venv/$*/bin/python -m pip install -q --no-build-isolation --no-deps .

# The whole Python suite and the stub check (the stub in the source tree
# against the installed module), once in each environment.
py-test: $(ENVS:%=py-test-%)
py-test-%: module-%
	@.venv/$*/bin/python -c 'import sys, numpy; print(f"== Python tests: CPython {sys.version.split()[0]}, NumPy {numpy.__version__}")'
	CORVALINTH_FAILING_ALLOC=$(abspath $(BUILD))/$(FAILING_ALLOC) .venv/$*/bin/python -m pytest -q tests/python
	$(MAKE) --no-print-directory stubtest-$*

stubtest: $(ENVS:%=stubtest-%)
stubtest-%:
	MYPY_CACHE_DIR=build/mypy-cache-$* .venv/$*/bin/python -m mypy.stubtest corvalinth

demo: module-numpy2 $(VENV)/.demo-stamp
	MPLBACKEND=Agg $(PY) examples/quickstart.py

# Every C++ benchmark (bench/cpp/, built into $(BUILD)/bench/), then the NumPy baseline.
# OpenBLAS tuning variables that some machines set for old OpenBLAS builds slow
# the NumPy baseline down; they are dropped for the benchmark run only.
bench: cpp module-numpy2
	@for b in $(BUILD)/bench/bench_*; do [ -x "$$b" ] && { echo "== $$b"; "$$b" || exit 1; }; done
	@echo "== bench/python/baseline_numpy.py"
	env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE $(PY) bench/python/baseline_numpy.py

# Peers (scikit-learn, faiss) live in a virtual environment of their own; our
# module runs from BENCH_PY's environment (numpy2, where the module is installed).
PEERS_VENV := .venv/peers
BENCH_PY ?= $(PY)
$(PEERS_VENV)/.stamp: bench/python/requirements-peers.txt tools/find-python
	@py=$$(tools/find-python $(PYTHONS_numpy2)) && echo "creating $(PEERS_VENV) with $$py" && "$$py" -m venv $(PEERS_VENV)
	$(PEERS_VENV)/bin/pip install -q --upgrade pip
	$(PEERS_VENV)/bin/pip install -q -r bench/python/requirements-peers.txt
	@touch $@

# Each script writes its results (Markdown, JSON, chart) into bench/results/; PEERS_ARGS=--quick runs
# small data only and writes bench/out/*-quick.* instead.
bench-peers: module-numpy2 $(PEERS_VENV)/.stamp
	env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE $(PEERS_VENV)/bin/python bench/python/peers.py \
	  --ours-python $(abspath $(BENCH_PY)) --peers-python $(abspath $(PEERS_VENV)/bin/python) $(PEERS_ARGS)
	env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE $(PEERS_VENV)/bin/python bench/python/default_fit.py \
	  --ours-python $(abspath $(BENCH_PY)) --peers-python $(abspath $(PEERS_VENV)/bin/python) $(PEERS_ARGS)

# The C++ tests, then the Python suite in both environments, each against a
# module built with the sanitizers for that environment's interpreter.
asan: gtest venv
	$(CMAKE) -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVALINTH_SANITIZE=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DCORVALINTH_TESTS=ON -DCORVALINTH_BENCH=OFF
	$(CMAKE) --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(CTEST) --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)
	$(MAKE) --no-print-directory asan-py-numpy2
	$(CMAKE) -S . -B $(ASAN_BUILD)-numpy1 -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVALINTH_SANITIZE=ON \
	  -DPython_EXECUTABLE=$(abspath .venv/numpy1/bin/python) -DCORVALINTH_TESTS=OFF -DCORVALINTH_BENCH=OFF
	$(CMAKE) --build $(ASAN_BUILD)-numpy1 -j $(JOBS)
	$(MAKE) --no-print-directory asan-py-numpy1 ASAN_BUILD=$(ASAN_BUILD)-numpy1

asan-py-%:
	LD_PRELOAD=$(ASAN_PRELOAD) ASAN_OPTIONS=detect_leaks=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONPATH=$(ASAN_BUILD) \
	  CORVALINTH_FAILING_ALLOC=$(abspath build/asan)/$(FAILING_ALLOC) \
	  .venv/$*/bin/python -m pytest -q tests/python

# Distribution: the sdist and one portable wheel per CPython (3.12, 3.13) in
# dist/, built with the pinned tools of .venv/dist-cp3NN (tools/make-dist).
DIST_TAGS := cp312 cp313
.venv/dist-cp3%/.stamp: requirements-dist.txt requirements.txt tools/find-python
	@py=$$(tools/find-python $*) && "$$py" -c 'import sys; sys.exit(sys.version_info[:2] != (3, $*))' \
	  || { echo "CPython 3.$* is needed for its wheel" >&2; exit 1; }; \
	  echo "creating .venv/dist-cp3$* with $$py" && "$$py" -m venv .venv/dist-cp3$*
	.venv/dist-cp3$*/bin/pip install -q --upgrade pip
	.venv/dist-cp3$*/bin/pip install -q -r requirements-dist.txt
	@touch $@

dist: $(DIST_TAGS:%=.venv/dist-%/.stamp)
	tools/make-dist

# Installs what dist/ holds into fresh environments, the wheels with no
# compiler on PATH, the sdist with one, and tests each (tools/dist-check).
dist-check: dist
	tools/dist-check

clean:
	rm -rf build
