"""Repeated calls, successful and failing, must not leak.

Each scenario is run a few hundred times to warm up caches and free lists,
then a few thousand times more. Across the second run these must stay flat:
the interpreter's count of allocated object blocks (catches leaked arrays,
exceptions, strings, tuples), the reference counts of the objects handed in
(catches leaked references to arguments, models and the type), the total
reference count on debug interpreters, and the resident memory (catches leaked
buffers: label vectors, centre copies, borrow records).
"""

from __future__ import annotations

import gc
import os
import sys

import numpy as np
import pytest

import corvalinth
from conftest import sanitized_run

KMeans = corvalinth.KMeans
PAGE = os.sysconf("SC_PAGE_SIZE")

X = np.random.default_rng(5).normal(size=(1000, 4))
X_SMALL = X[:5]
X_F32 = X.astype(np.float32)
X_1D = X[:, 0]
X_3D = X.reshape(10, 100, 4)
X_SWAPPED = X.astype(X.dtype.newbyteorder())
FITTED = KMeans(n_clusters=4, max_iters=5, tol=0.0, random_state=1)
FITTED.fit(X)


class Boom(Exception):
    pass


class BadIndex:
    def __index__(self):
        raise Boom("from __index__")


def expect(exc_type, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except exc_type:
        return
    raise AssertionError(f"{call!r} did not raise {exc_type.__name__}")


def fit_predict_getters():
    m = KMeans(n_clusters=4, max_iters=5, tol=0.0, random_state=2)
    m.fit(X)
    labels = m.predict(X)
    assert labels.shape == (1000,)
    assert m.fit_predict(X).shape == (1000,)
    assert m.cluster_centers_.shape == (4, 4)
    assert m.n_iter_ == 5
    assert m.inertia_ > 0.0


def fit_with_entropy_seed():
    KMeans(n_clusters=3, max_iters=2).fit(X)


def getters_fitted():
    for _ in range(5):
        assert FITTED.cluster_centers_.shape == (4, 4)
        FITTED.n_iter_
        FITTED.inertia_


def getters_unfitted():
    m = KMeans()
    assert m.cluster_centers_ is None
    assert m.n_iter_ == 0
    assert m.inertia_ == 0.0


def predict_fitted():
    assert FITTED.predict(X).dtype == np.int32
    assert FITTED.predict(X[:0]).shape == (0,)


def predict_unfitted():
    expect(ValueError, KMeans().predict, X)


def too_few_samples():
    expect(ValueError, KMeans(n_clusters=6).fit, X_SMALL)
    expect(ValueError, KMeans(n_clusters=6).fit_predict, X_SMALL)


def bad_array_arguments():
    for bad in ("x", [[1.0, 2.0]], X_F32, X_1D, X_3D, X_SWAPPED, None):
        expect(TypeError, FITTED.fit, bad)
        expect(TypeError, FITTED.predict, bad)
        expect(TypeError, FITTED.fit_predict, bad)


def bad_call_shapes():
    expect(TypeError, FITTED.fit)
    expect(TypeError, FITTED.fit, X, X)
    expect(TypeError, FITTED.fit, X, x=X)
    expect(TypeError, FITTED.predict, X, y=X)
    expect(TypeError, KMeans.fit, object(), X)
    expect(AttributeError, setattr, FITTED, "n_iter_", 5)


def bad_constructor_arguments():
    expect(TypeError, KMeans, 1, 2, 3, 4, 5)
    expect(TypeError, KMeans, 8, n_clusters=3)
    expect(TypeError, KMeans, k=3)
    expect(TypeError, KMeans, n_clusters=2.0)
    expect(TypeError, KMeans, tol="x")
    expect(TypeError, KMeans, n_clusters=None)
    expect(OverflowError, KMeans, n_clusters=-1)
    expect(OverflowError, KMeans, random_state=2**64)
    expect(Boom, KMeans, n_clusters=BadIndex())
    KMeans(n_clusters=np.int64(3), tol=np.float64(0.5), random_state=2**64 - 1)


SCENARIOS = [
    (fit_predict_getters, 2000),
    (fit_with_entropy_seed, 1000),
    (getters_fitted, 3000),
    (getters_unfitted, 5000),
    (predict_fitted, 3000),
    (predict_unfitted, 5000),
    (too_few_samples, 5000),
    (bad_array_arguments, 1000),
    (bad_call_shapes, 3000),
    (bad_constructor_arguments, 3000),
]


def resident_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def snapshot() -> dict:
    gc.collect()
    state = {
        "blocks": sys.getallocatedblocks(),
        "rss": resident_bytes(),
        "refs": tuple(sys.getrefcount(o) for o in (X, X_SMALL, X_F32, FITTED, KMeans)),
    }
    if hasattr(sys, "gettotalrefcount"):
        state["total"] = sys.gettotalrefcount()
    return state


@pytest.mark.parametrize("scenario, reps", SCENARIOS, ids=[s.__name__ for s, _ in SCENARIOS])
def test_repeated_calls_do_not_leak(scenario, reps):
    for _ in range(200):
        scenario()
    before = snapshot()
    for _ in range(reps):
        scenario()
    after = snapshot()

    assert after["refs"] == before["refs"], "references to arguments, model or type leaked"
    # A leak of one object per call would add `reps` blocks.
    assert after["blocks"] - before["blocks"] < 100
    if "total" in before:
        assert after["total"] - before["total"] < 100
    if not sanitized_run():
        # A leaked 4000-byte label vector per call would add several MiB.
        assert after["rss"] - before["rss"] < 2 * 1024 * 1024


def test_internal_failures_do_not_leak():
    """n_clusters = 0 is an internal failure raised as PanicException (which
    derives from BaseException, not Exception); it writes a report to
    standard error on each call, so fewer repetitions."""
    def fail():
        try:
            KMeans(n_clusters=0).fit(X)
        except Exception:  # noqa: BLE001 - must not catch it
            raise AssertionError("caught as Exception")
        except BaseException as e:
            assert type(e).__name__ == "PanicException"
            return
        raise AssertionError("no exception")

    for _ in range(50):
        fail()
    before = snapshot()
    for _ in range(500):
        fail()
    after = snapshot()
    assert after["refs"] == before["refs"]
    assert after["blocks"] - before["blocks"] < 100
    if not sanitized_run():
        assert after["rss"] - before["rss"] < 2 * 1024 * 1024
