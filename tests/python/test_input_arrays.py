"""Which objects fit, predict and fit_predict accept as x, and what the engine
sees of them: every accepted view must give exactly the results of a
C-contiguous copy of the same values."""

from __future__ import annotations

import sys

import numpy as np
import pytest

import corvalinth
from conftest import sanitized_run
from test_borrow_registry import blobs, install_registry

METHODS = ["fit", "predict", "fit_predict"]

pytestmark = pytest.mark.filterwarnings("ignore:the matrix subclass:PendingDeprecationWarning")


def refusal(type_name: str) -> str:
    return f"argument 'x': '{type_name}' object cannot be converted to 'PyArray<T, D>'"


class Samples(np.ndarray):
    pass


class Outer:
    class Inner(np.ndarray):
        pass


def fitted_model():
    model = corvalinth.KMeans(n_clusters=2, max_iters=5, random_state=0)
    model.fit(blobs(20, 3, 2))
    return model


# --- refusals -------------------------------------------------------------------

BASE = blobs(12, 3, 2, seed=3)

REFUSED = [
    (lambda: BASE.astype(np.float32), "ndarray"),
    (lambda: BASE.astype(np.float16), "ndarray"),
    (lambda: BASE.astype(np.longdouble), "ndarray"),
    (lambda: BASE.astype(np.int64), "ndarray"),
    (lambda: BASE.astype(object), "ndarray"),
    (lambda: BASE.astype(np.complex128), "ndarray"),
    (lambda: BASE.astype(">f8"), "ndarray"),                          # non-native byte order
    (lambda: BASE.view(np.dtype([("v", "<f8")])).reshape(12, 3), "ndarray"),   # structured
    (lambda: BASE[:, 0], "ndarray"),                                  # 1-D
    (lambda: BASE.reshape(2, 6, 3), "ndarray"),                       # 3-D
    (lambda: BASE.reshape(1, 1, 12, 3), "ndarray"),
    (lambda: np.ones(()), "ndarray"),                                 # 0-D
    (lambda: BASE.astype(np.float32).view(Samples), "Samples"),
    (lambda: BASE[0].view(Outer.Inner), "Outer.Inner"),               # qualified name
    (lambda: np.asmatrix(BASE.astype(np.int32)), "matrix"),
    (lambda: BASE.tolist(), "list"),
    (lambda: tuple(map(tuple, BASE)), "tuple"),
    (lambda: 1.5, "float"),
    (lambda: None, "NoneType"),
    (lambda: memoryview(BASE), "memoryview"),
    (lambda: np.float64(1.0), "float64"),
]


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("make, type_name", REFUSED)
def test_refusals(make, type_name, method):
    x = make()
    # A fitted and an unfitted model: the argument is checked first.
    for model in (fitted_model(), corvalinth.KMeans(n_clusters=2)):
        before = sys.getrefcount(x)
        with pytest.raises(TypeError) as info:
            getattr(model, method)(x)
        assert str(info.value) == refusal(type_name)
        assert type(info.value) is TypeError
        del info
        assert sys.getrefcount(x) == before


def test_refusal_borrows_nothing():
    registry = install_registry()
    x = BASE.astype(np.float32)
    with pytest.raises(TypeError):
        corvalinth.KMeans(n_clusters=2).fit(x)
    assert registry.acquire_write(x) == 0
    registry.release_write(x)


def test_keyword_argument_is_converted_the_same_way():
    with pytest.raises(TypeError) as info:
        corvalinth.KMeans(n_clusters=2).fit(x=[[1.0, 2.0]])
    assert str(info.value) == refusal("list")


# --- accepted views ---------------------------------------------------------------

def packed(n, d, leading=None, trailing=None):
    """A packed structured array holding an (n, d) float64 field 'x' between
    optional padding fields; returns (record array, field view)."""
    fields = ([("lead", leading)] if leading else []) + [("x", "<f8", (d,))] + \
             ([("trail", trailing)] if trailing else [])
    records = np.zeros(n, dtype=np.dtype(fields, align=False))
    return records, records["x"]


def misaligned_field(values, leading="u1", trailing=None):
    _, field = packed(values.shape[0], values.shape[1], leading, trailing)
    field[...] = values
    return field


def offset_buffer(values, offset=3):
    """values copied into a buffer at a byte offset that is not a multiple of 8."""
    raw = np.zeros(values.size * 8 + offset, dtype=np.uint8)
    view = raw[offset:].view(np.float64).reshape(values.shape)
    view[...] = values
    return view


def readonly(values):
    values = values.copy()
    values.setflags(write=False)
    return values


def with_metadata(values):
    # A different descriptor object that NumPy deems equivalent to float64.
    return values.view(np.dtype(np.float64, metadata={"unit": "m"}))


