"""Memory exhaustion is MemoryError with the model unchanged, never an abort
and never PanicException.

Two ways in: the allocation-failure sweep (allocation_sweep.py, run in a
child interpreter with the failing-alloc library preloaded) fails each
allocation the module makes in turn; the exhausted-heap runs fill the whole
heap under an address-space limit and then call into the module.
"""

from __future__ import annotations

import json
import os
import pathlib
import subprocess
import sys

import pytest

from conftest import python_command, sanitized_run

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent.parent


def failing_alloc_library() -> pathlib.Path:
    """The preload library built with the C++ tests (`make test` and `make asan`
    name it in CORVALINTH_FAILING_ALLOC)."""
    named = os.environ.get("CORVALINTH_FAILING_ALLOC")
    path = pathlib.Path(named) if named else ROOT / "build/cpp/tests/preload/libcorvalinth_failing_alloc.so"
    if not path.exists():
        pytest.skip(f"failing-alloc library not built ({path}); run `make test`")
    return path


def preload_environment(library: pathlib.Path) -> dict[str, str]:
    """The library goes in front of everything else preloaded (the sanitizer
    runtimes under `make asan`), so that it sees the module's calls first and
    passes them on to the sanitizer's allocator."""
    env = dict(os.environ)
    others = env.get("LD_PRELOAD", "")
    env["LD_PRELOAD"] = f"{library}:{others}" if others else str(library)
    if others:
        # The sanitizer then no longer comes first; its allocator still
        # serves every allocation through the library.
        env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS", ""), "verify_asan_link_order=0"]))
    return env


SWEEP_GROUPS = ["constructor", "fit", "predict", "fit_predict", "getters", "errors", "first_call", "acceleration"]
# The groups whose calls run on the pool, swept again with more workers than
# processors: pieces then move between workers all the time.
POOL_GROUPS = ["fit", "predict", "fit_predict", "first_call", "acceleration"]


@pytest.mark.parametrize("group, workers", [(group, None) for group in SWEEP_GROUPS] +
                         [(group, "7") for group in POOL_GROUPS])
def test_every_allocation_can_fail(group, workers):
    library = failing_alloc_library()
    env = preload_environment(library)
    if workers is not None:
        env["RAYON_NUM_THREADS"] = workers
    child = subprocess.run([sys.executable, str(HERE / "allocation_sweep.py"), group, str(library)],
                           capture_output=True, text=True, timeout=600, env=env)
    assert child.returncode == 0, f"sweep child ended with {child.returncode}:\n{child.stderr[-4000:]}"
    assert "uncaught panic" not in child.stderr and "aborting" not in child.stderr
    report = json.loads(child.stdout.strip().splitlines()[-1])
    assert report["violations"] == []
    # Only the constructor and the number getters allocate nothing of their
    # own; a sweep of nothing elsewhere would mean the library no longer
    # sees the module's allocations.
    allocating = {call: count for call, count in report["sites"].items()
                  if not call.startswith(("KMeans()", "n_iter_", "inertia_"))}
    assert all(count > 0 for count in allocating.values()), report["sites"]
    if group == "acceleration":
        # The accelerated assignment's buffers are optional: failing one of
        # them (once) still gives the exact result.
        assert all(report["recovered"][call] > 0 for call in report["recovered"]
                   if call.startswith("accelerated predict") and call.endswith("(once)")), report["recovered"]


