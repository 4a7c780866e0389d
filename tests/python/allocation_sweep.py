"""Allocation-failure sweep, run in a child interpreter with the failing-alloc
library preloaded (see test_out_of_memory.py).

For one group of calls it makes the N-th allocation that the module makes
fail, for N = 1, 2, ... until the call makes fewer than N allocations, once
and from the N-th on, and checks every attempt: the call gives its normal
outcome or MemoryError (never PanicException, never another error); after a
MemoryError the model is byte-identical to before; with memory back, the same
call gives exactly the result of a call that never failed, and leaves the
model as such a call does (centres, n_iter_ and labels bit for bit, inertia_
up to the rounding of its parallel sum); afterwards no read
borrow is left in the registry. A crash shows as the child's exit status.
Prints one JSON object: the number of allocations swept per call and layout,
and every violation found.

Usage: allocation_sweep.py GROUP LIBRARY
"""

from __future__ import annotations

import ctypes
import json
import os
import sys

import numpy as np

import corvalinth

GROUP, LIBRARY = sys.argv[1], sys.argv[2]

lib = ctypes.CDLL(LIBRARY)
lib.failing_alloc_target.argtypes = [ctypes.c_char_p]
lib.failing_alloc_arm.argtypes = [ctypes.c_long, ctypes.c_int]
lib.failing_alloc_disarm.restype = ctypes.c_long
lib.failing_alloc_failures.restype = ctypes.c_long
if lib.failing_alloc_target(os.path.basename(corvalinth.__file__).encode()) != 0:
    raise SystemExit("module not found among the loaded objects")

N_SAMPLES, N_FEATURES, K = 240, 5, 4
PARAMS = dict(n_clusters=K, max_iters=3, tol=0.0, random_state=7)
BASIC = corvalinth.KMeans.__basicsize__


def layouts():
    """Float64 inputs of each memory layout the module reads differently."""
    rng = np.random.default_rng(3)
    base = rng.normal(size=(N_SAMPLES, N_FEATURES)) + rng.integers(0, 4, size=(N_SAMPLES, 1)) * 6.0
    wide = np.zeros((2 * N_SAMPLES, 3 * N_FEATURES))
    wide[::2, ::3] = base
    raw = np.zeros(base.size * 8 + 1, dtype=np.uint8)
    misaligned = raw[1:].view(np.float64).reshape(base.shape)
    misaligned[...] = base
    return {
        "C-order": np.ascontiguousarray(base),
        "F-order": np.asfortranarray(base),
        "strided": wide[::2, ::3],
        "misaligned": misaligned,
    }


OTHER = np.random.default_rng(11).normal(size=(60, 3))


def state(model):
    """The record as bytes (past the object header) plus its attributes. The
    bytes are compared only for one object before and after a call."""
    centres = model.cluster_centers_
    raw = ctypes.string_at(id(model) + 16, BASIC - 16)
    return (raw, None if centres is None else centres.tobytes(), model.n_iter_, model.inertia_.hex())


def fitted_elsewhere():
    model = corvalinth.KMeans(**PARAMS)
    model.fit(OTHER)
    return model


def outcome(call):
    """('ok', result) or (exception type name, message)."""
    try:
        return "ok", call()
    except BaseException as e:  # PanicException derives from BaseException
        return type(e).__name__, str(e)


# The registry as another extension sees it (interpreter lock held).
ACQUIRE = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
RELEASE = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p)


def registry_free_of(arrays):
    """True when a write borrow of each array is granted: no read borrow left."""
    import numpy.core.multiarray as multiarray

    capsule = getattr(multiarray, "_RUST_NUMPY_BORROW_CHECKING_API", None)
    if capsule is None:
        return True
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    words = (ctypes.c_void_p * 6).from_address(get(capsule, b"_RUST_NUMPY_BORROW_CHECKING_API"))
    acquire_write, release_write = ACQUIRE(words[3]), RELEASE(words[5])
    for a in arrays:
        if acquire_write(words[1], id(a)) != 0:
            return False
        release_write(words[1], id(a))
    return True


def same_fit(a, b):
    """Two models fitted alike: the same centres and iteration count, and
    inertias equal up to rounding (the inertia is a parallel sum whose last
    bits follow the pool's scheduling, which a failed allocation can change)."""
    if a[1:3] != b[1:3]:
        return False
    x, y = float.fromhex(a[3]), float.fromhex(b[3])
    return a[3] == b[3] or abs(x - y) <= 1e-12 * max(abs(x), abs(y))


def same(a, b):
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        return (isinstance(a, np.ndarray) and isinstance(b, np.ndarray) and a.dtype == b.dtype
                and a.shape == b.shape and a.tobytes() == b.tobytes())
    return a == b


