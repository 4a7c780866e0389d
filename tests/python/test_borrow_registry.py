"""The process-wide borrow registry published in numpy.core.multiarray.

Other extensions reach the registry only through the capsule
"_RUST_NUMPY_BORROW_CHECKING_API" and the four entry points of its record,
so these tests drive it exactly that way, through ctypes, with id(array) as
the array pointer. Anything that depends on the registry being installed (or
not) for the first time runs in a fresh interpreter.
"""

from __future__ import annotations

import json
import re
import signal

import numpy as np
import pytest

import corvalinth
from conftest import run_python

# Reading the shared record and calling its entry points as another extension
# would. PYFUNCTYPE keeps the interpreter lock held during the calls, as the
# protocol requires. Also pasted into child interpreters.
REGISTRY_HELPER = r'''
import ctypes
import numpy

# Where the running NumPy's participants publish the registry: NumPy 2 moved
# the module to numpy._core.multiarray (numpy.core.multiarray is a shim).
NUMPY2 = int(numpy.__version__.split(".")[0]) >= 2
if NUMPY2:
    import numpy._core.multiarray as _multiarray
else:
    import numpy.core.multiarray as _multiarray

CAPSULE_NAME = b"_RUST_NUMPY_BORROW_CHECKING_API"
_api = ctypes.pythonapi
_api.PyCapsule_GetPointer.restype = ctypes.c_void_p
_api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
_api.PyCapsule_New.restype = ctypes.py_object
_api.PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]

ACQUIRE = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
RELEASE = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p)


class Record(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint64), ("state", ctypes.c_void_p),
                ("acquire_read", ctypes.c_void_p), ("acquire_write", ctypes.c_void_p),
                ("release_read", ctypes.c_void_p), ("release_write", ctypes.c_void_p)]


class Registry:
    """The installed registry, seen through its capsule."""

    def __init__(self):
        self.capsule = getattr(_multiarray, "_RUST_NUMPY_BORROW_CHECKING_API")
        address = _api.PyCapsule_GetPointer(self.capsule, CAPSULE_NAME)
        self.record = Record.from_address(address)
        self.state = self.record.state
        self._acquire_read = ACQUIRE(self.record.acquire_read)
        self._acquire_write = ACQUIRE(self.record.acquire_write)
        self._release_read = RELEASE(self.record.release_read)
        self._release_write = RELEASE(self.record.release_write)

    def acquire_read(self, a):
        return self._acquire_read(self.state, id(a))

    def acquire_write(self, a):
        return self._acquire_write(self.state, id(a))

    def release_read(self, a):
        self._release_read(self.state, id(a))

    def release_write(self, a):
        self._release_write(self.state, id(a))


class ForeignRegistry:
    """A registry of another extension, installed before corvalinth looks:
    it records every call and answers with the codes in `answers`."""

    def __init__(self, version=1, answers=(0,)):
        self.calls = []
        self.answers = list(answers)
        self._functions = [ACQUIRE(self._on_acquire_read), ACQUIRE(self._on_acquire_write),
                           RELEASE(self._on_release_read), RELEASE(self._on_release_write)]
        pointers = [ctypes.cast(f, ctypes.c_void_p).value for f in self._functions]
        self.record = Record(version, 0x5EED, *pointers)
        self._name = ctypes.create_string_buffer(CAPSULE_NAME)
        self.capsule = _api.PyCapsule_New(ctypes.addressof(self.record), self._name, None)
        setattr(_multiarray, "_RUST_NUMPY_BORROW_CHECKING_API", self.capsule)

    def _answer(self):
        return self.answers.pop(0) if len(self.answers) > 1 else self.answers[0]

    def _on_acquire_read(self, state, array):
        self.calls.append(("acquire_read", state, array))
        return self._answer()

    def _on_acquire_write(self, state, array):
        self.calls.append(("acquire_write", state, array))
        return self._answer()

    def _on_release_read(self, state, array):
        self.calls.append(("release_read", state, array))

    def _on_release_write(self, state, array):
        self.calls.append(("release_write", state, array))


def panic_message(call):
    """Runs call() and returns the message of the PanicException it raises."""
    try:
        call()
    except BaseException as e:  # PanicException derives from BaseException
        if type(e).__name__ != "PanicException":
            raise
        return str(e)
    raise AssertionError("no PanicException raised")
'''