# Fills the heap with malloc under an address-space limit (on the thread
# that calls, since each thread has its own malloc arena), calls the method,
# then gives everything back. The blocks are chained through their first
# word, so remembering them allocates nothing.
EXHAUSTED_HEAP = r'''
import ctypes, resource, sys, threading
import numpy as np
import corvalinth

method, clusters, where = sys.argv[1], int(sys.argv[2]), sys.argv[3]
x = np.random.default_rng(0).random((500, 4))
model = corvalinth.KMeans(n_clusters=3, random_state=0)
model.fit(x)
model = corvalinth.KMeans(n_clusters=clusters, random_state=0) if clusters != 3 else model
call = getattr(model, method)
libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
libc.malloc.argtypes = [ctypes.c_size_t]
libc.free.argtypes = [ctypes.c_void_p]
slot = ctypes.c_void_p.from_address
outcome = ["not run"]

def exhausted_call():
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[0])
    limit = pages * resource.getpagesize() + (64 << 20)
    resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))
    head = 0
    size = 1 << 26
    while size >= 16:
        p = libc.malloc(size)
        if not p:
            size //= 2
            continue
        slot(p).value = head
        head = p
    try:
        call(x)
        outcome[0] = "returned"
    except MemoryError:
        outcome[0] = "MemoryError"
    except BaseException as e:
        outcome[0] = type(e).__name__
    while head:
        following = slot(head).value or 0
        libc.free(head)
        head = following
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))

if where == "new thread":
    # The thread exists before the heap is full, but has never called in.
    t = threading.Thread(target=exhausted_call)
    t.start()
    t.join()
else:
    exhausted_call()
print(outcome[0])
'''


heap_limited = pytest.mark.skipif(sanitized_run(),
                                  reason="the sanitizer reserves far more address space than any limit allows")
threads = pytest.mark.parametrize("where", ["importing thread", "new thread"])


def exhausted_heap_outcome(method, clusters, where):
    child = subprocess.run(python_command(EXHAUSTED_HEAP) + [method, str(clusters), where], capture_output=True,
                           text=True, timeout=120)
    assert child.returncode == 0, f"exit status {child.returncode}: {child.stderr[-2000:]}"
    return child.stdout.strip()


@heap_limited
@threads
@pytest.mark.parametrize("method", ["fit", "predict", "fit_predict"])
def test_exhausted_heap_raises_memory_error(method, where):
    assert exhausted_heap_outcome(method, 3, where) == "MemoryError"


# Calls that fail anyway (an internal failure, an engine error): their own
# error, or MemoryError if building it ran out, but never an abort.
@heap_limited
@threads
@pytest.mark.parametrize("method, clusters, error", [("fit", 0, "PanicException"), ("fit", 501, "ValueError"),
                                                     ("predict", 4, "ValueError")])
def test_exhausted_heap_failing_calls(method, clusters, error, where):
    assert exhausted_heap_outcome(method, clusters, where) in ("MemoryError", error)


# The interpreter has no memory left (CPython's test hooks fail every Python
# allocation) when the module turns a failure into an exception: building the
# message, or the PanicException type itself, fails. The call raises
# MemoryError instead of ending the process.
INTERPRETER_OUT_OF_MEMORY = r'''
import sys, _testcapi, numpy as np, corvalinth
case = sys.argv[1]
x = np.random.default_rng(0).random((50, 3))
corvalinth.KMeans(n_clusters=2, random_state=0).fit(x)  # NumPy's table and the registry exist
if case == "PanicException type exists":
    try:
        corvalinth.KMeans(n_clusters=0).fit(x)
    except BaseException:
        pass
model = corvalinth.KMeans(n_clusters=60 if case == "ValueError" else 0, random_state=0)
raised = None
_testcapi.set_nomemory(0)
try:
    model.fit(x)
except BaseException as e:
    _testcapi.remove_mem_hooks()
    raised = e
_testcapi.remove_mem_hooks()
print(type(raised).__name__)
'''


@pytest.mark.parametrize("case", ["PanicException type made now", "PanicException type exists", "ValueError"])
def test_interpreter_out_of_memory_while_raising(case):
    pytest.importorskip("_testcapi")
    child = subprocess.run(python_command(INTERPRETER_OUT_OF_MEMORY) + [case], capture_output=True, text=True,
                           timeout=120)
    assert child.returncode == 0, f"exit status {child.returncode}: {child.stderr[-2000:]}"
    assert "uncaught panic" not in child.stderr
    assert child.stdout.strip() == "MemoryError"


