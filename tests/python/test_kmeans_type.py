"""The KMeans class object, its constructor defaults and its instances."""

from __future__ import annotations

import ast
import gc
import pydoc
import sys
import weakref
from pathlib import Path

import numpy as np
import pytest

import corvalinth
from corvalinth import KMeans

SAMPLES = np.arange(10.0).reshape(10, 1)


def test_class_identity():
    assert KMeans.__module__ == "builtins"
    assert KMeans.__name__ == "KMeans"
    assert KMeans.__qualname__ == "KMeans"
    assert KMeans.__bases__ == (object,)
    assert corvalinth.KMeans is KMeans


def test_text_signature_and_doc():
    assert KMeans.__text_signature__ == "(n_clusters=8, max_iters=300, tol=1e-4, random_state=None)"
    assert not KMeans.__doc__


def stub_docstring(name):
    """The docstring the stub gives KMeans.<name>."""
    tree = ast.parse((Path(__file__).parents[2] / "corvalinth.pyi").read_text())
    cls = next(node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "KMeans")
    return ast.get_docstring(next(item for item in cls.body if getattr(item, "name", None) == name))


@pytest.mark.parametrize("name", ["fit", "predict", "fit_predict"])
def test_method_signatures(name):
    # The text signature comes first, then the stub's docstring, which
    # help() shows.
    method = getattr(KMeans, name)
    assert method.__text_signature__ == "($self, x)"
    assert method.__doc__ == stub_docstring(name)
    assert method.__doc__.split("\n")[0].endswith(".")
    assert f"{name}(self, /, x)" in pydoc.render_doc(method, renderer=pydoc.plaintext)


def test_method_and_attribute_order():
    own = [name for name in vars(KMeans) if not name.startswith("__")]
    assert own == ["fit", "predict", "fit_predict", "cluster_centers_", "n_iter_", "inertia_"]


@pytest.mark.parametrize("name", ["cluster_centers_", "n_iter_", "inertia_"])
def test_attribute_descriptors(name):
    descriptor = vars(KMeans)[name]
    assert descriptor.__doc__ == ""
    with pytest.raises(AttributeError):
        descriptor.__set__(KMeans(), 1)


def test_not_subclassable():
    with pytest.raises(TypeError) as info:
        type("Sub", (KMeans,), {})
    assert str(info.value) == "type 'builtins.KMeans' is not an acceptable base type"


def test_instances_have_no_dict_no_weakrefs_no_gc():
    model = KMeans()
    with pytest.raises(AttributeError):
        model.extra = 1
    assert not hasattr(model, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(model)
    assert not gc.is_tracked(model)


def test_new_model_state():
    model = KMeans()
    assert model.cluster_centers_ is None
    assert model.n_iter_ == 0 and type(model.n_iter_) is int
    assert model.inertia_ == 0.0 and type(model.inertia_) is float


def test_defaults():
    # n_clusters 8: eight samples are enough, seven are not.
    model = KMeans(random_state=0)
    with pytest.raises(ValueError) as info:
        model.fit(SAMPLES[:7])
    assert str(info.value) == "n_samples < n_clusters"
    model.fit(SAMPLES[:8])
    assert model.cluster_centers_.shape == (8, 1)
    # max_iters 300: a tolerance that never stops the loop runs 300 iterations.
    unbounded = KMeans(n_clusters=2, tol=-1.0, random_state=0)
    unbounded.fit(SAMPLES)
    assert unbounded.n_iter_ == 300
    # tol 1e-4: identical to passing it.
    data = np.random.default_rng(5).normal(size=(300, 3))
    a, b = KMeans(n_clusters=6, random_state=1), KMeans(n_clusters=6, random_state=1, tol=0.0001)
    a.fit(data)
    b.fit(data)
    assert a.n_iter_ == b.n_iter_
    np.testing.assert_array_equal(a.cluster_centers_, b.cluster_centers_)


@pytest.mark.parametrize("kwargs", [
    {"n_clusters": 0}, {"max_iters": 0}, {"tol": -5.0}, {"tol": float("nan")}, {"tol": float("-inf")},
    {"random_state": 0}, {"n_clusters": 2**64 - 1, "max_iters": 2**64 - 1, "random_state": 2**64 - 1},
])
def test_no_range_validation(kwargs):
    model = KMeans(**kwargs)
    assert model.cluster_centers_ is None and model.n_iter_ == 0


def test_huge_n_clusters_fails_only_at_fit():
    model = KMeans(n_clusters=2**64 - 1)
    with pytest.raises(ValueError) as info:
        model.fit(SAMPLES)
    assert str(info.value) == "n_samples < n_clusters"


def test_instances_release_their_type_and_centres():
    before = sys.getrefcount(KMeans)
    models = [KMeans(n_clusters=2, random_state=i) for i in range(50)]
    for model in models:
        model.fit(SAMPLES)
    assert sys.getrefcount(KMeans) == before + 50
    del models, model
    assert sys.getrefcount(KMeans) == before


def test_type_called_via_new():
    model = KMeans.__new__(KMeans, 3)
    model.fit(SAMPLES)
    assert model.cluster_centers_.shape == (3, 1)
    with pytest.raises(TypeError):
        KMeans.__new__(object)