_helpers: dict = {}
exec(REGISTRY_HELPER, _helpers)
Registry = _helpers["Registry"]
panic_message = _helpers["panic_message"]

PYERR_TAIL = r"PyErr \{ type: <class '(\w+)'>, value: (.*), traceback: (None|Some\(<traceback object at 0x[0-9a-f]+>\)) \}"


def blobs(n, d, k, seed=0):
    """Seeded Gaussian blobs, float64 (n, d)."""
    rng = np.random.default_rng(seed)
    centres = rng.uniform(-10.0, 10.0, size=(k, d))
    return centres[rng.integers(0, k, size=n)] + rng.normal(size=(n, d))


def install_registry():
    """Any call that accepts an input makes sure the registry exists."""
    corvalinth.KMeans(n_clusters=1, max_iters=1, random_state=0).fit(np.zeros((1, 1)))
    return Registry()


@pytest.fixture(scope="module")
def registry():
    return install_registry()


# --- counts and refusals ------------------------------------------------------

def test_record_layout_and_version(registry):
    assert registry.record.version == 1
    assert registry.state is not None
    entries = [registry.record.acquire_read, registry.record.acquire_write,
               registry.record.release_read, registry.record.release_write]
    assert all(entries) and len(set(entries)) == 4


def test_read_counts_and_write_refusal(registry):
    a = np.zeros((4, 3))
    assert registry.acquire_read(a) == 0
    assert registry.acquire_read(a) == 0          # count 2
    assert registry.acquire_write(a) == -1
    registry.release_read(a)                      # count 1
    assert registry.acquire_write(a) == -1
    registry.release_read(a)                      # entry gone
    assert registry.acquire_write(a) == 0
    assert registry.acquire_read(a) == -1         # same view, write-borrowed
    assert registry.acquire_write(a) == -1
    registry.release_write(a)
    assert registry.acquire_read(a) == 0
    registry.release_read(a)


def test_not_writeable_is_minus_two_and_changes_nothing(registry):
    base = np.zeros(6)
    frozen = base[:]
    frozen.setflags(write=False)
    assert registry.acquire_write(frozen) == -2
    assert registry.acquire_write(frozen) == -2
    # Nothing was registered: the writeable array with the same view is free.
    assert registry.acquire_write(base) == 0
    # NotWriteable is reported even while the view is borrowed.
    assert registry.acquire_write(frozen) == -2
    registry.release_write(base)
    assert registry.acquire_read(frozen) == 0
    registry.release_read(frozen)


def empty_at(a, offset):
    """An empty (0, 2) view of a's memory whose data pointer is `offset` bytes in."""
    return np.ndarray((0, 2), dtype=a.dtype, buffer=a, offset=offset, strides=a.strides)