class Sweep:
    def __init__(self):
        self.sites: dict[str, int] = {}
        self.violations: list[str] = []
        # Attempts whose failed allocation the call survived with its normal
        # result: an optional buffer that fell back to the plain path.
        self.recovered: dict[str, int] = {}

    def run(self, name, prepare, call, expected, after, inputs=()):
        """Sweeps `call(model)`; `prepare()` gives a fresh model before each
        attempt, `expected` is (outcome, result) of an undisturbed call and
        `after(model)` the state such a call leaves."""
        for persistent in (0, 1):
            label = f"{name} ({'from then on' if persistent else 'once'})"
            self.recovered[label] = 0
            n = 1
            while True:
                model = prepare()
                before = state(model) if model is not None else None
                lib.failing_alloc_arm(n, persistent)
                kind, value = outcome(lambda: call(model))
                made = lib.failing_alloc_disarm()
                failures = lib.failing_alloc_failures()
                where = f"{label}, allocation {n}"
                if kind == "MemoryError":
                    if failures == 0:
                        self.violations.append(f"{where}: MemoryError without a failed allocation")
                    if model is not None and state(model) != before:
                        self.violations.append(f"{where}: model changed by a failed call")
                elif kind != expected[0] or not same(value, expected[1]):
                    self.violations.append(f"{where}: {kind}: {value!r}")
                elif model is not None and not same_fit(state(model), after(model)):
                    self.violations.append(f"{where}: model differs after the call")
                elif failures > 0:
                    self.recovered[label] += 1
                # Memory is back: the same call works as if nothing had failed,
                # and leaves the model as an undisturbed call does.
                again = outcome(lambda: call(model))
                if again[0] != expected[0] or not same(again[1], expected[1]):
                    self.violations.append(f"{where}: retry gave {again[0]}: {again[1]!r}")
                elif model is not None and not same_fit(state(model), after(model)):
                    self.violations.append(f"{where}: model differs after the retry")
                if not registry_free_of(inputs):
                    self.violations.append(f"{where}: a borrow is left in the registry")
                if made < n:
                    break
                n += 1
            self.sites[label] = n - 1


def reference(call, prepare):
    model = prepare()
    result = outcome(lambda: call(model))
    return model, result


def acceleration_sweep(sweep: Sweep):
    """Samples and centres wide enough for the accelerated assignment and
    seeding, whose buffers are optional: when one cannot be allocated the call
    runs the plain path and gives exactly the same result."""
    rng = np.random.default_rng(5)
    base = rng.normal(size=(3000, 16)) + rng.integers(0, 24, size=(3000, 1)) * 3.0
    params = dict(n_clusters=24, max_iters=2, tol=0.0, random_state=3)
    for layout, x in (("C-order", np.ascontiguousarray(base)), ("F-order", np.asfortranarray(base))):
        fitted = corvalinth.KMeans(**params)
        fitted.fit(x)
        done = state(fitted)
        labels = fitted.predict(x)
        sweep.run(f"accelerated predict {layout}", lambda: fitted, lambda m: m.predict(x), ("ok", labels),
                  lambda m: done, [x])
        sweep.run(f"accelerated fit {layout}", lambda: corvalinth.KMeans(**params), lambda m: m.fit(x),
                  ("ok", None), lambda m: done, [x])


