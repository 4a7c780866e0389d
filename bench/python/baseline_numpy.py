"""Lloyd iterations: corvalinth against a plain NumPy implementation.

For each (n_samples, n_features, n_clusters) the same seeded data set is
clustered by both, from the same k-means++ centres, for the same fixed number
of iterations (tol = 0, so no early stop). Reported: seconds per iteration of
each, the ratio NumPy / corvalinth (above 1 means corvalinth is faster), and how
far the two results are apart. They can part ways where a sample is within
rounding of two centres (the NumPy version computes distances through a matrix
product, corvalinth exactly) and where a cluster runs empty (corvalinth moves
its centre onto a randomly drawn sample, the baseline leaves it in place); the
work per iteration is the same either way.

corvalinth's time per iteration is (fit with max_iters=T - fit with
max_iters=0) / T: the k-means++ seeding is timed on its own and taken out.

The NumPy baseline is the usual formulation: squared distances as
||x||^2 - 2 x.c + ||c||^2 with the product done by BLAS in row chunks (||x||^2
is the same for every centre and left out of the argmin), argmin for the labels, per-feature bincount for the centre sums, and the inertia
against the updated centres (as corvalinth reports it). Both use all CPUs.

Run it with OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE unset (`make bench` does):
some machines set them for old OpenBLAS builds, and they slow a current NumPy
down. The BLAS in use and the kernel it picked are printed first.

Usage: python bench/python/baseline_numpy.py [--iters T] [--quick]
"""

from __future__ import annotations

import argparse
import ctypes
import os
import platform
import time

import numpy as np

import corvalinth
from shapes import shape_list

CASES = shape_list("engine")
QUICK_CASES = shape_list("engine-quick")


def blas_description() -> list[str]:
    lines = []
    try:
        blas = np.__config__.CONFIG["Build Dependencies"]["blas"]
        lines.append(f"numpy {np.__version__} built with {blas['name']} {blas['version']}")
    except (AttributeError, KeyError):
        lines.append(f"numpy {np.__version__}")
    with open("/proc/self/maps") as f:
        paths = {line.split()[-1] for line in f if "blas" in line.lower() and "/" in line}
    for path in sorted(paths):
        lines.append(f"  loaded: {path}")
        lib = ctypes.CDLL(path)
        for suffix in ("64_", ""):
            get_config = getattr(lib, "openblas_get_config" + suffix, None)
            get_core = getattr(lib, "openblas_get_corename" + suffix, None)
            get_threads = getattr(lib, "openblas_get_num_threads" + suffix, None)
            if get_config and get_core and get_threads:
                get_config.restype = get_core.restype = ctypes.c_char_p
                lines.append(f"  OpenBLAS config: {get_config().decode()}")
                lines.append(f"  OpenBLAS kernel: {get_core().decode()}, threads: {get_threads()}")
                break
    for name in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE"):
        if name in os.environ:
            lines.append(f"  warning: {name}={os.environ[name]} is set; unset it for this run")
    return lines


def make_data(n: int, d: int, k: int, seed: int = 0) -> np.ndarray:
    rng = np.random.default_rng(seed)
    centres = rng.uniform(-10.0, 10.0, size=(k, d))
    x = rng.normal(size=(n, d))
    x += centres[rng.integers(0, k, size=n)]
    return x


def numpy_lloyd(x: np.ndarray, centres: np.ndarray, iters: int) -> tuple[np.ndarray, float]:
    """`iters` Lloyd iterations from `centres`; returns the centres and the
    inertia of the last iteration (against the updated centres)."""
    n, d = x.shape
    k = centres.shape[0]
    chunk = max(1024, (1 << 22) // k)  # keeps a distance block near 32 MiB
    c = centres.copy()
    labels = np.empty(n, dtype=np.intp)
    columns = np.ascontiguousarray(x.T)  # one contiguous row per feature, for bincount
    inertia = 0.0
    for _ in range(iters):
        c_sq = np.einsum("ij,ij->i", c, c)
        for s in range(0, n, chunk):
            block = x[s:s + chunk] @ c.T
            block *= -2.0
            block += c_sq
            np.argmin(block, axis=1, out=labels[s:s + chunk])
        counts = np.bincount(labels, minlength=k)
        sums = np.empty((k, d))
        for j in range(d):
            sums[:, j] = np.bincount(labels, weights=columns[j], minlength=k)
        nonempty = counts > 0
        c[nonempty] = sums[nonempty] / counts[nonempty, None]  # empty clusters keep their centre
        inertia = 0.0
        for s in range(0, n, chunk):
            diff = x[s:s + chunk] - c[labels[s:s + chunk]]
            inertia += float(np.einsum("ij,ij->", diff, diff))
    return c, inertia


def timed(call) -> tuple[float, object]:
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def run_case(n: int, d: int, k: int, iters: int) -> None:
    x = make_data(n, d, k)
    seeded = corvalinth.KMeans(n_clusters=k, max_iters=0, tol=0.0, random_state=0)
    seed_time, _ = timed(lambda: seeded.fit(x))
    start_centres = seeded.cluster_centers_
    model = corvalinth.KMeans(n_clusters=k, max_iters=iters, tol=0.0, random_state=0)
    fit_time, _ = timed(lambda: model.fit(x))
    assert model.n_iter_ == iters
    ours = (fit_time - seed_time) / iters

    np_time, (np_centres, np_inertia) = timed(lambda: numpy_lloyd(x, start_centres, iters))
    theirs = np_time / iters

    centre_gap = float(np.max(np.abs(np_centres - model.cluster_centers_)))
    inertia_gap = abs(np_inertia - model.inertia_) / model.inertia_
    print(f"{n:>10,} {d:>4} {k:>4} {iters:>5}  {ours:11.4f} {theirs:11.4f} {theirs / ours:7.2f}"
          f"  {seed_time:9.3f}  {centre_gap:9.2e} {inertia_gap:9.2e}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iters", type=int, default=10, help="Lloyd iterations per run (default 10)")
    parser.add_argument("--quick", action="store_true", help="small sizes, for a smoke test")
    args = parser.parse_args()

    print(f"corvalinth {corvalinth.__version__}, Python {platform.python_version()}, "
          f"{len(os.sched_getaffinity(0))} CPUs available")
    for line in blas_description():
        print(line)
    # Start the worker pool before anything is timed.
    corvalinth.KMeans(n_clusters=2, max_iters=1, random_state=0).fit(make_data(1000, 2, 2))

    print(f"\n{'n':>10} {'d':>4} {'k':>4} {'iters':>5}  {'ours s/it':>11} {'numpy s/it':>11} "
          f"{'ratio':>7}  {'seeding s':>9}  {'max |dc|':>9} {'rel dI':>9}")
    for n, d, k in QUICK_CASES if args.quick else CASES:
        run_case(n, d, k, args.iters)
    print("\nratio = numpy / corvalinth seconds per iteration (above 1: corvalinth is faster)")


if __name__ == "__main__":
    main()
