"""Checks that two builds of corvalinth give bit-identical results.

Each build runs in subprocesses of its own (it is imported from the directory
given, or from the interpreter's environment for "installed"), once per worker
count, over the same cases: many seeds, shapes (some large enough for every
parallel pass), memory layouts and data with special values. For every case
the child records digests of cluster_centers_, the fit_predict labels and
n_iter_; all runs must agree with the first one. tol = 0 throughout, so the
iteration count does not depend on the last bits of the parallel inertia.

usage: tools/compare_modules.py OLD_DIR NEW_DIR [--threads 1,2,3,8] [--quick]
       (a directory "installed" means the module installed in this interpreter)
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import subprocess
import sys

CHILD = r"""
import hashlib, json, sys
import numpy as np
import corvalinth

def data(kind, n, d, seed):
    rng = np.random.default_rng(seed)
    if kind == "normal":
        return rng.normal(size=(n, d))
    if kind == "blobs":
        centres = rng.normal(scale=20.0, size=(max(2, n // 500), d))
        return centres[rng.integers(0, len(centres), size=n)] + rng.normal(size=(n, d))
    if kind == "regions":
        # Blobs in runs of one source (mean length 4), as pixels of a picture
        # in raster order: labels repeat from one sample to the next.
        centres = rng.normal(scale=20.0, size=(max(2, n // 500), d))
        source = rng.integers(0, len(centres), size=n)
        start = np.maximum.accumulate(np.where(rng.random(n) < 0.25, np.arange(n), 0))
        return centres[source[start]] + rng.normal(size=(n, d))
    if kind == "few":
        points = rng.normal(size=(5, d))
        return points[rng.integers(0, 5, size=n)]
    if kind == "huge":
        return rng.normal(size=(n, d)) * 1e153
    if kind == "tiny":
        return rng.normal(size=(n, d)) * 1e-160
    if kind == "nan":
        x = rng.normal(size=(n, d))
        x[rng.integers(0, n, size=3), 0] = np.nan
        return x
    raise ValueError(kind)

def layout(x, name):
    if name == "C":
        return x
    if name == "F":
        return np.asfortranarray(x)
    if name == "reversed":
        return np.ascontiguousarray(x[::-1])[::-1]
    if name == "strided":
        wide = np.zeros((x.shape[0], 2 * x.shape[1]))
        wide[:, ::2] = x
        return wide[:, ::2]
    if name == "negcols":
        return np.ascontiguousarray(x[:, ::-1])[:, ::-1]
    raise ValueError(name)

def digest(a):
    return hashlib.sha256(np.ascontiguousarray(a).tobytes()).hexdigest()[:16]

out = {}
for case in json.loads(sys.argv[1]):
    kind, n, d, k, iters, seed, lay = case
    x = layout(data(kind, n, d, seed), lay)
    model = corvalinth.KMeans(n_clusters=k, max_iters=iters, tol=0.0, random_state=seed)
    labels = model.fit_predict(x)
    out[json.dumps(case)] = [digest(model.cluster_centers_), digest(labels), int(model.n_iter_)]
print(json.dumps(out))
"""


def cases(quick: bool) -> list:
    out = []
    shapes = [(300, 2, 5), (3_000, 4, 3), (2_000, 8, 8), (5_000, 3, 40), (20_000, 16, 64), (4_000, 40, 33),
              (3_000, 130, 12), (20_000, 2, 300)]
    if not quick:
        shapes += [(200_000, 2, 64), (50_000, 3, 4), (60_000, 32, 128), (20_000, 784, 10), (1_800, 64, 10),
                   (30_000, 24, 6)]
    kinds = ["normal", "blobs", "regions", "few", "huge", "tiny", "nan"]
    layouts = ["C", "F", "reversed", "strided", "negcols"]
    i = 0
    for n, d, k in shapes:
        for kind in kinds:
            for seed in (0, 1) if quick else (0, 1, 2):
                lay = layouts[i % len(layouts)]
                # 30 iterations: samples keep labels on carried bounds.
                iters = [0, 1, 5, 30][i % 4]
                out.append([kind, n, d, k, iters, seed, lay])
                i += 1
    return out


def run(module_dir: str, threads: int, case_list: list) -> dict:
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    if module_dir != "installed":
        env["PYTHONPATH"] = os.path.abspath(module_dir)
    proc = subprocess.run([sys.executable, "-c", CHILD, json.dumps(case_list)], capture_output=True, text=True,
                          env=env, cwd="/")
    if proc.returncode != 0:
        raise SystemExit(f"{module_dir} with {threads} workers failed:\n{proc.stderr}")
    return json.loads(proc.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("old")
    parser.add_argument("new")
    parser.add_argument("--threads", default="1,2,3,8")
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    case_list = cases(args.quick)
    runs = {}
    for threads in [int(t) for t in args.threads.split(",")]:
        for name, where in (("old", args.old), ("new", args.new)):
            runs[f"{name} T={threads}"] = run(where, threads, case_list)
    first_name, first = next(iter(runs.items()))
    differences = 0
    for name, got in runs.items():
        for case, value in got.items():
            if value != first[case]:
                differences += 1
                print(f"DIFFERENT {name} vs {first_name}: {case}: {value} vs {first[case]}")
    total = hashlib.sha256(json.dumps(first, sort_keys=True).encode()).hexdigest()[:16]
    print(f"{len(case_list)} cases x {len(runs)} runs ({', '.join(runs)}): {differences} differences "
          f"(digest of all results {total})")
    sys.exit(1 if differences else 0)


if __name__ == "__main__":
    main()