def sweep_group(sweep: Sweep):
    if GROUP == "acceleration":
        acceleration_sweep(sweep)
        return
    inputs = layouts()
    if GROUP == "constructor":
        expected_state = state(corvalinth.KMeans(**PARAMS))[1:]
        def construct(_):
            model = corvalinth.KMeans(**PARAMS)
            return state(model)[1:] == expected_state
        sweep.run("KMeans()", lambda: None, construct, ("ok", True), None)
        return
    for layout, x in inputs.items():
        fitted = corvalinth.KMeans(**PARAMS)
        fitted.fit(x)
        done = state(fitted)
        if GROUP == "fit":
            sweep.run(f"fit {layout}", fitted_elsewhere, lambda m: m.fit(x), ("ok", None), lambda m: done,
                      [x])
            sweep.run(f"fit unfitted {layout}", lambda: corvalinth.KMeans(**PARAMS), lambda m: m.fit(x),
                      ("ok", None), lambda m: done, [x])
        elif GROUP == "predict":
            labels = fitted.predict(x)
            sweep.run(f"predict {layout}", lambda: fitted, lambda m: m.predict(x), ("ok", labels),
                      lambda m: done, [x])
        elif GROUP == "fit_predict":
            labels = fitted.predict(x)
            sweep.run(f"fit_predict {layout}", fitted_elsewhere, lambda m: m.fit_predict(x), ("ok", labels),
                      lambda m: done, [x])
        elif GROUP == "getters":
            centres = fitted.cluster_centers_
            for attribute, value in (("cluster_centers_", centres), ("n_iter_", fitted.n_iter_),
                                     ("inertia_", fitted.inertia_)):
                sweep.run(f"{attribute} {layout}", lambda: fitted, lambda m, a=attribute: getattr(m, a),
                          ("ok", value), lambda m: done)
            break  # the getters do not read the samples
        elif GROUP == "errors":
            # Calls that fail anyway: turning their failure into an exception
            # may itself run out of memory.
            zero = dict(PARAMS, n_clusters=0)
            sweep.run(f"fit n_clusters=0 {layout}", lambda: corvalinth.KMeans(**zero), lambda m: m.fit(x),
                      ("PanicException", "assertion failed: index < dim"),
                      lambda m: state(corvalinth.KMeans(**zero)), [x])
            few = x[:2]
            sweep.run(f"fit n_samples < n_clusters {layout}", lambda: corvalinth.KMeans(**PARAMS),
                      lambda m: m.fit(few), ("ValueError", "n_samples < n_clusters"),
                      lambda m: state(corvalinth.KMeans(**PARAMS)), [x])
            sweep.run(f"predict unfitted {layout}", lambda: corvalinth.KMeans(**PARAMS), lambda m: m.predict(x),
                      ("ValueError", "Model not fitted yet. Call fit() first."),
                      lambda m: state(corvalinth.KMeans(**PARAMS)), [x])
        else:
            raise SystemExit(f"unknown group {GROUP}")
    if GROUP == "errors":
        sweep.run("fit on a list", lambda: corvalinth.KMeans(**PARAMS), lambda m: m.fit([[1.0]]),
                  ("TypeError", "argument 'x': 'list' object cannot be converted to 'PyArray<T, D>'"),
                  lambda m: state(corvalinth.KMeans(**PARAMS)))


def first_call_sweep(sweep: Sweep):
    """The first fit of a process also makes NumPy's table, the registry and
    the worker pool: each attempt runs in a fork of a process that has made
    no call yet."""
    x = layouts()["C-order"]
    model = corvalinth.KMeans(**PARAMS)
    retried = []
    for persistent in (0, 1):
        label = f"first fit of a process ({'from then on' if persistent else 'once'})"
        n = 1
        while True:
            read_end, write_end = os.pipe()
            pid = os.fork()
            if pid == 0:
                os.close(read_end)
                lib.failing_alloc_arm(n, persistent)
                kind, value = outcome(lambda: model.fit(x))
                made = lib.failing_alloc_disarm()
                before_retry = state(model)
                again = outcome(lambda: model.fit(x))
                unchanged = kind != "MemoryError" or before_retry[1:] == state(corvalinth.KMeans(**PARAMS))[1:]
                _, centres, n_iter, inertia = state(model)
                report = dict(kind=kind, value=repr(value), made=made, unchanged=unchanged, again=again[0],
                              after=[None if centres is None else centres.hex(), n_iter, inertia],
                              free=registry_free_of([x]))
                os.write(write_end, json.dumps(report).encode())
                os._exit(0)
            os.close(write_end)
            with os.fdopen(read_end, "rb") as pipe:
                data = pipe.read()
            _, status = os.waitpid(pid, 0)
            where = f"{label}, allocation {n}"
            if status != 0 or not data:
                sweep.violations.append(f"{where}: child ended with status {status}")
                break
            report = json.loads(data)
            if report["kind"] not in ("ok", "MemoryError"):
                sweep.violations.append(f"{where}: {report['kind']}: {report['value']}")
            if not report["unchanged"]:
                sweep.violations.append(f"{where}: model changed by a failed call")
            if report["again"] != "ok":
                sweep.violations.append(f"{where}: retry gave {report['again']}")
            else:
                retried.append((where, report["after"]))
            if not report["free"]:
                sweep.violations.append(f"{where}: a borrow is left in the registry")
            if report["made"] < n:
                break
            n += 1
        sweep.sites[label] = n - 1
    # The undisturbed fit, made only now: the parent had to stay without a pool.
    reference = corvalinth.KMeans(**PARAMS)
    reference.fit(x)
    done = state(reference)
    for where, after in retried:
        centres = None if after[0] is None else bytes.fromhex(after[0])
        if not same_fit((None, centres, after[1], after[2]), done):
            sweep.violations.append(f"{where}: model differs after the retry")


sweep = Sweep()
if GROUP == "first_call":
    first_call_sweep(sweep)
else:
    sweep_group(sweep)
print(json.dumps({"sites": sweep.sites, "violations": sweep.violations, "recovered": sweep.recovered}))
