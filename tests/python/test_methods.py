"""fit, predict, fit_predict and the fitted-state attributes."""

from __future__ import annotations

import contextlib
import signal

import numpy as np
import pytest

from corvalinth import KMeans

SAMPLES = np.arange(10.0).reshape(10, 1)

KNOWN = {
    2: ([[6.5], [1.5]], 2, 22.5, [1, 1, 1, 1, 0, 0, 0, 0, 0, 0]),
    3: ([[7.5], [1.5], [4.5]], 2, 10.5, [1, 1, 1, 1, 2, 2, 0, 0, 0, 0]),
}


@pytest.mark.parametrize("k", sorted(KNOWN))
def test_fit_then_predict_known_answer(k):
    centres, n_iter, inertia, labels = KNOWN[k]
    model = KMeans(n_clusters=k, random_state=0)
    assert model.fit(SAMPLES) is None
    assert model.cluster_centers_.tolist() == centres
    assert model.cluster_centers_.dtype == np.float64
    assert model.n_iter_ == n_iter
    assert model.inertia_ == inertia
    predicted = model.predict(SAMPLES)
    assert predicted.dtype == np.int32 and predicted.shape == (10,)
    assert predicted.tolist() == labels


@pytest.mark.parametrize("k", sorted(KNOWN))
def test_fit_predict_known_answer(k):
    centres, n_iter, inertia, labels = KNOWN[k]
    model = KMeans(n_clusters=k, random_state=0)
    result = model.fit_predict(SAMPLES)
    assert result.dtype == np.int32 and result.tolist() == labels
    assert model.cluster_centers_.tolist() == centres
    assert (model.n_iter_, model.inertia_) == (n_iter, inertia)
    assert model.predict(SAMPLES).tolist() == result.tolist()


def test_predict_labels_on_the_common_leading_columns():
    x = np.array([[0.0, 0.0], [1.0, 0.0], [10.0, 10.0], [11.0, 10.0]])
    model = KMeans(n_clusters=2, random_state=0)
    model.fit(x)
    low, high = model.predict(x).tolist()[1:3]
    assert low != high
    # One column: only the first coordinate of each centre (0.5 and 10.5) counts.
    assert model.predict(np.array([[0.2], [10.9], [6.0]])).tolist() == [low, high, high]
    # Three columns: the third is beyond the centres and takes no part.
    wide = np.array([[0.2, 9.0, 1e9], [10.9, 1.0, -1e9]])
    assert model.predict(wide).tolist() == [low, high]


def test_unfitted_predict():
    model = KMeans()
    with pytest.raises(ValueError) as info:
        model.predict(SAMPLES)
    assert str(info.value) == "Model not fitted yet. Call fit() first."
    assert type(info.value) is ValueError


@pytest.mark.parametrize("method", ["fit", "predict", "fit_predict"])
@pytest.mark.parametrize("x,type_name", [
    (SAMPLES.astype(np.float32), "ndarray"), (SAMPLES.ravel(), "ndarray"), ([[1.0], [2.0]], "list"), (None, "NoneType"),
])
def test_unacceptable_x_is_argument_error(method, x, type_name):
    # The argument is converted before the engine looks at the model, so even
    # an unfitted model reports the argument.
    model = KMeans(n_clusters=2)
    with pytest.raises(TypeError) as info:
        getattr(model, method)(x)
    assert str(info.value) == f"argument 'x': '{type_name}' object cannot be converted to 'PyArray<T, D>'"


@pytest.mark.parametrize("method", ["fit", "fit_predict"])
def test_too_few_samples(method):
    model = KMeans(n_clusters=2, random_state=0)
    model.fit(SAMPLES)
    with pytest.raises(ValueError) as info:
        getattr(model, method)(SAMPLES[:1])
    assert str(info.value) == "n_samples < n_clusters"
    assert model.cluster_centers_.tolist() == [[6.5], [1.5]]
    assert model.fit_predict(SAMPLES).tolist() == KNOWN[2][3]


def test_cluster_centers_are_fresh_copies():
    model = KMeans(n_clusters=2, random_state=0)
    model.fit(SAMPLES)
    a, b = model.cluster_centers_, model.cluster_centers_
    assert a is not b
    assert a.flags.writeable and a.flags.c_contiguous
    a[:] = 100.0
    assert b.tolist() == [[6.5], [1.5]]
    assert model.cluster_centers_.tolist() == [[6.5], [1.5]]
    assert model.predict(SAMPLES).tolist() == KNOWN[2][3]


@pytest.mark.parametrize("name", ["cluster_centers_", "n_iter_", "inertia_"])
def test_attributes_are_read_only(name):
    model = KMeans()
    with pytest.raises(AttributeError):
        setattr(model, name, 5)
    with pytest.raises(AttributeError):
        delattr(model, name)
    assert getattr(model, name) == {"cluster_centers_": None, "n_iter_": 0, "inertia_": 0.0}[name]


