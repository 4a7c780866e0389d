"""The fixed cost of a call into corvalinth next to the cost of a Python call.

Times (best of several rounds of many calls, after a warm-up):
  - a call of a Python function that does nothing, and of NumPy's x.sum() on
    the tiny input, for scale;
  - predict on a tiny input (8 samples) and on (2,000, 8) with 8 centres;
  - fit (max_iters=10, tol=0) on a tiny input and on (2,000, 8) with 8 centres.

usage: bench/python/call_overhead.py
"""

from __future__ import annotations

import timeit

import numpy as np

import corvalinth


def best_per_call(stmt, number: int) -> float:
    return min(timeit.repeat(stmt, number=number, repeat=7)) / number


def main() -> None:
    rng = np.random.default_rng(0)
    tiny = rng.normal(size=(8, 2))
    small = rng.normal(size=(2_000, 8))
    fitted_tiny = corvalinth.KMeans(n_clusters=2, max_iters=10, tol=0.0, random_state=0)
    fitted_tiny.fit(tiny)
    fitted_small = corvalinth.KMeans(n_clusters=8, max_iters=10, tol=0.0, random_state=0)
    fitted_small.fit(small)

    def nothing(x):
        return None

    rows = [
        ("Python function call, nothing done", lambda: nothing(tiny), 200_000),
        ("NumPy x.sum() on the tiny input", lambda: tiny.sum(), 200_000),
        ("predict, 8 samples x 2, 2 centres", lambda: fitted_tiny.predict(tiny), 100_000),
        ("predict, 2,000 samples x 8, 8 centres", lambda: fitted_small.predict(small), 5_000),
        ("fit 10 iterations, 8 samples x 2, 2 centres",
         lambda: corvalinth.KMeans(n_clusters=2, max_iters=10, tol=0.0, random_state=0).fit(tiny), 20_000),
        ("fit 10 iterations, 2,000 samples x 8, 8 centres",
         lambda: corvalinth.KMeans(n_clusters=8, max_iters=10, tol=0.0, random_state=0).fit(small), 500),
    ]
    print(f"{'call':<50} {'per call':>12}")
    for name, stmt, number in rows:
        print(f"{name:<50} {best_per_call(stmt, number) * 1e6:>9.2f} us")


if __name__ == "__main__":
    main()
