"""Quick start: cluster the Palmer penguins, then a million synthetic samples.

Run with `make demo` (which installs the module and matplotlib into .venv/numpy2), or
directly with `python examples/quickstart.py` once `corvalinth` is installed.
Prints the fitted centres, iteration counts, inertias and fit times, and saves
a scatter plot of both clusterings to examples/out/quickstart.png.
"""

from __future__ import annotations

import argparse
import csv
import time
from pathlib import Path

import numpy as np

import corvalinth

HERE = Path(__file__).resolve().parent
DATA = HERE / "data" / "penguins.csv"
OUT_DIR = HERE / "out"
FEATURES = ["bill_length_mm", "bill_depth_mm", "flipper_length_mm", "body_mass_g"]


def load_penguins(path: Path = DATA) -> tuple[np.ndarray, list[str]]:
    """Returns the four body measurements (rows with a missing value dropped)
    and the species of each kept row."""
    rows, species = [], []
    with path.open(newline="") as f:
        for rec in csv.DictReader(f):
            values = [rec[name] for name in FEATURES]
            if any(v in ("", "NA") for v in values):
                continue
            rows.append([float(v) for v in values])
            species.append(rec["species"])
    return np.array(rows, dtype=np.float64), species


def make_blobs(n: int, n_blobs: int, seed: int) -> np.ndarray:
    """n samples in 2-D drawn around n_blobs centres spread round a circle."""
    rng = np.random.default_rng(seed)
    angles = 2.0 * np.pi * np.arange(n_blobs) / n_blobs
    centres = 15.0 * np.column_stack([np.cos(angles), np.sin(angles)])
    centres += rng.normal(scale=2.0, size=centres.shape)
    which = rng.integers(0, n_blobs, size=n)
    return centres[which] + rng.normal(scale=1.5, size=(n, 2))


def timed_fit(model: corvalinth.KMeans, x: np.ndarray) -> float:
    start = time.perf_counter()
    model.fit(x)
    return time.perf_counter() - start


def penguins_demo() -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    x, species = load_penguins()
    # Standardise so that body mass (grams) does not outweigh the lengths (mm).
    mean, std = x.mean(axis=0), x.std(axis=0)
    z = (x - mean) / std
    model = corvalinth.KMeans(n_clusters=3, random_state=0)
    seconds = timed_fit(model, z)
    centres_z = model.cluster_centers_
    assert centres_z is not None
    centres = centres_z * std + mean
    labels = model.predict(z)

    print(f"Palmer penguins: {x.shape[0]} birds, {x.shape[1]} measurements, k=3")
    print("  centres (original units):")
    print("    cluster  " + "  ".join(f"{name:>17}" for name in FEATURES))
    for c, row in enumerate(centres):
        print(f"    {c:7d}  " + "  ".join(f"{v:17.2f}" for v in row))
    print(f"  n_iter_ = {model.n_iter_}, inertia_ = {model.inertia_:.4f} (standardised units)")
    print(f"  fit time: {seconds * 1e3:.2f} ms")
    print("  birds per cluster and species:")
    names = sorted(set(species))
    print("    cluster  " + "  ".join(f"{s:>9}" for s in names))
    kinds = np.array(species)
    for c in range(3):
        counts = [int(np.sum((labels == c) & (kinds == s))) for s in names]
        print(f"    {c:7d}  " + "  ".join(f"{n:9d}" for n in counts))
    return x, labels, centres


def blobs_demo() -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    n, k = 1_000_000, 8
    x = make_blobs(n, k, seed=42)
    model = corvalinth.KMeans(n_clusters=k, random_state=0)
    seconds = timed_fit(model, x)
    start = time.perf_counter()
    labels = model.predict(x)
    predict_seconds = time.perf_counter() - start
    centres = model.cluster_centers_
    assert centres is not None
    print(f"\nSynthetic blobs: {n:,} samples in 2-D, k={k}")
    print(f"  n_iter_ = {model.n_iter_}, inertia_ = {model.inertia_:.6g}")
    print(f"  fit time: {seconds:.3f} s ({seconds / max(model.n_iter_, 1) * 1e3:.1f} ms per iteration,"
          f" seeding included)")
    print(f"  predict time: {predict_seconds:.3f} s")
    return x, labels, centres


def plot(penguins: tuple[np.ndarray, np.ndarray, np.ndarray],
         blobs: tuple[np.ndarray, np.ndarray, np.ndarray], out_dir: Path) -> Path | None:
    try:
        import matplotlib
    except ImportError:
        print("\nmatplotlib is not installed: no plot (`make demo` installs it)")
        return None
    matplotlib.use("Agg")  # files only, no display needed
    import matplotlib.pyplot as plt

    fig, (left, right) = plt.subplots(1, 2, figsize=(12, 5.5))
    x, labels, centres = penguins
    # Flipper length against bill length, the two most telling measurements.
    left.scatter(x[:, 2], x[:, 0], c=labels, cmap="viridis", s=14, alpha=0.8)
    left.scatter(centres[:, 2], centres[:, 0], c="red", marker="x", s=120, linewidths=2.5)
    left.set_xlabel("flipper length (mm)")
    left.set_ylabel("bill length (mm)")
    left.set_title("Palmer penguins, k=3 on four standardised measurements")

    x, labels, centres = blobs
    shown = np.random.default_rng(0).choice(x.shape[0], size=30_000, replace=False)
    right.scatter(x[shown, 0], x[shown, 1], c=labels[shown], cmap="tab10", s=2, alpha=0.5)
    right.scatter(centres[:, 0], centres[:, 1], c="black", marker="x", s=120, linewidths=2.5)
    right.set_title(f"{x.shape[0]:,} synthetic samples, k=8 (30,000 shown)")
    right.set_aspect("equal", adjustable="datalim")

    fig.tight_layout()
    out_dir.mkdir(parents=True, exist_ok=True)
    path = out_dir / "quickstart.png"
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


def main() -> None:
    parser = argparse.ArgumentParser(description="corvalinth quick start")
    parser.add_argument("--out", type=Path, default=OUT_DIR, help=f"plot directory (default {OUT_DIR})")
    args = parser.parse_args()
    print(f"corvalinth {corvalinth.__version__}")
    penguins = penguins_demo()
    blobs = blobs_demo()
    path = plot(penguins, blobs, args.out)
    if path is not None:
        print(f"\nplot saved to {path}")


if __name__ == "__main__":
    main()