@pytest.mark.parametrize("first, second, conflict", [
    # Columns of a C-contiguous (n, 2) array interleave without sharing an element.
    (lambda a: a[:, 0], lambda a: a[:, 1], False),
    (lambda a: a[:, 0], lambda a: a, True),
    (lambda a: a[:, 1], lambda a: a[3:5, 1], True),
    # Disjoint row ranges.
    (lambda a: a[:4], lambda a: a[4:], False),
    (lambda a: a[:5], lambda a: a[4:], True),
    # Every fourth element against those two after it: 32-byte strides, 16 bytes apart.
    (lambda a: a.ravel()[::4], lambda a: a.ravel()[2::4], False),
    (lambda a: a.ravel()[::4], lambda a: a.ravel()[4::8], True),
    # The test may report views that share no element: every second row
    # against the others (stride gcd 8 divides their distance of 16 bytes).
    (lambda a: a[::2], lambda a: a[1::2], True),
    # Reversed view of the same memory.
    (lambda a: a[::-1, ::-1], lambda a: a[0], True),
    # Empty views: the empty extent at the data pointer conflicts only when
    # strictly inside the other's extent.
    (lambda a: a, lambda a: a[3:, :0], True),
    (lambda a: a, lambda a: a[3:4][:0], True),
    (lambda a: a, lambda a: a[3:3], False),      # NumPy points empty slices at the start
    (lambda a: a, lambda a: a[:, :0], False),
    (lambda a: a[2:5], lambda a: empty_at(a, 64), True),
    (lambda a: a[2:5], lambda a: empty_at(a, 32), False),
    (lambda a: a[2:5], lambda a: empty_at(a, 80), False),
    (lambda a: a[2:5], lambda a: empty_at(a, 68), False),   # 36 bytes from a[2:5]: not a multiple of 8
])
def test_conflicts_between_views(registry, first, second, conflict):
    a = np.arange(16.0).reshape(8, 2)
    x, y = first(a), second(a)
    # Write against read, read against write, write against write.
    for hold, hold_release, ask, ask_release in [
            (registry.acquire_write, registry.release_write, registry.acquire_read, registry.release_read),
            (registry.acquire_read, registry.release_read, registry.acquire_write, registry.release_write),
            (registry.acquire_write, registry.release_write, registry.acquire_write, registry.release_write)]:
        assert hold(x) == 0
        code = ask(y)
        assert code == (-1 if conflict else 0)
        if code == 0:
            ask_release(y)
        hold_release(x)
    # Two readers never conflict.
    assert registry.acquire_read(x) == 0 and registry.acquire_read(y) == 0
    registry.release_read(x)
    registry.release_read(y)
    assert registry.acquire_write(a) == 0
    registry.release_write(a)


# Item sizes come from the dtype, whose layout differs between NumPy majors:
# a wrong size makes adjacent views overlap or overlapping views look apart.
DTYPES = [np.float64, np.int32, object, np.dtype([("a", np.int32), ("b", np.float64)]),
          np.dtype([("a", np.int8), ("b", np.float64, (3,))], align=True)]


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).str + str(np.dtype(d).itemsize))
@pytest.mark.parametrize("first, second, conflict", [
    (lambda a: a[:5], lambda a: a[4:], True),       # share element 4
    (lambda a: a[:4], lambda a: a[4:], False),      # adjacent
    (lambda a: a[4:5], lambda a: a[3:4], False),    # adjacent single elements
    (lambda a: a[4:5], lambda a: a[4:6], True),
    (lambda a: a[::-1][5:], lambda a: a[4:], True),  # a[4] again, seen backwards
    (lambda a: a[::2], lambda a: a[1::2], False),    # interleaved halves
])
def test_conflicts_follow_the_item_size(registry, dtype, first, second, conflict):
    a = np.zeros(10, dtype=dtype)
    x, y = first(a), second(a)
    for hold, hold_release, ask, ask_release in [
            (registry.acquire_write, registry.release_write, registry.acquire_read, registry.release_read),
            (registry.acquire_read, registry.release_read, registry.acquire_write, registry.release_write)]:
        for p, q in [(x, y), (y, x)]:
            assert hold(p) == 0
            code = ask(q)
            assert code == (-1 if conflict else 0), (p, q)
            if code == 0:
                ask_release(q)
            hold_release(p)
    assert registry.acquire_write(a) == 0
    registry.release_write(a)