# The pool's workers start while no thread but the caller can allocate: each
# finds memory too short for its thread state and ends before touching any,
# the call raises MemoryError, and the next call starts the pool afresh.
# (A worker that touched its thread-local data unprepared would end the
# process: the C library cannot allocate it.)
WORKERS_WITHOUT_MEMORY = r'''
import ctypes, sys
import numpy as np
import corvalinth

lib = ctypes.CDLL(sys.argv[1])
x = np.random.default_rng(5).normal(size=(300, 3))
model = corvalinth.KMeans(n_clusters=3, random_state=0)
lib.failing_alloc_arm_other_threads()
try:
    model.fit(x)
    outcome = "returned"
except BaseException as e:
    outcome = type(e).__name__
lib.failing_alloc_disarm()
print(outcome, model.cluster_centers_ is None)
model.fit(x)
reference = corvalinth.KMeans(n_clusters=3, random_state=0)
reference.fit(x)
print(model.cluster_centers_.tobytes() == reference.cluster_centers_.tobytes())
'''


@pytest.mark.skipif(sanitized_run(), reason="the sanitizer's own start of a thread needs malloc on that thread")
@pytest.mark.parametrize("threads", ["1", "3"])
def test_workers_start_without_memory(threads):
    library = failing_alloc_library()
    env = preload_environment(library)
    env.update(RAYON_NUM_THREADS=threads, OPENBLAS_NUM_THREADS="1")
    child = subprocess.run(python_command(WORKERS_WITHOUT_MEMORY) + [str(library)], capture_output=True, text=True,
                           timeout=120, env=env)
    assert child.returncode == 0, f"exit status {child.returncode}: {child.stderr[-2000:]}"
    assert child.stdout.split() == ["MemoryError", "True", "True"]


# The first parallel loop of a process starts the worker pool. Under an
# address-space limit with room for at most one worker's stack, a thread
# cannot be created (EAGAIN): the call raises MemoryError and leaves the model
# as it was; with the limit lifted, the same call starts the pool (keeping
# the worker that runs) and gives the undisturbed result, and so does every
# later fit. For predict the model is fitted first without a parallel loop
# (one centre, no iteration).
POOL_START_UNDER_LIMIT = r'''
import json, resource, sys
import numpy as np
import corvalinth

method, margin = sys.argv[1], int(sys.argv[2])
x = np.random.default_rng(0).random((4000, 16))
if method == "predict":
    model = corvalinth.KMeans(1, max_iters=0, random_state=0)
    model.fit(x)
else:
    model = corvalinth.KMeans(8, max_iters=3, random_state=0)

def snapshot(m):
    centres = m.cluster_centers_
    return [None if centres is None else centres.tobytes().hex(), m.n_iter_, m.inertia_.hex()]

def value(result):
    return None if result is None else [str(result.dtype), result.tobytes().hex()]

def threads():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("Threads:"))

before = snapshot(model)
call = getattr(model, method)
with open("/proc/self/status") as f:
    size = next(int(line.split()[1]) for line in f if line.startswith("VmSize:")) * 1024
resource.setrlimit(resource.RLIMIT_AS, (size + margin, resource.RLIM_INFINITY))
try:
    call(x)
    first = "returned"
except BaseException as e:
    first = type(e).__name__
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
report = dict(first=first, unchanged=snapshot(model) == before)
report["again"] = value(call(x))
report["state"] = snapshot(model)
fresh = corvalinth.KMeans(8, max_iters=3, random_state=0)
report["fresh_labels"] = value(fresh.fit_predict(x))
report["fresh_state"] = snapshot(fresh)
report["threads"] = threads()
print(json.dumps(report))
'''


def close_inertia(a: str, b: str) -> bool:
    """Inertias equal up to rounding: a parallel sum whose last bits follow
    the pool's size and scheduling."""
    x, y = float.fromhex(a), float.fromhex(b)
    return abs(x - y) <= 1e-12 * max(abs(x), abs(y))


