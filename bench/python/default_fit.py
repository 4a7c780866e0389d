"""Default fits, as users run them: corvalinth, scikit-learn and faiss, each
with its defaults, on blobs and on real data that packages ship; speed and
quality side by side, and our late iteration against a streaming read of the
samples.

Data sets. This driver runs in the peers' environment and writes each data set
once to a .npy file (bench/out/default-fit/); every engine's process loads it
from there, so our engine's process imports neither scikit-image nor
scikit-learn.
  blobs      the shapes of list [full] of bench/shapes.txt ([quick] with
             --quick): k true clusters, centres uniform in [-10, 10]^d, unit
             Gaussian noise, np.random.default_rng(0); fitted with k clusters
  astronaut  colour quantisation, k = 16: skimage.data.astronaut() (512 x 512
             RGB), one sample per pixel, its uint8 values divided by 255 as in
             scikit-learn's colour-quantisation example
  hubble     the same, k = 64, for skimage.data.hubble_deep_field() (872 x 1000
             RGB); both pictures ship in the scikit-image wheel. A picture that
             cannot be loaded is skipped with a message, never replaced.
  digits     sklearn.datasets.load_digits().data (1,797 x 64, values 0 to 16
             as shipped), k = 10
  penguins   the tiny fit: the Palmer penguins of examples/data/penguins.csv,
             the 342 birds with all four measurements, each measurement
             standardised (mean 0, population standard deviation 1), k = 3
With --quick the pictures keep every 4th pixel of every 4th row.

Engines, each with its defaults, each fit in a fresh process of its own:
  corvalinth    KMeans(n_clusters=k, random_state=0): k-means++, max_iters=300,
                tol=1e-4 on the absolute change of inertia
  scikit-learn  KMeans(n_clusters=k, random_state=0): k-means++ (greedy, several
                local trials), one initialisation, max_iter=300, tol=1e-4 relative
                to the data's variance, Lloyd iterations
  faiss         faiss.Kmeans(d, k): its defaults (faiss-cpu 1.15.1): niter=25
                iterations at most (it stops earlier once its objective stays
                the same; the count shown is the number of objective values it
                recorded), nredo=1, seed=1234, random samples as initial
                centres, float32, and max_points_per_centroid=256: on more
                than 256 k samples it trains on a random subsample of 256 k
                (min_points_per_centroid=39 only warns). The timed call
                converts the float64 samples to float32 and trains. The JSON
                records the ClusteringParameters the run had.

Figures per data set:
  seconds (iterations)  wall time of the fit, best of the repeats; a fit
            under 5 ms is timed again within its process for a quarter of a
            second and the best call is kept (harness.timed_best), for every
            engine alike
  inertia   one yardstick for every engine: the exact float64 inertia of the
            engine's final centres over all samples, each sample to its
            nearest centre (computed here with NumPy, see exact_inertia);
            shown relative to the best of the three
  floor     one streaming read of the samples: x.sum() over the whole array
            (NumPy, one core), best of 5, in our engine's environment;
            samples that fit in the processor's caches are read from there,
            so small data sets show large multiples of it
  late iteration  our iterations in the second half of the default fit:
            (fit with max_iters=N, tol=0 minus fit with max_iters=N//2, tol=0)
            / (N - N//2), same seed, N = our default fit's n_iter_ (at least
            2), short fits timed as above; in ms and as a multiple of the floor
Measurements are interleaved within each repeat (engines in a rotating
order); the best of the repeats is kept.

The table goes into bench/results/default-fit.md (with default-fit.json and the
chart default-fit.png); --quick writes bench/out/default-fit-quick.* instead.

usage: bench/python/default_fit.py --ours-python PY --peers-python PY [--quick] [--repeats R]
           [--faiss-coretype NAME] [--out DIR] [--results DIR]
       (default_fit.py --worker ... is the per-measurement subprocess)
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import time
from dataclasses import dataclass
from pathlib import Path

import report
from harness import (blas_info, engine_env, fmt_ratio, fmt_seconds, marginal, penguins, rotated, run_worker,
                     timed, timed_best, warm_up_corvalinth)
from shapes import shape_list

ENGINES = ["corvalinth", "sklearn", "faiss"]
NAMES = {"corvalinth": "corvalinth", "sklearn": "scikit-learn", "faiss": "faiss"}
PICTURES = [("astronaut", 16), ("hubble_deep_field", 64)]
QUICK_STEP = 4
FLOOR_READS = 5
# A late iteration whose total is below this share of the long fit is mostly noise.
NOISE_SHARE = 0.05


# ---------------------------------------------------------------- worker side

def _fit_corvalinth(x, k: int):
    import corvalinth

    warm_up_corvalinth(x, k)
    model = corvalinth.KMeans(n_clusters=k, random_state=0)
    seconds = timed_best(lambda: model.fit(x))
    out = {"seconds": seconds, "n_iter": int(model.n_iter_), "own_inertia": model.inertia_}
    return out, model.cluster_centers_


def _fit_sklearn(x, k: int):
    from sklearn.cluster import KMeans

    warm = x[:5_000]
    KMeans(min(k, warm.shape[0]), max_iter=2, random_state=0).fit(warm)
    model = KMeans(n_clusters=k, random_state=0)
    seconds = timed_best(lambda: model.fit(x))
    out = {"seconds": seconds, "n_iter": int(model.n_iter_), "own_inertia": float(model.inertia_)}
    return out, model.cluster_centers_


def _fit_faiss(x, k: int):
    import faiss
    import numpy as np

    d = x.shape[1]
    faiss.Kmeans(d, k, niter=2).train(np.ascontiguousarray(x[: max(5_000, 39 * k)], dtype=np.float32))
    km = faiss.Kmeans(d, k)
    seconds = timed_best(lambda: km.train(np.ascontiguousarray(x, dtype=np.float32)))
    objective = list(km.obj) if km.obj is not None else []
    params = {name: getattr(km.cp, name) for name in dir(km.cp)
              if not name.startswith("_") and isinstance(getattr(km.cp, name), (bool, int, float))}
    out = {"seconds": seconds, "n_iter": len(objective) or int(km.cp.niter),
           "own_inertia": float(objective[-1]) if objective else None, "faiss_parameters": params}
    return out, km.centroids


FITS = {"corvalinth": _fit_corvalinth, "sklearn": _fit_sklearn, "faiss": _fit_faiss}


def _late(x, k: int, n_iter: int) -> dict:
    import corvalinth

    warm_up_corvalinth(x, k)
    half = n_iter // 2

    def fit(iters: int):
        corvalinth.KMeans(n_clusters=k, max_iters=iters, tol=0.0, random_state=0).fit(x)

    return marginal(lambda: fit(half), lambda: fit(n_iter), half, n_iter, timer=timed_best)


def _floor(x) -> dict:
    flat = x.reshape(-1)
    flat.sum()
    return {"seconds": min(timed(flat.sum) for _ in range(FLOOR_READS))}


def worker(args: list[str]) -> None:
    import numpy as np

    measure, data = args[0], args[1]
    x = np.load(data)
    if measure == "fit":
        engine, k, centres_path = args[2], int(args[3]), args[4]
        out, centres = FITS[engine](x, k)
        np.save(centres_path, np.asarray(centres, dtype=np.float64))
    elif measure == "late":
        out = _late(x, int(args[2]), int(args[3]))
    else:
        out = _floor(x)
    out["blas"] = blas_info()
    print(json.dumps(out), flush=True)


# ---------------------------------------------------------------- driver side

@dataclass
class DataSet:
    name: str
    label: str
    k: int
    path: Path
    n: int = 0
    d: int = 0


def _save(x, path: Path) -> None:
    import numpy as np

    np.save(path, np.ascontiguousarray(x, dtype=np.float64))


def make_data(quick: bool, out: Path) -> tuple[list[DataSet], list[str]]:
    """Writes the data sets that are missing; returns them and the notes on the
    ones that could not be made."""
    import numpy as np

    out.mkdir(parents=True, exist_ok=True)
    sets, notes = [], []
    for n, d, k in shape_list("quick" if quick else "full"):
        ds = DataSet(f"blobs_{n}_{d}_{k}", "blobs", k, out / f"blobs_{n}_{d}_{k}.npy")
        if not ds.path.exists():
            rng = np.random.default_rng(0)
            centres = rng.uniform(-10.0, 10.0, size=(k, d))
            _save(centres[rng.integers(0, k, size=n)] + rng.normal(size=(n, d)), ds.path)
        sets.append(ds)
    step = QUICK_STEP if quick else 1
    for picture, k in PICTURES:
        label = f"{picture} pixels" + (f" (1 in {step * step})" if quick else "")
        ds = DataSet(picture, label, k, out / f"{picture}.npy")
        if not ds.path.exists():
            try:
                import skimage.data

                rgb = getattr(skimage.data, picture)()
            except Exception as error:  # a picture the package would fetch, and the network refused
                notes.append(f"{picture} skipped: scikit-image could not load it ({type(error).__name__}: {error})")
                continue
            _save(rgb[::step, ::step].reshape(-1, 3) / 255.0, ds.path)
        sets.append(ds)
    ds = DataSet("digits", "digits", 10, out / "digits.npy")
    if not ds.path.exists():
        from sklearn.datasets import load_digits

        _save(load_digits().data, ds.path)
    sets.append(ds)
    ds = DataSet("penguins", "penguins", 3, out / "penguins.npy")
    if not ds.path.exists():
        _save(penguins(), ds.path)
    sets.append(ds)
    for ds in sets:
        ds.n, ds.d = np.load(ds.path, mmap_mode="r").shape
    return sets, notes


def exact_inertia(x, centres) -> float:
    """Sum over all samples of the squared distance to the nearest centre, each
    distance summed directly over (x_j - c_j)^2 in float64 (no expansion).

    The nearest centre is found without measuring every distance directly. The
    expanded form E = |x|^2 - 2 x.c + |c|^2 through BLAS, in any summation order,
    with or without fused multiply-adds, is within
        B = (d + 4) u (|x| + |c|)^2,  u = 2^-53,
    of the true squared distance D: each of the three dot products of length d
    is off by at most gamma_d = d u / (1 - d u) times the sum of its absolute
    products, which is at most |x|^2, |x| |c| and |c|^2 (Cauchy-Schwarz), and
    the two additions add at most u each of (|x| + |c|)^2 (to first order; the
    factor 2 below covers the second-order terms and the rounding of B itself).
    The direct float64 sum G is within (d + 3) u D <= (d + 3) u (|x| + |c|)^2
    of D. So |E - G| <= 2 (2 d + 7) u (|x| + |c|)^2 =: M per sample, taking |c|
    as the largest centre norm. If centre j has the smallest G, then for every
    centre i, E_j <= G_j + M <= G_i + M <= E_i + 2 M: every centre with
    E_j <= min E + 2 M is a candidate, and the smallest G among the candidates
    is the smallest G of all. Most samples have one candidate."""
    import numpy as np

    n, d = x.shape
    k = centres.shape[0]
    c_sq = np.einsum("ij,ij->i", centres, centres)
    c_norm_max = math.sqrt(float(c_sq.max()))
    u = 2.0**-53
    chunk = max(256, (1 << 22) // k)
    nearest = []
    for s in range(0, n, chunk):
        xs = x[s:s + chunk]
        x_sq = np.einsum("ij,ij->i", xs, xs)
        e = xs @ centres.T
        e *= -2.0
        e += x_sq[:, None]
        e += c_sq[None, :]
        margin = 2.0 * (2 * d + 7) * u * (np.sqrt(x_sq) + c_norm_max) ** 2
        best = e.argmin(axis=1)
        candidates = e <= (e[np.arange(len(xs)), best] + 2.0 * margin)[:, None]
        diff = xs - centres[best]
        dist = np.einsum("ij,ij->i", diff, diff)
        several = np.flatnonzero(np.count_nonzero(candidates, axis=1) > 1)
        if several.size:
            rows = xs[several]
            for j in np.flatnonzero(candidates[several].any(axis=0)):
                on = candidates[several, j]
                diff = rows[on] - centres[j]
                dist[several[on]] = np.minimum(dist[several[on]], np.einsum("ij,ij->i", diff, diff))
        nearest.append(dist)
    return math.fsum(np.concatenate(nearest))


def faiss_coretype(given: str | None, directory: Path, suffix: str) -> tuple[str, str]:
    """The OPENBLAS_CORETYPE faiss runs with: the one given, else the one the
    peers benchmark chose in the same results directory, else none."""
    if given is not None:
        return ("" if given == "unset" else given), "given on the command line"
    peers = directory / f"peers{suffix}.json"
    try:
        return json.loads(peers.read_text())["faiss_coretype"], f"chosen by the peers benchmark ({peers.name})"
    except (OSError, KeyError, ValueError):
        return "", "no peers results to take it from"


def plot(sets: list[DataSet], best: dict, late: dict, floor: dict):
    plt = report.pyplot()
    fig, (left, right) = plt.subplots(1, 2, figsize=(16, 5.5), gridspec_kw={"width_ratios": [3, 2]})
    names = [f"{ds.label.split(' (')[0]}\n{ds.n:,} x {ds.d}, k={ds.k}" for ds in sets]
    width = 0.27
    for e, engine in enumerate(ENGINES):
        values = [best.get((ds.name, engine), {}).get("seconds", 0) for ds in sets]
        left.bar([i + (e - 1) * width for i in range(len(sets))], values, width, label=NAMES[engine])
    left.set_yscale("log")
    left.set_ylabel("seconds, default fit (best of repeats)")
    left.set_title("default fit: each library's defaults")
    right.bar([i - 0.2 for i in range(len(sets))], [floor.get(ds.name, 0) * 1e3 for ds in sets], 0.4,
              label="floor: one NumPy read of the samples (one core)", color="grey")
    right.bar([i + 0.2 for i in range(len(sets))], [max(late.get(ds.name) or 0, 0) * 1e3 for ds in sets], 0.4,
              label="corvalinth's late iteration")
    right.set_yscale("log")
    right.set_ylabel("milliseconds")
    right.set_title("our late iteration against the floor")
    for ax in (left, right):
        ax.set_xticks(range(len(sets)))
        ax.set_xticklabels(names, fontsize=7, rotation=30, ha="right")
        ax.legend(fontsize=8)
    fig.suptitle(f"corvalinth, scikit-learn and faiss default fits on {report.cpu_model()}", fontsize=10)
    fig.tight_layout()
    return fig


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        worker(sys.argv[2:])
        return
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--ours-python", required=True)
    parser.add_argument("--peers-python", required=True)
    parser.add_argument("--quick", action="store_true", help="small shapes and pictures, for a smoke test")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--faiss-coretype", help="OPENBLAS_CORETYPE for faiss ('unset' for none; default: the "
                        "peers benchmark's choice in the results directory)")
    parser.add_argument("--out", default=str(report.SCRATCH), help="where the data files go (default bench/out)")
    parser.add_argument("--results", help="where the results go (default bench/results, with --quick bench/out)")
    args = parser.parse_args()

    run_stamp = report.stamp(args.ours_python, args.peers_python)
    data_dir = Path(args.out) / ("default-fit-quick" if args.quick else "default-fit")
    sets, notes = make_data(args.quick, data_dir)
    for note in notes:
        print(f"note: {note}")
    (data_dir / "centres").mkdir(exist_ok=True)
    directory, suffix = report.output_dir(args.quick, args.results)
    coretype, coretype_source = faiss_coretype(args.faiss_coretype, directory, suffix)
    python = {"corvalinth": args.ours_python, "sklearn": args.peers_python, "faiss": args.peers_python}
    me = os.path.abspath(__file__)
    print(f"CPU: {report.cpu_model()} ({os.cpu_count()} logical CPUs)")
    print(f"Default fits; best of {args.repeats} interleaved runs, each in its own process; faiss with "
          f"OPENBLAS_CORETYPE={coretype or '(unset)'} ({coretype_source}).")

    best: dict = {}
    centres_file = {}
    short_long: dict = {}
    floor: dict = {}
    n_iters: dict = {}
    blas: dict = {}
    started = time.monotonic()
    for rep in range(args.repeats):
        for ds in sets:
            for engine in rotated(ENGINES, rep):
                centres_file[ds.name, engine] = data_dir / "centres" / f"{engine}_{ds.name}.npy"
                got = run_worker([python[engine], me, "--worker", "fit", str(ds.path), engine, str(ds.k),
                                  str(centres_file[ds.name, engine])],
                                 engine_env(coretype if engine == "faiss" else ""), f"{engine} {ds.label}")
                blas[engine] = got.pop("blas") or blas.get(engine)
                key = (ds.name, engine)
                if key not in best or got["seconds"] < best[key]["seconds"]:
                    best[key] = got
            got = run_worker([args.ours_python, me, "--worker", "floor", str(ds.path)], engine_env(), "floor")
            floor[ds.name] = min(floor.get(ds.name, math.inf), got["seconds"])
            # N stays the first default fit's iteration count.
            n_iter = n_iters.setdefault(ds.name, best[ds.name, "corvalinth"]["n_iter"])
            if n_iter >= 2:
                got = run_worker([args.ours_python, me, "--worker", "late", str(ds.path), str(ds.k), str(n_iter)],
                                 engine_env(), f"late iteration {ds.label}")
                seen = short_long.setdefault(ds.name, {"short": math.inf, "long": math.inf})
                seen["short"] = min(seen["short"], got["short"])
                seen["long"] = min(seen["long"], got["long"])
        print(f"repeat {rep + 1}/{args.repeats} done after {time.monotonic() - started:.0f} s", flush=True)

    import numpy as np

    inertia: dict = {}
    for ds in sets:
        x = np.load(ds.path)
        for engine in ENGINES:
            inertia[ds.name, engine] = exact_inertia(x, np.load(centres_file[ds.name, engine]))
    print(f"yardstick inertias computed after {time.monotonic() - started:.0f} s")

    late: dict = {}
    rows, md_rows = [], []
    for ds in sets:
        n_iter = n_iters[ds.name]
        sl = short_long.get(ds.name)
        if sl:
            late[ds.name] = (sl["long"] - sl["short"]) / (n_iter - n_iter // 2)
            if sl["long"] - sl["short"] < NOISE_SHARE * sl["long"]:
                notes.append(f"{ds.label} {ds.n:,} x {ds.d}: the late iterations are under {NOISE_SHARE:.0%} of "
                             f"the {n_iter}-iteration fit ({fmt_seconds(sl['long'])}); read them as noise-bound")
        else:
            notes.append(f"{ds.label} {ds.n:,} x {ds.d}: our default fit ran {n_iter} iteration(s); no late "
                         "iteration to measure")
        lowest = min(inertia[ds.name, e] for e in ENGINES)
        relative = {e: inertia[ds.name, e] / lowest if lowest > 0 else 1.0 for e in ENGINES}
        fits = {e: best[ds.name, e] for e in ENGINES}
        ms = late.get(ds.name)
        late_text = f"{ms * 1e3:.3g} ({ms / floor[ds.name]:.1f}x)" if ms is not None else "-"
        md_rows.append([ds.label, f"{ds.n:,}", str(ds.d), str(ds.k),
                        *[f"{fmt_seconds(fits[e]['seconds'])} ({fits[e]['n_iter']})" for e in ENGINES],
                        fmt_ratio(fits["sklearn"]["seconds"], fits["corvalinth"]["seconds"]),
                        " / ".join(f"{relative[e]:.4f}" for e in ENGINES),
                        f"{floor[ds.name] * 1e3:.3g}", late_text])
        rows.append({"data": ds.name, "label": ds.label, "n": ds.n, "d": ds.d, "k": ds.k,
                     "fits": {e: fits[e] for e in ENGINES}, "inertia": {e: inertia[ds.name, e] for e in ENGINES},
                     "floor": floor[ds.name], "late_iteration": ms, "late_n_iter": n_iter, "late_runs": sl})
    header = ["data set", "n", "d", "k", "ours s (it)", "scikit-learn s (it)", "faiss s (it)",
              "scikit-learn / ours", "inertia ours / scikit-learn / faiss", "floor ms", "our late iteration ms (x floor)"]
    table = report.markdown_table(header, md_rows)
    print("\n" + table)
    for note in notes:
        print(f"note: {note}")

    run_stamp["blas"] = report.describe_blas(blas)
    run_stamp["notes"] = [f"faiss ran with OPENBLAS_CORETYPE={coretype or '(unset)'} ({coretype_source})"]
    body = "\n\n".join([
        f"Each library's default fit, `KMeans(n_clusters=k, random_state=0)` for corvalinth and scikit-learn, "
        f"`faiss.Kmeans(d, k)` for faiss: seconds (iterations), best of {args.repeats} interleaved runs, each in "
        "its own process. Inertia: the exact float64 inertia of each engine's final centres over all samples, "
        "relative to the best of the three (1 is the best). Floor: one streaming read of the samples, NumPy's "
        "`x.sum()` on one core (from the caches for data that fit in them). Our late iteration: the second half of our default fit, (fit with "
        "`max_iters=N, tol=0` minus `max_iters=N//2`) / (N - N//2), N our default fit's iteration count. Pixels "
        "are the pictures' RGB values divided by 255. The method is in `bench/python/default_fit.py`.",
        table,
        "\n".join(f"- {note}" for note in notes)])
    md = report.write_results(directory, "default-fit" + suffix, "Default fits: corvalinth, scikit-learn and faiss",
                              run_stamp, body, {"rows": rows, "notes": notes, "blas": blas},
                              plot(sets, best, late, floor))
    print(f"\nresults: {md} (with its .json and .png)")


if __name__ == "__main__":
    main()