def test_refit_replaces_state():
    model = KMeans(n_clusters=2, random_state=0)
    model.fit(SAMPLES)
    wide = np.arange(30.0).reshape(10, 3)
    model.fit(wide)
    assert model.cluster_centers_.shape == (2, 3)


def test_n_iter_large_value():
    model = KMeans(n_clusters=1, max_iters=2**64 - 1, tol=float("inf"), random_state=0)
    model.fit(SAMPLES)
    assert model.n_iter_ == 2  # cannot stop in the first iteration


# --- calling back into the model while it is borrowed ------------------------

class Stop(Exception):
    pass


def large_samples():
    return np.random.default_rng(11).normal(size=(60_000, 6))


@contextlib.contextmanager
def alarm(handler, delay, interval=0.0):
    """SIGALRM handled by `handler`, first after `delay` seconds."""
    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, delay, interval)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0, 0)
        signal.signal(signal.SIGALRM, previous)


def run_with_probe(long_call, probe):
    """Runs `long_call()` with a repeating timer whose handler calls
    `probe()` once the call is inside its fitting loop, then stops the call by
    raising Stop. Returns what the probe returned."""
    seen = {}

    def handler(signum, frame):
        if "result" in seen:
            return
        result = probe()
        if result is None:  # not inside the fit yet
            return
        seen["result"] = result
        raise Stop("stop the fit")

    with alarm(handler, 0.02, 0.02), pytest.raises(Stop):
        long_call()
    return seen["result"]


def conflicts(model, x):
    """Every entry point called on a borrowed model: the RuntimeError texts."""
    try:
        model.n_iter_
    except RuntimeError:
        pass
    else:
        return None
    calls = {
        "cluster_centers_": lambda: model.cluster_centers_,
        "n_iter_": lambda: model.n_iter_,
        "inertia_": lambda: model.inertia_,
        "predict": lambda: model.predict(x),
        "fit": lambda: model.fit(x),
        "fit_predict": lambda: model.fit_predict(x),
    }
    found = {}
    for name, call in calls.items():
        try:
            call()
            found[name] = "no error"
        except RuntimeError as e:
            found[name] = str(e)
    # Another model is independent of the borrowed one.
    other = KMeans(n_clusters=2, random_state=0)
    found["other"] = other.fit_predict(SAMPLES).tolist()
    return found


EXPECTED_CONFLICTS = {
    "cluster_centers_": "Already mutably borrowed",
    "n_iter_": "Already mutably borrowed",
    "inertia_": "Already mutably borrowed",
    "predict": "Already mutably borrowed",
    "fit": "Already borrowed",
    "fit_predict": "Already borrowed",
    "other": KNOWN[2][3],
}


@pytest.mark.parametrize("method", ["fit", "fit_predict"])
def test_callbacks_during_fit_meet_the_exclusive_borrow(method):
    x = large_samples()
    model = KMeans(n_clusters=2, random_state=0)
    model.fit(SAMPLES)
    # Thousands of iterations: quick on a few samples, long on many.
    long_model = KMeans(n_clusters=12, max_iters=3000, tol=-1.0, random_state=4)
    long_model.fit(x[:20])
    assert long_model.n_iter_ == 3000
    centres_before = long_model.cluster_centers_
    found = run_with_probe(lambda: getattr(long_model, method)(x), lambda: conflicts(long_model, x))
    assert found == EXPECTED_CONFLICTS
    # The stopped fit kept the previous centres, and every borrow was released.
    np.testing.assert_array_equal(long_model.cluster_centers_, centres_before)
    assert long_model.predict(x[:20]).shape == (20,)
    assert model.predict(SAMPLES).tolist() == KNOWN[2][3]


def test_panic_raised_in_a_signal_handler_during_fit(capfd):
    try:
        KMeans(n_clusters=0).fit(SAMPLES)
    except BaseException as e:  # noqa: B036
        panic_type = type(e)
    x = large_samples()
    model = KMeans(n_clusters=4, max_iters=10**9, tol=-1.0, random_state=1)
    original = panic_type("raised by a handler")

    def handler(signum, frame):
        raise original

    with alarm(handler, 0.05), pytest.raises(BaseException) as info:
        model.fit(x)
    assert type(info.value) is panic_type
    assert info.value is not original
    assert info.value.args == ("raised by a handler",)
    err = capfd.readouterr().err
    assert "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n" \
           "Python stack trace below:\n" in err
    assert "corvalinth: internal failure: raised by a handler" in err
    assert model.cluster_centers_ is None


def test_exception_from_signal_handler_is_passed_unchanged():
    x = large_samples()
    model = KMeans(n_clusters=3, max_iters=10**9, tol=-1.0, random_state=2)
    stop = Stop("unchanged")

    def handler(signum, frame):
        raise stop

    with alarm(handler, 0.05), pytest.raises(Stop) as info:
        model.fit_predict(x)
    assert info.value is stop
    assert model.cluster_centers_ is None