VIEWS = {
    "contiguous": lambda v: v,
    "readonly": readonly,
    "transposed": lambda v: np.ascontiguousarray(v.T).T,
    "fortran": np.asfortranarray,
    "every_2nd_row_3rd_col": lambda v: np.repeat(np.repeat(v, 2, axis=0), 3, axis=1)[::2, ::3],
    "offset_slice": lambda v: np.pad(v, ((3, 4), (1, 2)))[3:-4, 1:-2],
    "reversed_both": lambda v: np.ascontiguousarray(v[::-1, ::-1])[::-1, ::-1],
    "reversed_strided": lambda v: np.repeat(np.repeat(v[::-1, ::-1], 2, axis=0), 3, axis=1)[::-2, ::-3],
    "subclass": lambda v: v.copy().view(Samples),
    "matrix": lambda v: np.asmatrix(v.copy()),
    "metadata_dtype": with_metadata,
    "native_order_explicit": lambda v: v.astype("=f8"),
    "packed_after_byte": misaligned_field,
    "packed_after_int32": lambda v: misaligned_field(v, leading="<i4"),
    "packed_aligned_start_odd_stride": lambda v: misaligned_field(v, leading=None, trailing="<i4"),
    "packed_reversed": lambda v: misaligned_field(v[::-1])[::-1],
    "packed_transposed": lambda v: misaligned_field(np.ascontiguousarray(v.T), leading=None, trailing="u1").T,
    "byte_offset_buffer": offset_buffer,
    "byte_offset_fortran": lambda v: offset_buffer(np.asfortranarray(v).T.copy()).T,
}


def outcome(call):
    """The result of call(), or the error it raises, as comparable values."""
    try:
        return ("ok", call())
    except ValueError as e:
        return ("ValueError", str(e))


def fit_results(x):
    model = corvalinth.KMeans(n_clusters=4, max_iters=12, tol=0.0, random_state=11)
    fitted = outcome(lambda: model.fit_predict(x).tobytes())
    centres = model.cluster_centers_
    return {"fit_predict": fitted,
            "centres": None if centres is None else (centres.shape, centres.tobytes()),
            "n_iter": model.n_iter_,
            "inertia": model.inertia_,
            "predict": outcome(lambda: model.predict(x).tobytes())}


def assert_same_results(got, want):
    # The inertia is a parallel sum whose last bits may vary between runs.
    assert got.pop("inertia") == pytest.approx(want.pop("inertia"), rel=1e-12, abs=0.0)
    assert got == want


@pytest.mark.parametrize("name", sorted(VIEWS))
@pytest.mark.parametrize("shape", [(61, 5), (7, 1), (9, 4), (1100, 40)])  # wide rows take other loops
def test_views_give_the_results_of_a_contiguous_copy(name, shape):
    values = blobs(shape[0], shape[1], 4, seed=shape[0])
    x = VIEWS[name](values)
    assert x.shape == shape and x.dtype == np.float64
    np.testing.assert_array_equal(np.asarray(x), values)
    before = sys.getrefcount(x)
    assert_same_results(fit_results(x), fit_results(np.ascontiguousarray(values)))
    # Predicting the view with a model fitted on the copy, and the reverse.
    model = corvalinth.KMeans(n_clusters=4, max_iters=12, tol=0.0, random_state=5)
    model.fit(np.ascontiguousarray(values))
    assert model.predict(x).tobytes() == model.predict(np.ascontiguousarray(values)).tobytes()
    assert sys.getrefcount(x) == before


@pytest.mark.parametrize("make", [
    lambda v: np.broadcast_to(v[:, :1], v.shape),         # column stride 0
    lambda v: np.broadcast_to(v[:1], (9, v.shape[1])),    # row stride 0
    lambda v: np.broadcast_to(misaligned_field(v)[:, 2:3], v.shape),
])
def test_zero_strides(make):
    x = make(blobs(9, 3, 2, seed=9))
    assert 0 in x.strides
    assert_same_results(fit_results(x), fit_results(np.ascontiguousarray(x)))


@pytest.mark.parametrize("name", ["contiguous", "fortran", "packed_after_byte", "byte_offset_buffer", "subclass"])
@pytest.mark.parametrize("shape", [(0, 3), (6, 0), (0, 0)])
def test_empty_shapes_are_accepted(name, shape):
    x = VIEWS[name](np.zeros(shape))
    assert x.shape == shape
    assert_same_results(fit_results(x), fit_results(np.zeros(shape)))
    # Predicting zero samples gives an empty label array.
    if shape[0] == 0:
        model = corvalinth.KMeans(n_clusters=1, random_state=0)
        model.fit(np.ones((2, shape[1])))
        labels = model.predict(x)
        assert labels.shape == (0,) and labels.dtype == np.int32


def test_misaligned_input_is_borrowed_on_the_callers_array():
    # The aligned copy is private; the read borrow is the caller's array's.
    registry = install_registry()
    x = misaligned_field(blobs(40, 3, 2, seed=4))
    model = corvalinth.KMeans(n_clusters=2, random_state=0)
    assert registry.acquire_write(x) == 0
    with pytest.raises(BaseException) as info:
        model.fit(x)
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"
    registry.release_write(x)
    model.fit(x)
    assert registry.acquire_write(x) == 0
    registry.release_write(x)


@pytest.mark.parametrize("shape", [
    (1, 2 ** 59),      # 4 EiB: the largest copy NumPy lets an array describe
    (1, 2 ** 40),      # 8 TiB
])
def test_oversized_misaligned_copy_is_memory_error(shape):
    # One sample: without the copy the engine would answer at once (too few
    # samples for two clusters; prediction reads only the centres' width).
    if sanitized_run():
        pytest.skip("the sanitizer allocator aborts on huge requests instead of failing")
    registry = install_registry()
    raw = np.zeros(9, dtype=np.uint8)
    one = raw[1:].view(np.float64).reshape(1, 1)
    x = np.broadcast_to(one, shape)
    for method in METHODS:
        with pytest.raises(MemoryError):
            getattr(fitted_model(), method)(x)
    # The borrow taken before the copy failed was released.
    assert registry.acquire_write(one) == 0
    registry.release_write(one)