@heap_limited
@pytest.mark.parametrize("method", ["fit", "predict", "fit_predict"])
@pytest.mark.parametrize("workers, margin", [(1, 1 << 20), (2, 4 << 20), (7, 4 << 20)])
def test_pool_start_out_of_memory_then_works(method, workers, margin):
    import numpy as np
    import corvalinth

    env = dict(os.environ, RAYON_NUM_THREADS=str(workers), OPENBLAS_NUM_THREADS="1")
    child = subprocess.run(python_command(POOL_START_UNDER_LIMIT) + [method, str(margin)], capture_output=True,
                           text=True, timeout=120, env=env)
    assert child.returncode == 0, f"exit status {child.returncode}: {child.stderr[-2000:]}"
    report = json.loads(child.stdout.strip().splitlines()[-1])
    assert report["first"] == "MemoryError"
    assert report["unchanged"]

    x = np.random.default_rng(0).random((4000, 16))
    reference = corvalinth.KMeans(8, max_iters=3, random_state=0)
    labels = reference.fit_predict(x)
    centres, n_iter, inertia = reference.cluster_centers_.tobytes().hex(), reference.n_iter_, reference.inertia_.hex()
    labels_value = [str(labels.dtype), labels.tobytes().hex()]
    if method == "predict":
        assert report["again"] == ["int32", np.zeros(len(x), np.int32).tobytes().hex()]
    else:
        assert report["again"] == (labels_value if method == "fit_predict" else None)
        assert report["state"][:2] == [centres, n_iter]
        assert close_inertia(report["state"][2], inertia)
    assert report["fresh_labels"] == labels_value
    assert report["fresh_state"][:2] == [centres, n_iter]
    assert close_inertia(report["fresh_state"][2], inertia)
    # The workers and the main thread only: the worker that ran at the failed
    # start was kept for the pool, not started a second time.
    assert report["threads"] == workers + 1


# The seeding's acceleration buffers are optional and within half the input's
# size: with little address space to spare beyond a 64 MiB input (65,536 x 128),
# a fit with enough clusters for the seeding to copy the samples (24) succeeds
# as one without the copy (23) does, and gives the centres of a fit without
# the limit. The pool and its threads' heaps exist before the limit is set.
SEEDING_UNDER_LIMIT = r'''
import json, resource, sys
import numpy as np
import corvalinth

clusters, margin = int(sys.argv[1]), int(sys.argv[2])
rng = np.random.default_rng(4)
x = rng.normal(size=(65_536, 128)) + rng.integers(0, 30, size=(65_536, 1)) * 2.0
params = dict(n_clusters=clusters, max_iters=2, tol=0.0, random_state=1)
free = corvalinth.KMeans(**params)
free.fit(x)
model = corvalinth.KMeans(**params)
with open("/proc/self/status") as f:
    size = next(int(line.split()[1]) for line in f if line.startswith("VmSize:")) * 1024
resource.setrlimit(resource.RLIMIT_AS, (size + margin, resource.RLIM_INFINITY))
try:
    model.fit(x)
    outcome = "returned"
except BaseException as e:
    outcome = type(e).__name__
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
same = outcome == "returned" and model.cluster_centers_.tobytes() == free.cluster_centers_.tobytes()
print(json.dumps(dict(outcome=outcome, same=same)))
'''


@heap_limited
@pytest.mark.parametrize("clusters", [23, 24, 40])
def test_seeding_buffers_give_way_under_an_address_space_limit(clusters):
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    child = subprocess.run(python_command(SEEDING_UNDER_LIMIT) + [str(clusters), str(16 << 20)],
                           capture_output=True, text=True, timeout=120, env=env)
    assert child.returncode == 0, f"exit status {child.returncode}: {child.stderr[-2000:]}"
    report = json.loads(child.stdout.strip().splitlines()[-1])
    assert report == dict(outcome="returned", same=True)