def test_fit_refuses_a_view_that_overlaps_a_written_one(registry):
    b = np.zeros(10)
    assert registry.acquire_write(b[:5]) == 0
    try:
        assert panic_message(lambda: corvalinth.KMeans(n_clusters=1).fit(b[4:6].reshape(2, 1))) == \
            "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"
        corvalinth.KMeans(n_clusters=1).fit(b[5:7].reshape(2, 1))
    finally:
        registry.release_write(b[:5])


def test_owners_do_not_interact(registry):
    a = np.zeros((3, 3))
    b = a.copy()
    assert registry.acquire_write(a) == 0
    assert registry.acquire_write(b) == 0
    registry.release_write(a)
    registry.release_write(b)


def test_views_are_grouped_under_the_base_owner(registry):
    # The owner of a view of a view of a buffer-backed array is the buffer
    # object at the end of the ndarray chain.
    raw = np.frombuffer(bytearray(80), dtype=np.float64)
    view = raw[2:][1:4]
    assert registry.acquire_write(raw) == 0
    assert registry.acquire_read(view) == -1
    registry.release_write(raw)
    assert registry.acquire_read(view) == 0
    assert registry.acquire_write(raw[:3]) == 0     # [0, 3) against [3, 6)
    assert registry.acquire_write(raw[3:4]) == -1
    registry.release_write(raw[:3])
    registry.release_read(view)


def test_zero_strides_overlapping_count_as_conflict(registry):
    # Two views made only of zero strides, overlapping in memory: the stride
    # gcd is 0 and the views are treated as conflicting.
    a = np.zeros(10)
    wide = np.ndarray((3,), dtype=np.complex128, buffer=a, offset=0, strides=(0,))
    narrow = np.ndarray((4,), dtype=np.float64, buffer=a, offset=8, strides=(0,))
    apart = np.ndarray((4,), dtype=np.float64, buffer=a, offset=16, strides=(0,))
    assert registry.acquire_write(wide) == 0
    assert registry.acquire_write(narrow) == -1
    assert registry.acquire_write(apart) == 0
    registry.release_write(apart)
    registry.release_write(wide)


@pytest.mark.parametrize("stride, conflict", [
    (24, True),            # gcd(-2^63, 24) = 8 divides the distance 8
    (-2 ** 63, False),     # gcd(-2^63, -2^63) = 2^63 does not
])
def test_most_negative_stride_gcd(registry, stride, conflict):
    a = np.zeros(10)
    first = np.ndarray((1,), dtype=np.complex128, buffer=a, offset=0, strides=(-2 ** 63,))
    second = np.ndarray((1,), dtype=np.float64, buffer=a, offset=8, strides=(stride,))
    assert registry.acquire_write(first) == 0
    code = registry.acquire_write(second)
    assert code == (-1 if conflict else 0)
    if code == 0:
        registry.release_write(second)
    registry.release_write(first)


def test_protocol_breaks_are_ignored(registry):
    a = np.zeros((4, 4))
    row = a[1]
    # Releases of views nobody borrowed.
    registry.release_read(a)
    registry.release_write(a)
    assert registry.acquire_read(row) == 0
    # A release of another, unregistered view must not drop row's borrow.
    registry.release_write(a[2])
    registry.release_read(a[2])
    registry.release_write(row)               # row is read-borrowed, not write-borrowed
    assert registry.acquire_write(a) == -1
    registry.release_read(row)
    assert registry.acquire_write(a) == 0
    # A read release of a write-borrowed view leaves the write borrow in place.
    registry.release_read(a)
    assert registry.acquire_read(row) == -1
    registry.release_write(a)
    assert registry.acquire_read(row) == 0
    registry.release_read(row)


# --- the system's own borrows ---------------------------------------------------

