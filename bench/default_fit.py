"""Default fits on clustered data: corvalinth against scikit-learn, as a user
would call them.

For each shape (n, d, k) the data are blobs with k true clusters (centres
uniform in [-10, 10]^d, unit Gaussian noise, np.random.default_rng(0)), the
same .npy file for both engines. Each engine fits with its defaults in a fresh
subprocess of its own: corvalinth KMeans(n_clusters=k, random_state=0)
(tol=1e-4 on the change of inertia, max_iters=300) and scikit-learn
KMeans(n_clusters=k, random_state=0) (k-means++, one initialisation, tol=1e-4
relative to the data's variance, max_iter=300). Engines and shapes are
interleaved within each repeat and the best of the repeats is kept; the
iteration count of each engine is printed next to its time.

usage: default_fit.py --ours-python PY --peers-python PY [--quick] [--repeats R] [--out DIR]
       (default_fit.py --worker ... is the per-measurement subprocess)
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

from peers import FULL_SHAPES, QUICK_SHAPES, cpu_model

ENGINES = ["corvalinth", "sklearn"]


def worker(engine: str, data: str, k: int) -> None:
    import numpy as np

    x = np.load(data)
    warm = x[: min(x.shape[0], 5_000)]
    if engine == "corvalinth":
        import corvalinth

        corvalinth.KMeans(n_clusters=min(k, warm.shape[0]), max_iters=2, random_state=0).fit(warm)
        model = corvalinth.KMeans(n_clusters=k, random_state=0)
    else:
        from sklearn.cluster import KMeans

        KMeans(min(k, warm.shape[0]), max_iter=2, random_state=0).fit(warm)
        model = KMeans(n_clusters=k, random_state=0)
    t0 = time.perf_counter()
    model.fit(x)
    seconds = time.perf_counter() - t0
    print(json.dumps({"seconds": seconds, "n_iter": int(model.n_iter_)}), flush=True)


def make_blobs(shapes, out: Path) -> dict:
    import numpy as np

    out.mkdir(parents=True, exist_ok=True)
    files = {}
    for n, d, k in shapes:
        path = out / f"blobs_{n}_{d}_{k}.npy"
        if not path.exists():
            rng = np.random.default_rng(0)
            centres = rng.uniform(-10.0, 10.0, size=(k, d))
            np.save(path, centres[rng.integers(0, k, size=n)] + rng.normal(size=(n, d)))
        files[(n, d, k)] = str(path)
    return files


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        worker(sys.argv[2], sys.argv[3], int(sys.argv[4]))
        return
    parser = argparse.ArgumentParser()
    parser.add_argument("--ours-python", required=True)
    parser.add_argument("--peers-python", required=True)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--out", default=str(Path(__file__).resolve().parent / "out"))
    args = parser.parse_args()

    shapes = QUICK_SHAPES if args.quick else FULL_SHAPES
    files = make_blobs(shapes, Path(args.out) / ("blobs-quick" if args.quick else "blobs"))
    python = {"corvalinth": args.ours_python, "sklearn": args.peers_python}
    env = {key: value for key, value in os.environ.items() if key not in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")}
    print(f"CPU: {cpu_model()} ({os.cpu_count()} logical CPUs)")
    print(f"Default fits on blobs with k true clusters; best of {args.repeats} interleaved runs, "
          "each in its own process.")
    best: dict = {}
    started = time.monotonic()
    for rep in range(args.repeats):
        for shape in shapes:
            for engine in ENGINES:
                cmd = [python[engine], os.path.abspath(__file__), "--worker", engine, files[shape], str(shape[2])]
                proc = subprocess.run(cmd, capture_output=True, text=True, env=env)
                if proc.returncode != 0:
                    raise RuntimeError(f"{engine} {shape} failed:\n{proc.stderr}")
                got = json.loads(proc.stdout.strip().splitlines()[-1])
                key = (shape, engine)
                if key not in best or got["seconds"] < best[key]["seconds"]:
                    best[key] = got
        print(f"repeat {rep + 1}/{args.repeats} done after {time.monotonic() - started:.0f} s", flush=True)

    print("\nDefault fit on blobs: seconds (iterations), best of repeats; ratio above 1: corvalinth is faster")
    print(f"{'(n, d, k)':>22} | {'corvalinth':>16} | {'scikit-learn':>16} | ratio")
    rows = []
    for shape in shapes:
        ours, peer = best[(shape, "corvalinth")], best[(shape, "sklearn")]
        ratio = peer["seconds"] / ours["seconds"]
        rows.append({"shape": shape, "corvalinth": ours, "sklearn": peer, "ratio": ratio})
        print(f"{str(shape):>22} | {ours['seconds']:9.3f} s ({ours['n_iter']:3d}) | "
              f"{peer['seconds']:9.3f} s ({peer['n_iter']:3d}) | {ratio:6.2f}x")
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    (out / ("default-fit-quick.json" if args.quick else "default-fit.json")).write_text(json.dumps(rows, indent=1))


if __name__ == "__main__":
    main()
