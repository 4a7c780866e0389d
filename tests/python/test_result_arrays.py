"""Label and centre arrays laid over native buffers owned by a PySliceContainer."""

from __future__ import annotations

import gc
import sys
import weakref

import numpy as np
import pytest

import corvalinth
from conftest import run_python, sanitized_run
from test_borrow_registry import blobs


def fitted(k=3, d=4, n=50, seed=0):
    x = blobs(n, d, k, seed=seed)
    model = corvalinth.KMeans(n_clusters=k, max_iters=20, random_state=seed)
    model.fit(x)
    return model, x


def label_arrays():
    model, x = fitted()
    other = corvalinth.KMeans(n_clusters=3, random_state=1)
    return {"predict": model.predict(x), "fit_predict": other.fit_predict(x),
            "predict_empty": model.predict(np.zeros((0, 4))),
            "fit_predict_one": corvalinth.KMeans(n_clusters=1).fit_predict(x[:1])}


@pytest.mark.parametrize("name", ["predict", "fit_predict", "predict_empty", "fit_predict_one"])
def test_label_array_properties(name):
    labels = label_arrays()[name]
    n = {"predict": 50, "fit_predict": 50, "predict_empty": 0, "fit_predict_one": 1}[name]
    assert type(labels) is np.ndarray
    assert labels.dtype == np.int32 and labels.dtype.byteorder == "="
    assert labels.shape == (n,) and labels.strides == (4,)
    assert labels.flags.writeable and not labels.flags.owndata
    assert labels.flags.c_contiguous and labels.flags.aligned
    assert type(labels.base).__name__ == "PySliceContainer"
    # The only reference to the container is the array's (plus the call's argument).
    refs = sys.getrefcount(labels.base)
    assert refs == 2
    labels[...] = 7          # writeable in place
    assert (labels == 7).all()


def test_centre_array_properties_and_independence():
    model = corvalinth.KMeans(n_clusters=3, max_iters=20, random_state=0)
    assert model.cluster_centers_ is None
    model.fit(blobs(50, 4, 3))
    first, second = model.cluster_centers_, model.cluster_centers_
    for centres in (first, second):
        assert type(centres) is np.ndarray
        assert centres.dtype == np.float64 and centres.dtype.byteorder == "="
        assert centres.shape == (3, 4) and centres.strides == (32, 8)
        assert centres.flags.c_contiguous and centres.flags.writeable and not centres.flags.owndata
        assert type(centres.base).__name__ == "PySliceContainer"
    assert first is not second and first.base is not second.base
    assert first.ctypes.data != second.ctypes.data
    assert first.tobytes() == second.tobytes()
    saved = first.copy()
    first[...] = np.nan
    np.testing.assert_array_equal(second, saved)
    np.testing.assert_array_equal(model.cluster_centers_, saved)
    # The model predicts with its own centres, not the changed copy.
    x = blobs(50, 4, 3)
    assert model.predict(x).tobytes() == corvalinth.KMeans(n_clusters=3, max_iters=20, random_state=0) \
        .fit_predict(x).tobytes()


def test_centre_array_without_features():
    model = corvalinth.KMeans(n_clusters=2, random_state=0)
    model.fit(np.zeros((5, 0)))
    centres = model.cluster_centers_
    assert centres.shape == (2, 0) and centres.strides == (0, 8)
    assert centres.dtype == np.float64 and type(centres.base).__name__ == "PySliceContainer"


def test_container_type():
    container_type = type(fitted()[0].cluster_centers_.base)
    assert container_type.__name__ == "PySliceContainer"
    assert container_type.__qualname__ == "PySliceContainer"
    assert container_type.__module__ == "builtins"
    assert container_type.__base__ is object
    assert isinstance(container_type.__doc__, str) and container_type.__doc__.strip()
    assert "\n" not in container_type.__doc__
    for args, kwargs in [((), {}), ((1, 2), {}), ((), {"buffer": 1})]:
        with pytest.raises(TypeError) as info:
            container_type(*args, **kwargs)
        assert str(info.value) == "No constructor defined"
    with pytest.raises(TypeError):
        type("Sub", (container_type,), {})
    # No instance dictionary, no weak references, not tracked by the collector.
    container = fitted()[0].cluster_centers_.base
    assert not hasattr(container, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(container)
    assert not gc.is_tracked(container)
    # Labels and centres share the one container type.
    model, x = fitted()
    assert type(model.predict(x).base) is container_type


def test_views_keep_the_buffer_alive():
    model, x = fitted(n=200)
    labels = model.predict(x)
    expected = labels.copy()
    view = labels[::3]
    container = labels.base
    refs = sys.getrefcount(container)
    del labels
    gc.collect()
    # The view keeps the array, hence its container, alive.
    assert sys.getrefcount(container) == refs
    garbage = [np.full(200, -1, dtype=np.int32) for _ in range(100)]
    np.testing.assert_array_equal(view, expected[::3])
    centres = model.cluster_centers_
    row = centres[1]
    saved = row.copy()
    del centres
    garbage += [np.full(4, np.nan) for _ in range(100)]
    np.testing.assert_array_equal(row, saved)
    del garbage


def test_deleting_results_frees_their_buffers():
    # Repeated results of several MiB each: if buffers leaked, the resident
    # size would grow by gigabytes.
    if sanitized_run():
        pytest.skip("memory figures are not meaningful under the sanitizer")
    done = run_python(r'''
import resource, numpy as np, corvalinth
rng = np.random.default_rng(0)
x = rng.normal(size=(1_000_000, 1))
model = corvalinth.KMeans(n_clusters=2, max_iters=1, random_state=0)
model.fit(x[:1000])
wide = corvalinth.KMeans(n_clusters=1000, max_iters=1, random_state=0)
wide.fit(rng.normal(size=(1000, 500)))
def rss_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
for _ in range(3):
    model.predict(x); wide.cluster_centers_
start = rss_mib()
for _ in range(150):
    labels = model.predict(x)          # 4 MB
    view = labels[::2]
    del labels, view
    centres = wide.cluster_centers_    # 4 MB
    del centres
print(rss_mib() - start)
''', timeout=300)
    assert done.returncode == 0, done.stderr
    assert float(done.stdout.strip()) < 100.0


def test_labels_have_a_known_answer():
    x = np.array([[0.0, 0.0], [0.1, 0.0], [9.0, 9.0], [9.0, 9.1], [0.0, 0.2]])
    model = corvalinth.KMeans(n_clusters=2, random_state=3)
    labels = model.fit_predict(x)
    assert labels[0] == labels[1] == labels[4] != labels[2] == labels[3]
    centres = model.cluster_centers_
    np.testing.assert_array_equal(centres[labels[0]], x[[0, 1, 4]].mean(axis=0))
    np.testing.assert_array_equal(centres[labels[2]], x[[2, 3]].mean(axis=0))