def test_write_borrowed_input_is_refused_and_released(registry):
    x = blobs(60, 3, 3, seed=1)
    model = corvalinth.KMeans(n_clusters=3, max_iters=5, random_state=1)
    assert registry.acquire_write(x) == 0
    for call in (lambda: model.fit(x), lambda: model.fit_predict(x)):
        assert panic_message(call) == "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"
    # A write borrow of some rows does not stop a fit on the others.
    registry.release_write(x)
    assert registry.acquire_write(x[:30]) == 0
    model.fit(x[30:])
    assert panic_message(lambda: model.predict(x[29:])) == \
        "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"
    registry.release_write(x[:30])
    model.predict(x)
    # Nothing of the calls is left behind.
    assert registry.acquire_write(x) == 0
    registry.release_write(x)


def test_no_borrow_survives_a_call(registry):
    x = blobs(30, 2, 3, seed=2)
    model = corvalinth.KMeans(n_clusters=3, random_state=2)
    calls = [lambda: model.predict(x),                            # not fitted yet
             lambda: corvalinth.KMeans(n_clusters=31).fit(x),      # n_samples < n_clusters
             lambda: model.fit(x), lambda: model.predict(x), lambda: model.fit_predict(x)]
    for call in calls:
        try:
            call()
        except ValueError:
            pass
        assert registry.acquire_write(x) == 0
        registry.release_write(x)


@pytest.mark.parametrize("interrupt", [False, True])
def test_fit_predict_holds_two_read_borrows(registry, interrupt):
    """A signal handler runs inside fit_predict's fit and probes the registry
    as another participant would: with two read borrows one release leaves
    the array borrowed and a second frees it."""
    rng = np.random.default_rng(5)
    x = rng.normal(size=(20_000, 4))
    model = corvalinth.KMeans(n_clusters=8, max_iters=100_000 if interrupt else 200, tol=0.0, random_state=4)
    seen = []
    probing = []

    class Stop(Exception):
        pass

    def probe(signum, frame):
        # A handler can be re-entered by the next tick while it runs.
        if seen or probing:
            return
        probing.append(True)
        if registry.acquire_write(x) == 0:      # not inside the call yet
            registry.release_write(x)
            probing.pop()
            return
        signal.setitimer(signal.ITIMER_REAL, 0)
        registry.release_read(x)
        after_one = registry.acquire_write(x)
        registry.release_read(x)
        after_two = registry.acquire_write(x)
        if after_two == 0:
            registry.release_write(x)
        # Put both borrows back for the call to release.
        seen.append((after_one, after_two, registry.acquire_read(x), registry.acquire_read(x)))
        if interrupt:
            raise Stop

    previous = signal.signal(signal.SIGALRM, probe)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
        try:
            labels = model.fit_predict(x)
            assert not interrupt and labels.shape == (20_000,)
        except Stop:
            assert interrupt
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert seen == [(-1, 0, 0, 0)]
    assert registry.acquire_write(x) == 0
    registry.release_write(x)


# --- finding and installing the capsule (fresh interpreters) ---------------------

def run_child(body: str) -> dict:
    done = run_python(REGISTRY_HELPER + "\n" + body)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


def test_first_accepting_call_installs_version_one():
    out = run_child(r'''
import json, numpy as np, corvalinth
before = hasattr(_multiarray, "_RUST_NUMPY_BORROW_CHECKING_API")
model = corvalinth.KMeans(n_clusters=2, random_state=0)
model.cluster_centers_
try:
    model.fit([[1.0], [2.0]])
except TypeError:
    pass
refused = hasattr(_multiarray, "_RUST_NUMPY_BORROW_CHECKING_API")
model.fit(np.arange(6.0).reshape(3, 2))
capsule = _multiarray._RUST_NUMPY_BORROW_CHECKING_API
registry = Registry()
model.predict(np.zeros((2, 2)))
print(json.dumps({"before": before, "refused": refused, "type": type(capsule).__name__,
                  "version": registry.record.version,
                  "same": _multiarray._RUST_NUMPY_BORROW_CHECKING_API is capsule}))
''')
    assert out == {"before": False, "refused": False, "type": "PyCapsule", "version": 1, "same": True}


