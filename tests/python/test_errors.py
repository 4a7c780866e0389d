"""How failures reach Python: PanicException, resumed panics, the rewriting
of argument errors, object display in messages, and memory exhaustion."""

from __future__ import annotations

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

from corvalinth import KMeans
from conftest import run_python, sanitized_run

PANIC_DOC_TAIL = (
    "\n\nLike SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n"
)
RESUME_LINES = (
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
    "Python stack trace below:\n"
)
ZERO_CLUSTERS_MESSAGE = "assertion failed: index < dim"
SAMPLES = np.arange(10.0).reshape(10, 1)


def raise_internal_failure():
    """An internal failure of the engine: zero clusters on a non-empty set."""
    KMeans(n_clusters=0).fit(SAMPLES)


@pytest.fixture(scope="module")
def panic():
    try:
        raise_internal_failure()
    except BaseException as e:  # noqa: B036 - the point is that it is not an Exception
        return e
    pytest.fail("no internal failure raised")


def test_panic_exception_carries_the_message(panic):
    assert panic.args == (ZERO_CLUSTERS_MESSAGE,)
    assert str(panic) == ZERO_CLUSTERS_MESSAGE


def test_panic_exception_type(panic):
    cls = type(panic)
    assert cls.__module__ == "pyo3_runtime"
    assert cls.__name__ == "PanicException"
    assert cls.__bases__ == (BaseException,)
    assert not issubclass(cls, Exception)
    doc = cls.__doc__
    assert doc.startswith("\n") and doc.endswith(PANIC_DOC_TAIL)
    sentence = doc[1:-len(PANIC_DOC_TAIL)]
    assert sentence and "\n" not in sentence


def test_panic_is_not_caught_as_exception():
    with pytest.raises(BaseException) as info:
        try:
            raise_internal_failure()
        except Exception:  # must not catch it
            pytest.fail("PanicException caught as Exception")
    assert type(info.value).__name__ == "PanicException"


def test_panic_type_is_one_object(panic):
    with pytest.raises(BaseException) as info:
        raise_internal_failure()
    assert type(info.value) is type(panic)


def test_panic_type_is_made_at_first_panic_and_reported():
    out = run_python("""
        import gc, sys
        import numpy as np
        import corvalinth

        def panic_types():
            return len([t for t in gc.get_objects()
                        if isinstance(t, type) and t.__name__ == "PanicException"])

        print(panic_types())
        try:
            corvalinth.KMeans(n_clusters="two")
        except TypeError:
            pass
        print(panic_types())
        for _ in range(3):
            try:
                corvalinth.KMeans(n_clusters=0).fit(np.zeros((3, 1)))
            except BaseException as e:
                print(type(e).__name__, e, flush=True)
        print(panic_types(), "pyo3_runtime" in sys.modules, hasattr(corvalinth, "PanicException"))
    """)
    assert out.returncode == 0, out.stderr
    # Not made at import nor by ordinary errors; made once, by the first
    # internal failure, and installed nowhere.
    assert out.stdout.splitlines() == (["0", "0"] + ["PanicException " + ZERO_CLUSTERS_MESSAGE] * 3
                                       + ["1 False False"])
    assert out.stderr.count("corvalinth: internal failure: " + ZERO_CLUSTERS_MESSAGE + "\n") == 3


RESUME_CHILD = """
    import numpy as np
    import corvalinth

    try:
        corvalinth.KMeans(n_clusters=0).fit(np.zeros((3, 1)))
    except BaseException as e:
        Panic = type(e)

    class Unprintable:
        def __str__(self):
            raise ValueError("no text")

    class Index:
        def __index__(self):
            raise Panic({payload})

    class Float:
        def __float__(self):
            raise Panic({payload})

    try:
        corvalinth.KMeans(**{{{keyword!r}: {converter}()}})
    except BaseException as e:
        print(type(e).__name__, repr(e.args), e.__context__ is None, flush=True)
"""


@pytest.mark.parametrize("keyword,converter", [("n_clusters", "Index"), ("tol", "Float")])
@pytest.mark.parametrize("payload,message", [
    ('"boom"', "boom"),
    ('"caf\\u00e9 \\udc80"', "caf\u00e9 \ufffd\ufffd\ufffd"),
    ("Unprintable()", "Unwrapped panic from Python code"),
])
def test_panic_raised_by_python_code_is_resumed(keyword, converter, payload, message):
    out = run_python(RESUME_CHILD.format(keyword=keyword, converter=converter, payload=payload))
    assert out.returncode == 0, out.stderr
    # The resumed panic is a fresh PanicException, not the rewritten
    # "argument '...'" error and not the original instance.
    assert out.stdout.strip() == f"PanicException {(message,)!r} True"
    err = out.stderr
    start = err.index(RESUME_LINES)
    trace = err[start + len(RESUME_LINES):]
    assert trace.startswith("Traceback (most recent call last):\n")
    assert "pyo3_runtime.PanicException" in trace
    assert f"corvalinth: internal failure: {message}\n" in trace


class TextError(Exception):
    pass


class SubTypeError(TypeError):
    pass


class RaisingIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


class RaisingFloat(RaisingIndex):
    def __float__(self):
        raise self.exc


class BadStr:
    def __str__(self):
        raise RuntimeError("cannot render")


@pytest.mark.parametrize("keyword,make", [
    ("n_clusters", RaisingIndex), ("max_iters", RaisingIndex),
    ("random_state", RaisingIndex), ("tol", RaisingFloat),
])
def test_exact_type_error_is_renamed_with_cause(keyword, make):
    cause = KeyError("inner")
    original = TypeError("original text")
    original.__cause__ = cause
    with pytest.raises(TypeError) as info:
        KMeans(**{keyword: make(original)})
    e = info.value
    assert type(e) is TypeError
    assert e is not original
    assert e.args == (f"argument '{keyword}': original text",)
    assert e.__cause__ is cause
    assert e.__suppress_context__ is True


def test_renamed_type_error_without_cause():
    with pytest.raises(TypeError) as info:
        KMeans(n_clusters=RaisingIndex(TypeError("plain")))
    assert str(info.value) == "argument 'n_clusters': plain"
    assert info.value.__cause__ is None


@pytest.mark.parametrize("exc", [SubTypeError("sub"), ValueError("value"), TextError("text"),
                                 OverflowError("overflow"), KeyboardInterrupt()])
@pytest.mark.parametrize("keyword,make", [("n_clusters", RaisingIndex), ("tol", RaisingFloat)])
def test_other_conversion_errors_pass_unchanged(exc, keyword, make):
    with pytest.raises(BaseException) as info:
        KMeans(**{keyword: make(exc)})
    assert info.value is exc


def test_renamed_message_with_surrogates_is_replaced():
    with pytest.raises(TypeError) as info:
        KMeans(n_clusters=RaisingIndex(TypeError("a\udc80b")))
    assert str(info.value) == "argument 'n_clusters': a\ufffd\ufffd\ufffdb"


def test_unprintable_message_is_reported_unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr("sys.unraisablehook", lambda u: seen.append(u))
    original = TypeError(BadStr())
    with pytest.raises(TypeError) as info:
        KMeans(tol=RaisingFloat(original))
    assert str(info.value) == "argument 'tol': <unprintable TypeError object>"
    assert len(seen) == 1
    assert seen[0].object is original
    assert type(seen[0].exc_value) is RuntimeError


class OddKey(str):
    def __str__(self):
        raise RuntimeError("key cannot render")


def test_unexpected_key_display_fallbacks(monkeypatch):
    seen = []
    monkeypatch.setattr("sys.unraisablehook", lambda u: seen.append(u))
    with pytest.raises(TypeError) as info:
        KMeans(**{OddKey("k"): 1})
    assert str(info.value) == "KMeans.__new__() got an unexpected keyword argument '<unprintable OddKey object>'"
    assert len(seen) == 1 and type(seen[0].exc_value) is RuntimeError


def test_unexpected_key_with_surrogates():
    key = "n_clusters\udc80"
    with pytest.raises(TypeError) as info:
        KMeans(**{key: 1})
    expected_key = key.encode("utf-8", "surrogatepass").decode("utf-8", "replace")
    assert expected_key == "n_clusters\ufffd\ufffd\ufffd"
    assert str(info.value) == f"KMeans.__new__() got an unexpected keyword argument '{expected_key}'"


def test_conversion_error_names_the_qualified_type():
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError) as info:
        KMeans().fit(Outer.Inner())
    qualname = "test_conversion_error_names_the_qualified_type.<locals>.Outer.Inner"
    assert str(info.value) == f"argument 'x': '{qualname}' object cannot be converted to 'PyArray<T, D>'"


def test_conversion_error_with_unreadable_type_name():
    class Odd:
        pass

    Odd.__qualname__ = "odd\udc80"
    with pytest.raises(TypeError) as info:
        KMeans().predict(Odd())
    assert str(info.value) == (
        "argument 'x': '<failed to extract type name>' object cannot be converted to 'PyArray<T, D>'")


# The sanitizer's operator new aborts instead of throwing on an impossible size.
huge_allocations = pytest.mark.skipif(sanitized_run(), reason="the sanitizer aborts on impossible allocations")


def huge_samples():
    # 2**59 rows that all alias one value: the label buffer cannot be allocated.
    return as_strided(np.zeros(1), shape=(2**59, 1), strides=(0, 0))


@huge_allocations
@pytest.mark.parametrize("method", ["fit", "predict", "fit_predict"])
def test_memory_exhaustion_is_memory_error_and_model_unchanged(method):
    model = KMeans(n_clusters=2, random_state=0)
    model.fit(SAMPLES)
    centres = model.cluster_centers_
    with pytest.raises(MemoryError):
        getattr(model, method)(huge_samples())
    np.testing.assert_array_equal(model.cluster_centers_, centres)
    assert model.n_iter_ == 2
    assert model.inertia_ == 22.5
    # The receiver borrow was released.
    assert model.predict(SAMPLES).tolist() == [1, 1, 1, 1, 0, 0, 0, 0, 0, 0]
