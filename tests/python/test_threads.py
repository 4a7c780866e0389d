"""Several Python threads using the module at once.

Every call holds the interpreter lock while the shared worker pool runs, so
calls from different threads interleave between calls. Whatever the
interleaving, a model with an integer random_state must give bit-for-bit the
results of a sequential run.
"""

from __future__ import annotations

import sys
import threading

import numpy as np
import pytest

import corvalinth

# (n, d, k, max_iters, tol, random_state, layout)
CASES = [
    (20_000, 5, 6, 15, 0.0, 1, "c"),
    (12_000, 3, 4, 300, 1e-4, 2, "fortran"),
    (30_000, 2, 9, 10, 0.0, 3, "strided"),
    (5_000, 16, 32, 8, 0.0, 4, "c"),
    (8_000, 7, 5, 300, 1e-4, 2**64 - 1, "reversed"),
    (50, 3, 50, 5, 0.0, 0, "c"),
]


def make_data(n: int, d: int, k: int, seed: int, layout: str) -> np.ndarray:
    rng = np.random.default_rng(seed % 2**32)
    centres = rng.uniform(-10.0, 10.0, size=(k, d))
    x = centres[rng.integers(0, k, size=n)] + rng.normal(size=(n, d))
    if layout == "fortran":
        return np.asfortranarray(x)
    if layout == "strided":
        return np.repeat(x, 2, axis=0)[::2]
    if layout == "reversed":
        return x[::-1]
    return x


DATA = [make_data(n, d, k, seed, layout) for n, d, k, _, _, seed, layout in CASES]


def run_case(i: int) -> tuple:
    _, _, k, max_iters, tol, seed, _ = CASES[i]
    x = DATA[i]
    model = corvalinth.KMeans(n_clusters=k, max_iters=max_iters, tol=tol, random_state=seed)
    model.fit(x)
    centres = model.cluster_centers_
    labels = model.predict(x)
    again = corvalinth.KMeans(k, max_iters, tol, seed).fit_predict(x)
    return centres.tobytes(), centres.shape, model.n_iter_, labels.tobytes(), again.tobytes()


@pytest.fixture(scope="module")
def sequential():
    return [run_case(i) for i in range(len(CASES))]


@pytest.fixture
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(old)


def run_threads(target, n_threads: int) -> list:
    """Runs target(t) on n_threads threads started together; returns the
    results in thread order and re-raises the first failure."""
    results: list = [None] * n_threads
    errors: list = []
    barrier = threading.Barrier(n_threads)

    def body(t: int) -> None:
        try:
            barrier.wait()
            results[t] = target(t)
        except BaseException as e:  # reported to the test below
            errors.append(e)

    threads = [threading.Thread(target=body, args=(t,)) for t in range(n_threads)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    if errors:
        raise errors[0]
    return results


def test_sequential_runs_repeat(sequential):
    assert [run_case(i) for i in range(len(CASES))] == sequential


@pytest.mark.usefixtures("fast_switching")
def test_concurrent_fits_match_sequential(sequential):
    rounds = 3

    def work(t: int) -> list:
        # Each thread walks the cases from its own starting point.
        order = [(t + r) % len(CASES) for r in range(rounds * len(CASES))]
        return [(i, run_case(i)) for i in order]

    for per_thread in run_threads(work, 6):
        for i, got in per_thread:
            assert got == sequential[i], f"case {i} differs when run from threads"


@pytest.mark.usefixtures("fast_switching")
def test_shared_model_predicted_from_threads(sequential):
    _, _, k, max_iters, tol, seed, _ = CASES[0]
    model = corvalinth.KMeans(n_clusters=k, max_iters=max_iters, tol=tol, random_state=seed)
    model.fit(DATA[0])
    expected_labels = sequential[0][3]

    def work(t: int) -> list:
        out = []
        for _ in range(20):
            out.append(model.predict(DATA[0]).tobytes() == expected_labels)
            out.append(model.cluster_centers_.tobytes() == sequential[0][0])
            out.append(model.n_iter_ == sequential[0][2])
        return out

    for per_thread in run_threads(work, 4):
        assert all(per_thread)


@pytest.mark.usefixtures("fast_switching")
def test_one_model_refitted_from_threads():
    """Threads take turns refitting one model on different data sets; after
    each call the thread sees the state of its own fit."""
    model = corvalinth.KMeans(n_clusters=4, max_iters=10, tol=0.0, random_state=11)
    sets = [DATA[0], DATA[1], DATA[2]]
    lock = threading.Lock()

    def expected(x: np.ndarray) -> tuple:
        m = corvalinth.KMeans(n_clusters=4, max_iters=10, tol=0.0, random_state=11)
        m.fit(x)
        return m.cluster_centers_.tobytes(), m.predict(x).tobytes()

    wanted = [expected(x) for x in sets]

    def work(t: int) -> list:
        out = []
        for r in range(6):
            j = (t + r) % len(sets)
            # The lock keeps fit and the reads together; the threads still
            # interleave between their turns.
            with lock:
                model.fit(sets[j])
                got = (model.cluster_centers_.tobytes(), model.predict(sets[j]).tobytes())
            out.append(got == wanted[j])
        return out

    for per_thread in run_threads(work, 3):
        assert all(per_thread)


# Pixel-like rows of 1 to 7 features whose labels repeat in runs of about six
# samples (the update then carries the current cluster's sums in a register,
# its cells on the worker's stack), with as many clusters as those cells
# allow: fitted in a fresh process whose workers have the smallest stack the
# thread library allows, and in one with the default stack, the same centres,
# labels and iterations.
STACK_CHILD = """
import hashlib, numpy as np, corvalinth
rs = np.random.default_rng(5)
digest = hashlib.sha256()
for d in range(1, 8):
    colours = rs.uniform(size=(127, d))
    runs = np.repeat(rs.integers(0, 127, 6000), 6)
    x = colours[runs] + rs.normal(scale=0.01, size=(runs.size, d))
    m = corvalinth.KMeans(n_clusters=127, max_iters=8, tol=0.0, random_state=d)
    labels = m.fit_predict(x)
    digest.update(m.cluster_centers_.tobytes() + labels.tobytes() + bytes([m.n_iter_]))
print(digest.hexdigest())
"""


def test_smallest_worker_stack_gives_the_same_fit():
    import os
    import subprocess

    from conftest import python_command

    outputs = []
    for stack in ("1", None):
        env = {k: v for k, v in os.environ.items() if k != "RUST_MIN_STACK"}
        env["RAYON_NUM_THREADS"] = "2"
        if stack is not None:
            env["RUST_MIN_STACK"] = stack
        done = subprocess.run(python_command(STACK_CHILD), capture_output=True, text=True, timeout=300, env=env)
        assert done.returncode == 0, done.stderr
        outputs.append(done.stdout.strip())
    assert len(outputs[0]) == 64
    assert outputs[0] == outputs[1]