def test_foreign_registry_is_used_and_nothing_installed():
    out = run_child(r'''
import json, numpy as np, corvalinth
foreign = ForeignRegistry()
x = np.arange(12.0).reshape(6, 2)
model = corvalinth.KMeans(n_clusters=2, random_state=0)
model.fit(x)
fit_calls = list(foreign.calls)
foreign.calls.clear()
model.fit_predict(x)
print(json.dumps({"fit": [c[:2] + (c[2] == id(x),) for c in fit_calls],
                  "fit_predict": [c[:2] + (c[2] == id(x),) for c in foreign.calls],
                  "kept": _multiarray._RUST_NUMPY_BORROW_CHECKING_API is foreign.capsule}))
''')
    state = 0x5EED
    assert out["kept"] is True
    assert out["fit"] == [["acquire_read", state, True], ["release_read", state, True]]
    assert out["fit_predict"] == [["acquire_read", state, True], ["acquire_read", state, True],
                                  ["release_read", state, True], ["release_read", state, True]]


@pytest.mark.parametrize("answers, message, acquired, released", [
    ([-1], "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed", 1, 0),
    ([7], "Unexpected return code 7 from borrow checking API", 1, 0),
    ([-2], "Unexpected return code -2 from borrow checking API", 1, 0),
    # fit_predict: the duplicate is refused; the first borrow is released.
    ([0, -1], "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed", 2, 1),
    ([0, 3], "Unexpected return code 3 from borrow checking API", 2, 1),
])
def test_foreign_refusals(answers, message, acquired, released):
    out = run_child(rf'''
import json, sys, numpy as np, corvalinth
foreign = ForeignRegistry(answers={answers!r})
x = np.arange(12.0).reshape(6, 2)
before = sys.getrefcount(x)
msg = panic_message(lambda: corvalinth.KMeans(n_clusters=2, random_state=0).fit_predict(x))
names = [c[0] for c in foreign.calls]
print(json.dumps({{"message": msg, "acquired": names.count("acquire_read"),
                   "released": names.count("release_read"), "leak": sys.getrefcount(x) - before}}))
''')
    assert out == {"message": message, "acquired": acquired, "released": released, "leak": 0}


TYPE_ERROR_INT = "TypeError(\"'int' object cannot be converted to 'PyCapsule'\")"


@pytest.mark.parametrize("setup, kind, value", [
    ("_multiarray._RUST_NUMPY_BORROW_CHECKING_API = 5", "TypeError", TYPE_ERROR_INT),
    ("foreign = ForeignRegistry(version=0)", "TypeError",
     "TypeError('Version 0 of borrow checking API is not supported by this version of corvalinth')"),
    ("cap = ForeignRegistry().capsule\n"
     "ctypes.c_void_p.from_address(id(cap) + 16).value = None", "SystemError",
     "SystemError('borrow checking API capsule holds a null pointer')"),
])
def test_unusable_capsule_is_an_internal_failure(setup, kind, value):
    out = run_child(setup + r'''
import json, numpy as np, corvalinth
x = np.arange(6.0).reshape(3, 2)
model = corvalinth.KMeans(n_clusters=1, random_state=0)
messages = [panic_message(lambda: model.fit(x)), panic_message(lambda: model.predict(x))]
# Nothing was cached: once the attribute is gone the registry is installed.
delattr(_multiarray, "_RUST_NUMPY_BORROW_CHECKING_API")
model.fit(x)
print(json.dumps({"messages": messages, "version": Registry().record.version}))
''')
    assert out["version"] == 1
    for message in out["messages"]:
        m = re.fullmatch("Interal borrow checking API error: " + PYERR_TAIL, message)
        assert m, message
        assert m.group(1) == kind and m.group(2) == value and m.group(3) == "None"


