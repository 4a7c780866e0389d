"""corvalinth against scikit-learn and faiss, as a user would compare them.

Every figure is measured in a fresh subprocess of its own engine, on the same
.npy data (np.random.default_rng(0).normal(size=(n, d))); engines and shapes
are interleaved within each repeat, and the best of the repeats is kept.

Figures per shape (n, d, k):
  seeding    corvalinth KMeans(k, max_iters=0) against scikit-learn's
             kmeans_plusplus(..., n_local_trials=1); faiss has no k-means++.
  iteration  the marginal cost of one Lloyd iteration: (best time of 20
             iterations minus best time of 10) / 10, tol=0. scikit-learn (algorithm="lloyd")
             and faiss start from given centres. corvalinth has no way to
             start from given centres, so it runs whole fits with max_iters=10
             and max_iters=20 from the same seed: the seeding is the same in
             both and cancels in the difference.
  fit        a whole 10-iteration fit: corvalinth KMeans(k, max_iters=10,
             tol=0, random_state=0); scikit-learn KMeans(k, max_iter=10, tol=0,
             n_init=1, random_state=0); faiss Kmeans with niter=10 and its own
             initialisation, float32, never subsampling.

faiss's bundled OpenBLAS may not know this processor; the run first times 20
faiss iterations under a few OPENBLAS_CORETYPE values and uses the fastest.
scikit-learn and corvalinth run with OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE
unset.

usage: peers.py --ours-python PY --peers-python PY [--quick] [--repeats R] [--out DIR]
       (peers.py --worker ... is the per-measurement subprocess)
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

FULL_SHAPES = [
    (1_000_000, 16, 64),
    (100_000, 128, 256),
    (5_000_000, 2, 8),
    (200_000, 2, 1000),
    (60_000, 784, 10),
    (200_000, 32, 1024),
    (2_000, 8, 8),
]
QUICK_SHAPES = [
    (50_000, 16, 32),
    (10_000, 128, 64),
    (200_000, 2, 8),
    (20_000, 2, 100),
    (6_000, 784, 10),
    (20_000, 32, 128),
    (2_000, 8, 8),
]
MEASURES = ["seeding", "iteration", "fit"]
ENGINES = ["corvalinth", "sklearn", "faiss"]
SHORT, LONG = 10, 20
CORETYPES = ["", "Haswell", "SkylakeX", "Zen", "Sandybridge"]
# A marginal figure below this share of the long run is mostly noise.
NOISE_SHARE = 0.05


# ---------------------------------------------------------------- worker side

def _blas_info() -> list[dict]:
    try:
        from threadpoolctl import threadpool_info
    except ImportError:
        return []
    keep = ("user_api", "internal_api", "version", "architecture", "num_threads", "threading_layer")
    return [{key: info.get(key) for key in keep} | {"file": Path(info.get("filepath", "")).name}
            for info in threadpool_info()]


def _timed(call) -> float:
    t0 = time.perf_counter()
    call()
    return time.perf_counter() - t0


def _marginal(short_run, long_run) -> dict:
    # The short run twice, around the long one: the first run of a process
    # can pay for first touches of memory.
    short = _timed(short_run)
    long = _timed(long_run)
    short = min(short, _timed(short_run))
    return {"seconds": (long - short) / (LONG - SHORT), "short": short, "long": long}


def _ours(measure: str, x, k: int) -> dict:
    import corvalinth

    def fit(iters: int):
        model = corvalinth.KMeans(n_clusters=k, max_iters=iters, tol=0.0, random_state=0)
        model.fit(x)
        return model

    # Warm-up: module, NumPy table and worker pool.
    warm = x[:10_000]
    corvalinth.KMeans(n_clusters=min(k, warm.shape[0]), max_iters=1, random_state=0).fit(warm)
    if measure == "seeding":
        return {"seconds": _timed(lambda: fit(0))}
    if measure == "fit":
        out = {}
        out["seconds"] = _timed(lambda: out.update(n_iter=fit(SHORT).n_iter_))
        return out
    return _marginal(lambda: fit(SHORT), lambda: fit(LONG))


def _sklearn(measure: str, x, k: int, init) -> dict:
    from sklearn.cluster import KMeans, kmeans_plusplus

    small = x[: min(x.shape[0], 5_000)]
    kmeans_plusplus(small, min(k, small.shape[0]), random_state=0, n_local_trials=1)
    KMeans(min(k, small.shape[0]), max_iter=2, tol=0.0, n_init=1, random_state=0).fit(small)
    if measure == "seeding":
        return {"seconds": _timed(lambda: kmeans_plusplus(x, k, random_state=0, n_local_trials=1))}
    if measure == "fit":
        out = {}

        def run():
            out["n_iter"] = int(KMeans(k, max_iter=SHORT, tol=0.0, n_init=1, random_state=0).fit(x).n_iter_)

        out["seconds"] = _timed(run)
        return out
    runs = {}

    def run(iters):
        runs[iters] = int(KMeans(k, init=init, max_iter=iters, tol=0.0, n_init=1, algorithm="lloyd",
                                 random_state=0).fit(x).n_iter_)

    out = _marginal(lambda: run(SHORT), lambda: run(LONG))
    out["n_iter"] = [runs[SHORT], runs[LONG]]
    return out


def _faiss(measure: str, x, k: int, init) -> dict:
    import faiss
    import numpy as np

    x32 = np.ascontiguousarray(x, dtype=np.float32)
    n, d = x32.shape

    def kmeans(iters):
        return faiss.Kmeans(d, k, niter=iters, seed=0, verbose=False, max_points_per_centroid=n + 1)

    kmeans(2).train(x32[: max(k, min(n, 5_000))])
    if measure == "seeding":
        return {"seconds": None}
    if measure == "fit":
        return {"seconds": _timed(lambda: kmeans(SHORT).train(x32))}
    c32 = np.ascontiguousarray(init, dtype=np.float32)
    return _marginal(lambda: kmeans(SHORT).train(x32, init_centroids=c32),
                     lambda: kmeans(LONG).train(x32, init_centroids=c32))


def worker(engine: str, measure: str, data: str, k: int, init: str) -> None:
    import numpy as np

    x = np.load(data)
    centres = np.load(init) if init else None
    if engine == "corvalinth":
        out = _ours(measure, x, k)
    elif engine == "sklearn":
        out = _sklearn(measure, x, k, centres)
    else:
        out = _faiss(measure, x, k, centres)
    out["blas"] = _blas_info()
    print(json.dumps(out), flush=True)


# ---------------------------------------------------------------- driver side

def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def make_data(shapes, out: Path) -> dict:
    import numpy as np

    out.mkdir(parents=True, exist_ok=True)
    files = {}
    for n, d, k in shapes:
        data = out / f"x_{n}_{d}.npy"
        if not data.exists():
            np.save(data, np.random.default_rng(0).normal(size=(n, d)))
        init = out / f"init_{n}_{d}_{k}.npy"
        if not init.exists():
            x = np.load(data, mmap_mode="r")
            rows = np.sort(np.random.default_rng(1).choice(n, size=k, replace=False))
            np.save(init, np.array(x[rows]))
        files[(n, d, k)] = (str(data), str(init))
    return files


class Runner:
    def __init__(self, ours_python: str, peers_python: str, faiss_coretype: str):
        self.python = {"corvalinth": ours_python, "sklearn": peers_python, "faiss": peers_python}
        self.faiss_coretype = faiss_coretype

    def env(self, engine: str) -> dict:
        env = {key: value for key, value in os.environ.items()
               if key not in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")}
        if engine == "faiss" and self.faiss_coretype:
            env["OPENBLAS_CORETYPE"] = self.faiss_coretype
        return env

    def run(self, engine: str, measure: str, files, k: int) -> dict:
        data, init = files
        cmd = [self.python[engine], os.path.abspath(__file__), "--worker", engine, measure, data, str(k), init]
        proc = subprocess.run(cmd, capture_output=True, text=True, env=self.env(engine))
        if proc.returncode != 0:
            raise RuntimeError(f"{engine} {measure} failed:\n{proc.stderr}")
        return json.loads(proc.stdout.strip().splitlines()[-1])


def choose_faiss_coretype(runner: Runner, files, k: int, repeats: int) -> tuple[str, dict]:
    best: dict[str, float] = {}
    for _ in range(repeats):
        for coretype in CORETYPES:
            runner.faiss_coretype = coretype
            seconds = runner.run("faiss", "iteration", files, k)["long"]
            best[coretype] = min(best.get(coretype, float("inf")), seconds)
    chosen = min(best, key=best.get)
    runner.faiss_coretype = chosen
    return chosen, best


def fmt(seconds) -> str:
    if seconds is None:
        return "-"
    return f"{seconds * 1e3:.1f} ms" if seconds < 1 else f"{seconds:.2f} s"


def ratio(peer, ours) -> str:
    if peer is None or ours is None or ours <= 0:
        return "-"
    return f"{peer / ours:.2f}x"


def plot(results, shapes, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 3, figsize=(18, 5))
    width = 0.27
    for ax, measure in zip(axes, MEASURES):
        for e, engine in enumerate(ENGINES):
            values = [results.get((shape, measure, engine)) for shape in shapes]
            xs = [i + (e - 1) * width for i in range(len(shapes))]
            ax.bar(xs, [v if v and v > 0 else 0 for v in values], width, label=engine)
        ax.set_xticks(range(len(shapes)))
        ax.set_xticklabels([f"{n}\n{d}, {k}" for n, d, k in shapes], fontsize=7)
        ax.set_yscale("log")
        ax.set_ylabel("seconds (best of repeats)")
        ax.set_title({"seeding": "k-means++ seeding", "iteration": "marginal Lloyd iteration",
                      "fit": "whole 10-iteration fit"}[measure])
        ax.legend(fontsize=8)
    fig.suptitle(f"corvalinth vs scikit-learn vs faiss on {cpu_model()}", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--worker", nargs=5, metavar=("ENGINE", "MEASURE", "DATA", "K", "INIT"))
    parser.add_argument("--ours-python", default=sys.executable)
    parser.add_argument("--peers-python", default=sys.executable)
    parser.add_argument("--quick", action="store_true", help="small shapes, for a smoke test")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--out", default=str(Path(__file__).resolve().parent / "out"))
    args = parser.parse_args()
    if args.worker:
        engine, measure, data, k, init = args.worker
        worker(engine, measure, data, int(k), init)
        return

    shapes = QUICK_SHAPES if args.quick else FULL_SHAPES
    out = Path(args.out)
    files = make_data(shapes, out / ("data-quick" if args.quick else "data"))
    print(f"CPU: {cpu_model()} ({os.cpu_count()} logical CPUs)")
    print(f"corvalinth: {args.ours_python}\npeers:      {args.peers_python}")
    print("Each figure: best of", args.repeats, "interleaved runs, each in its own process. The machine may be "
          "shared: single figures can move by tens of per cent between runs.")
    print("corvalinth's marginal iteration is (fit with max_iters=20 minus fit with max_iters=10) / 10 from the "
          "same seed; its seeding is the same in both and cancels.\n")

    runner = Runner(args.ours_python, args.peers_python, "")
    probe = shapes[1]
    chosen, probe_times = choose_faiss_coretype(runner, files[probe], probe[2], 2)
    print(f"faiss OPENBLAS_CORETYPE probe on {probe} (20 iterations from given centres, best of 2): " +
          ", ".join(f"{c or 'unset'} {fmt(t)}" for c, t in probe_times.items()))
    print(f"faiss runs with OPENBLAS_CORETYPE={chosen or '(unset)'}\n")

    results: dict = {}
    extra: dict = {}
    blas: dict = {}
    started = time.monotonic()
    for rep in range(args.repeats):
        for shape in shapes:
            for measure in MEASURES:
                order = ENGINES[rep % 3:] + ENGINES[: rep % 3]
                for engine in order:
                    if engine == "faiss" and measure == "seeding":
                        continue
                    got = runner.run(engine, measure, files[shape], shape[2])
                    key = (shape, measure, engine)
                    seen = extra.setdefault(key, {})
                    for name in ("seconds", "short", "long"):
                        if got.get(name) is not None and got[name] < seen.get(name, float("inf")):
                            seen[name] = got[name]
                    if "n_iter" in got:
                        seen["n_iter"] = got["n_iter"]
                    if "short" in seen:
                        # Best of the 20-iteration runs minus best of the 10-iteration runs.
                        results[key] = (seen["long"] - seen["short"]) / (LONG - SHORT)
                    elif "seconds" in seen:
                        results[key] = seen["seconds"]
                    if got["blas"]:
                        blas[engine] = got["blas"]
        print(f"repeat {rep + 1}/{args.repeats} done after {time.monotonic() - started:.0f} s", flush=True)

    print("\nBLAS seen by threadpoolctl in each engine's process:")
    for engine in ENGINES:
        infos = blas.get(engine)
        if not infos:
            print(f"  {engine}: none")
            continue
        for info in infos:
            print(f"  {engine}: {info['internal_api']} {info['version']} kernels={info['architecture']} "
                  f"threads={info['num_threads']} ({info['file']})")

    print("\nSeconds (best of repeats) and peer / corvalinth ratios (above 1: corvalinth is faster)")
    header = (f"{'(n, d, k)':>22} | {'seed ours':>9} {'sklearn':>9} {'ratio':>6} | {'iter ours':>9} {'sklearn':>9} "
              f"{'faiss32':>9} {'ratios':>13} | {'fit ours':>9} {'sklearn':>9} {'faiss32':>9} {'ratios':>13}")
    print(header)
    print("-" * len(header))
    table = []
    for shape in shapes:
        r = {(m, e): results.get((shape, m, e)) for m in MEASURES for e in ENGINES}
        row = (f"{str(shape):>22} | {fmt(r['seeding', 'corvalinth']):>9} {fmt(r['seeding', 'sklearn']):>9} "
               f"{ratio(r['seeding', 'sklearn'], r['seeding', 'corvalinth']):>6} | "
               f"{fmt(r['iteration', 'corvalinth']):>9} {fmt(r['iteration', 'sklearn']):>9} "
               f"{fmt(r['iteration', 'faiss']):>9} "
               f"{ratio(r['iteration', 'sklearn'], r['iteration', 'corvalinth']):>6} "
               f"{ratio(r['iteration', 'faiss'], r['iteration', 'corvalinth']):>6} | "
               f"{fmt(r['fit', 'corvalinth']):>9} {fmt(r['fit', 'sklearn']):>9} {fmt(r['fit', 'faiss']):>9} "
               f"{ratio(r['fit', 'sklearn'], r['fit', 'corvalinth']):>6} "
               f"{ratio(r['fit', 'faiss'], r['fit', 'corvalinth']):>6}")
        print(row)
        table.append({"shape": shape, **{f"{m}/{e}": v for (m, e), v in r.items()}})
    for key, got in extra.items():
        shape, measure, engine = key
        if measure == "iteration" and got.get("long") and results[key] * (LONG - SHORT) < NOISE_SHARE * got["long"]:
            print(f"note: {engine} {shape}: the marginal iteration is under {NOISE_SHARE:.0%} of its 20-iteration "
                  f"run ({fmt(got['long'])}); read it as noise-bound")
        if engine == "sklearn" and "n_iter" in got and got["n_iter"] not in (SHORT, [SHORT, LONG]):
            print(f"note: sklearn {shape} {measure} ran {got['n_iter']} iterations (it stops when no label changes)")

    out.mkdir(parents=True, exist_ok=True)
    png = out / ("peers-quick.png" if args.quick else "peers.png")
    plot(results, shapes, png)
    (out / ("peers-quick.json" if args.quick else "peers.json")).write_text(json.dumps(
        {"cpu": cpu_model(), "faiss_coretype": chosen, "blas": blas, "rows": table}, indent=1))
    print(f"\nchart: {png}")


if __name__ == "__main__":
    main()
