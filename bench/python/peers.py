"""corvalinth against scikit-learn and faiss, as a user would compare them.

Every figure is measured in a fresh subprocess of its own engine, on the same
.npy data (np.random.default_rng(0).normal(size=(n, d))); engines and shapes
are interleaved within each repeat, and the best of the repeats is kept. A
call under 5 ms is timed again within its process for a quarter of a second
and its best call kept (harness.timed_best), for every engine alike.

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

The tables go into bench/results/peers.md (with peers.json and the chart
peers.png), stamped with the commit, the date, the machine and the library
versions; --quick runs the [quick] shapes of bench/shapes.txt and writes
bench/out/peers-quick.* instead.

usage: bench/python/peers.py --ours-python PY --peers-python PY [--quick] [--repeats R] [--out DIR] [--results DIR]
       (peers.py --worker ... is the per-measurement subprocess)
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from pathlib import Path

import report
from harness import (blas_info, engine_env, fmt_ratio, fmt_seconds, marginal, rotated, run_worker, timed_best,
                     warm_up_corvalinth)
from shapes import shape_list

FULL_SHAPES = shape_list("full")
QUICK_SHAPES = shape_list("quick")
MEASURES = ["seeding", "iteration", "fit"]
ENGINES = ["corvalinth", "sklearn", "faiss"]
SHORT, LONG = 10, 20
CORETYPES = ["", "Haswell", "SkylakeX", "Zen", "Sandybridge"]
# A marginal figure below this share of the long run is mostly noise.
NOISE_SHARE = 0.05


# ---------------------------------------------------------------- worker side

def _ours(measure: str, x, k: int) -> dict:
    import corvalinth

    def fit(iters: int):
        model = corvalinth.KMeans(n_clusters=k, max_iters=iters, tol=0.0, random_state=0)
        model.fit(x)
        return model

    warm_up_corvalinth(x, k)
    if measure == "seeding":
        return {"seconds": timed_best(lambda: fit(0))}
    if measure == "fit":
        out = {}
        out["seconds"] = timed_best(lambda: out.update(n_iter=fit(SHORT).n_iter_))
        return out
    return marginal(lambda: fit(SHORT), lambda: fit(LONG), SHORT, LONG, timer=timed_best)


def _sklearn(measure: str, x, k: int, init) -> dict:
    from sklearn.cluster import KMeans, kmeans_plusplus

    small = x[: min(x.shape[0], 5_000)]
    kmeans_plusplus(small, min(k, small.shape[0]), random_state=0, n_local_trials=1)
    KMeans(min(k, small.shape[0]), max_iter=2, tol=0.0, n_init=1, random_state=0).fit(small)
    if measure == "seeding":
        return {"seconds": timed_best(lambda: kmeans_plusplus(x, k, random_state=0, n_local_trials=1))}
    if measure == "fit":
        out = {}

        def run():
            out["n_iter"] = int(KMeans(k, max_iter=SHORT, tol=0.0, n_init=1, random_state=0).fit(x).n_iter_)

        out["seconds"] = timed_best(run)
        return out
    runs = {}

    def run(iters):
        runs[iters] = int(KMeans(k, init=init, max_iter=iters, tol=0.0, n_init=1, algorithm="lloyd",
                                 random_state=0).fit(x).n_iter_)

    out = marginal(lambda: run(SHORT), lambda: run(LONG), SHORT, LONG, timer=timed_best)
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
        return {"seconds": timed_best(lambda: kmeans(SHORT).train(x32))}
    c32 = np.ascontiguousarray(init, dtype=np.float32)
    return marginal(lambda: kmeans(SHORT).train(x32, init_centroids=c32),
                    lambda: kmeans(LONG).train(x32, init_centroids=c32), SHORT, LONG, timer=timed_best)


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
    out["blas"] = blas_info()
    print(json.dumps(out), flush=True)


# ---------------------------------------------------------------- driver side

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

    def run(self, engine: str, measure: str, files, k: int) -> dict:
        data, init = files
        cmd = [self.python[engine], os.path.abspath(__file__), "--worker", engine, measure, data, str(k), init]
        env = engine_env(self.faiss_coretype if engine == "faiss" else "")
        return run_worker(cmd, env, f"{engine} {measure}")


def choose_faiss_coretype(runner: Runner, files, k: int, repeats: int) -> tuple[str, dict]:
    """The fastest core type; one that fails (kernels this processor cannot
    run end in an illegal instruction) is left out, its time None."""
    best: dict[str, float | None] = {}
    for _ in range(repeats):
        for coretype in CORETYPES:
            if coretype in best and best[coretype] is None:
                continue
            runner.faiss_coretype = coretype
            try:
                seconds = runner.run("faiss", "iteration", files, k)["long"]
            except RuntimeError:
                best[coretype] = None
                continue
            best[coretype] = min(best.get(coretype) or float("inf"), seconds)
    chosen = min((c for c in best if best[c] is not None), key=best.get)
    runner.faiss_coretype = chosen
    return chosen, best


def describe_probe(probe_times: dict) -> str:
    return ", ".join(f"{c or 'unset'} {fmt_seconds(t) if t else 'failed'}" for c, t in probe_times.items())


def plot(results, shapes):
    plt = report.pyplot()
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
    fig.suptitle(f"corvalinth vs scikit-learn vs faiss on {report.cpu_model()}", fontsize=10)
    fig.tight_layout()
    return fig


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--worker", nargs=5, metavar=("ENGINE", "MEASURE", "DATA", "K", "INIT"))
    parser.add_argument("--ours-python", default=sys.executable)
    parser.add_argument("--peers-python", default=sys.executable)
    parser.add_argument("--quick", action="store_true", help="small shapes, for a smoke test")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--out", default=str(report.SCRATCH), help="where the data files go (default bench/out)")
    parser.add_argument("--results", help="where the results go (default bench/results, with --quick bench/out)")
    args = parser.parse_args()
    if args.worker:
        engine, measure, data, k, init = args.worker
        worker(engine, measure, data, int(k), init)
        return

    shapes = QUICK_SHAPES if args.quick else FULL_SHAPES
    out = Path(args.out)
    files = make_data(shapes, out / ("data-quick" if args.quick else "data"))
    run_stamp = report.stamp(args.ours_python, args.peers_python)
    print(f"CPU: {report.cpu_model()} ({os.cpu_count()} logical CPUs)")
    print(f"corvalinth: {args.ours_python}\npeers:      {args.peers_python}")
    print("Each figure: best of", args.repeats, "interleaved runs, each in its own process. The machine may be "
          "shared: single figures can move by tens of per cent between runs.")
    print("corvalinth's marginal iteration is (fit with max_iters=20 minus fit with max_iters=10) / 10 from the "
          "same seed; its seeding is the same in both and cancels.\n")

    runner = Runner(args.ours_python, args.peers_python, "")
    probe = shapes[1]
    chosen, probe_times = choose_faiss_coretype(runner, files[probe], probe[2], 2)
    print(f"faiss OPENBLAS_CORETYPE probe on {probe} (20 iterations from given centres, best of 2): " +
          describe_probe(probe_times))
    print(f"faiss runs with OPENBLAS_CORETYPE={chosen or '(unset)'}\n")

    results: dict = {}
    extra: dict = {}
    blas: dict = {}
    started = time.monotonic()
    for rep in range(args.repeats):
        for shape in shapes:
            for measure in MEASURES:
                for engine in rotated(ENGINES, rep):
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

    blas_lines = report.describe_blas({engine: blas.get(engine) for engine in ENGINES})
    print("\nBLAS seen by threadpoolctl in each engine's process:")
    for line in blas_lines or ["none"]:
        print(f"  {line}")

    print("\nSeconds (best of repeats) and peer / corvalinth ratios (above 1: corvalinth is faster)")
    header = (f"{'(n, d, k)':>22} | {'seed ours':>9} {'sklearn':>9} {'ratio':>6} | {'iter ours':>9} {'sklearn':>9} "
              f"{'faiss32':>9} {'ratios':>13} | {'fit ours':>9} {'sklearn':>9} {'faiss32':>9} {'ratios':>13}")
    print(header)
    print("-" * len(header))
    table, md_rows = [], []
    for shape in shapes:
        r = {(m, e): results.get((shape, m, e)) for m in MEASURES for e in ENGINES}
        f = {key: fmt_seconds(value) for key, value in r.items()}
        vs_ours = {(m, e): fmt_ratio(r[m, e], r[m, "corvalinth"]) for m in MEASURES for e in ENGINES}
        print(f"{str(shape):>22} | {f['seeding', 'corvalinth']:>9} {f['seeding', 'sklearn']:>9} "
              f"{vs_ours['seeding', 'sklearn']:>6} | {f['iteration', 'corvalinth']:>9} {f['iteration', 'sklearn']:>9} "
              f"{f['iteration', 'faiss']:>9} {vs_ours['iteration', 'sklearn']:>6} {vs_ours['iteration', 'faiss']:>6} | "
              f"{f['fit', 'corvalinth']:>9} {f['fit', 'sklearn']:>9} {f['fit', 'faiss']:>9} "
              f"{vs_ours['fit', 'sklearn']:>6} {vs_ours['fit', 'faiss']:>6}")
        n, d, k = shape
        md_rows.append([f"{n:,}, {d}, {k}",
                        f"{f['seeding', 'corvalinth']} / {f['seeding', 'sklearn']} ({vs_ours['seeding', 'sklearn']})",
                        f"{f['iteration', 'corvalinth']} / {f['iteration', 'sklearn']} / {f['iteration', 'faiss']} "
                        f"({vs_ours['iteration', 'sklearn']}, {vs_ours['iteration', 'faiss']})",
                        f"{f['fit', 'corvalinth']} / {f['fit', 'sklearn']} / {f['fit', 'faiss']} "
                        f"({vs_ours['fit', 'sklearn']}, {vs_ours['fit', 'faiss']})"])
        table.append({"shape": shape, **{f"{m}/{e}": v for (m, e), v in r.items()}})
    notes = []
    for key, got in extra.items():
        shape, measure, engine = key
        if measure == "iteration" and got.get("long") and results[key] * (LONG - SHORT) < NOISE_SHARE * got["long"]:
            notes.append(f"{engine} {shape}: the marginal iteration is under {NOISE_SHARE:.0%} of its 20-iteration "
                         f"run ({fmt_seconds(got['long'])}); read it as noise-bound")
        if engine == "sklearn" and "n_iter" in got and got["n_iter"] not in (SHORT, [SHORT, LONG]):
            notes.append(f"sklearn {shape} {measure} ran {got['n_iter']} iterations (it stops when no label changes)")
    for note in notes:
        print(f"note: {note}")

    run_stamp["blas"] = blas_lines
    run_stamp["notes"] = [f"faiss ran with OPENBLAS_CORETYPE={chosen or '(unset)'}, the fastest in a probe of "
                          + describe_probe(probe_times)]
    body = "\n\n".join([
        f"Seconds, best of {args.repeats} interleaved runs, each engine in its own process, on "
        "`np.random.default_rng(0).normal(size=(n, d))`; in brackets scikit-learn / corvalinth and "
        "faiss / corvalinth (above 1: corvalinth is faster). Seeding: k-means++; iteration: the marginal cost "
        f"of a Lloyd iteration ({LONG} iterations minus {SHORT}); fit: a whole {SHORT}-iteration fit "
        "(faiss in float32 from random samples). The method is in `bench/python/peers.py`.",
        report.markdown_table(["(n, d, k)", "seeding: ours / scikit-learn", "iteration: ours / scikit-learn / faiss",
                               f"{SHORT}-iteration fit: ours / scikit-learn / faiss"], md_rows),
        "\n".join(f"- {note}" for note in notes)])
    directory, suffix = report.output_dir(args.quick, args.results)
    md = report.write_results(directory, "peers" + suffix, "corvalinth, scikit-learn and faiss: seeding, "
                              "iteration, fit", run_stamp,
                              body, {"faiss_coretype": chosen, "faiss_probe": probe_times, "blas": blas, "rows": table},
                              plot(results, shapes))
    print(f"\nresults: {md} (with its .json and .png)")


if __name__ == "__main__":
    main()