def test_unimportable_numpy_when_installing():
    # The first call fetches NumPy's table, then imports numpy.core.multiarray
    # again to find the registry; only that second import fails here.
    out = run_child(r'''
import builtins, json, numpy as np, corvalinth
real_import = builtins.__import__
seen = []
def guarded(name, *args, **kwargs):
    if name == "numpy.core.multiarray":
        seen.append(name)
        if len(seen) == 2:
            raise ImportError("registry import blocked")
    return real_import(name, *args, **kwargs)
builtins.__import__ = guarded
x = np.arange(6.0).reshape(3, 2)
model = corvalinth.KMeans(n_clusters=1, random_state=0)
first = panic_message(lambda: model.fit(x))
model.fit(x)
imports_after_success = len(seen)
model.fit(x)
model.predict(x)
print(json.dumps({"first": first, "imports": [imports_after_success, len(seen)],
                  "installed": Registry().record.version}))
''')
    m = re.fullmatch("Interal borrow checking API error: " + PYERR_TAIL, out["first"])
    assert m, out["first"]
    assert m.group(1) == "ImportError" and m.group(2) == "ImportError('registry import blocked')"
    assert m.group(3).startswith("Some(")
    # Second call: the table is cached, the registry lookup imports once more.
    assert out["imports"] == [3, 3]
    assert out["installed"] == 1


# --- NumPy 2: one registry for participants of both eras ---------------------

numpy2_only = pytest.mark.skipif(not _helpers["NUMPY2"], reason="numpy.core is a separate shim only in NumPy 2")

NUMPY2_MODULES = r'''
import json, warnings
warnings.simplefilter("error")
import numpy as np, corvalinth
import numpy._core.multiarray as core_module
import numpy.core.multiarray as shim_module
NAME = "_RUST_NUMPY_BORROW_CHECKING_API"
def own(module):
    """The module's own attribute, read without its __getattr__ hook."""
    return vars(module).get(NAME)
x = np.arange(12.0).reshape(6, 2)
model = corvalinth.KMeans(n_clusters=2, random_state=0)
'''


@numpy2_only
def test_numpy2_installed_capsule_is_found_under_both_names():
    out = run_child(NUMPY2_MODULES + r'''
before = [own(core_module) is None, own(shim_module) is None]
model.fit(x)
registry = Registry()
print(json.dumps({"before": before, "same": own(core_module) is own(shim_module) is registry.capsule,
                  "version": registry.record.version}))
''')
    assert out == {"before": [True, True], "same": True, "version": 1}


@numpy2_only
@pytest.mark.parametrize("where", ["core_module", "shim_module"])
def test_numpy2_foreign_capsule_is_used_and_published_in_the_other_module(where):
    out = run_child(NUMPY2_MODULES + rf'''
foreign = ForeignRegistry()            # publishes in numpy._core.multiarray
if {where!r} == "shim_module":
    delattr(core_module, NAME)
    setattr(shim_module, NAME, foreign.capsule)
model.fit(x)
print(json.dumps({{"calls": [c[0] for c in foreign.calls],
                  "core": own(core_module) is foreign.capsule, "shim": own(shim_module) is foreign.capsule}}))
''')
    assert out == {"calls": ["acquire_read", "release_read"], "core": True, "shim": True}


@numpy2_only
def test_numpy2_capsules_of_both_modules_are_kept():
    """Two participants published different registries: the one in
    numpy._core.multiarray is used and neither module's capsule is replaced."""
    out = run_child(NUMPY2_MODULES + r'''
old_era = ForeignRegistry(answers=(-1,))
setattr(shim_module, NAME, old_era.capsule)
new_era = ForeignRegistry()
model.fit(x)
print(json.dumps({"new": [c[0] for c in new_era.calls], "old": len(old_era.calls),
                  "core": own(core_module) is new_era.capsule, "shim": own(shim_module) is old_era.capsule}))
''')
    assert out == {"new": ["acquire_read", "release_read"], "old": 0, "core": True, "shim": True}
