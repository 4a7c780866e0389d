"""Running measurements, each in a fresh process of its engine's interpreter,
and the helpers the workers share."""

from __future__ import annotations

import json
import os
import subprocess
import time
from pathlib import Path

# The tiny fit's data: the Palmer penguins shipped with the examples.
PENGUINS = Path(__file__).resolve().parents[2] / "examples" / "data" / "penguins.csv"
PENGUIN_FEATURES = ("bill_length_mm", "bill_depth_mm", "flipper_length_mm", "body_mass_g")

# OpenBLAS tuning variables that some machines set for old OpenBLAS builds; they
# slow a current NumPy down, so no engine runs with them unless asked to.
OPENBLAS_TUNING = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")


def engine_env(openblas_coretype: str = "") -> dict:
    """This process's environment without the OpenBLAS tuning variables, with
    OPENBLAS_CORETYPE set again when a core type is given."""
    env = {key: value for key, value in os.environ.items() if key not in OPENBLAS_TUNING}
    if openblas_coretype:
        env["OPENBLAS_CORETYPE"] = openblas_coretype
    return env


def run_worker(cmd: list[str], env: dict, what: str) -> dict:
    """Runs one measurement process; its last line of output is a JSON object."""
    proc = subprocess.run(cmd, capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        raise RuntimeError(f"{what} failed (exit status {proc.returncode}):\n{proc.stderr}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def penguins(path: Path = PENGUINS):
    """The birds with all four measurements, each column standardised (mean 0,
    population standard deviation 1)."""
    import csv

    import numpy as np

    with open(path, newline="") as f:
        rows = [[float(rec[name]) for name in PENGUIN_FEATURES] for rec in csv.DictReader(f)
                if all(rec[name] not in ("", "NA") for name in PENGUIN_FEATURES)]
    x = np.array(rows, dtype=np.float64)
    return (x - x.mean(axis=0)) / x.std(axis=0)


def rotated(items: list, rep: int) -> list:
    """`items` started at a different place in each repeat, so that no engine
    always runs first."""
    shift = rep % len(items)
    return items[shift:] + items[:shift]


def timed(call) -> float:
    t0 = time.perf_counter()
    call()
    return time.perf_counter() - t0


# A call shorter than this is timed again and again (timed_best): one call of
# a few microseconds is mostly the timer and the scheduler.
SHORT_CALL = 5e-3
SHORT_BUDGET = 0.25
SHORT_MAX_CALLS = 5_000


def timed_best(call) -> float:
    """One call's seconds; for a call under SHORT_CALL, the best of as many
    calls as fit in SHORT_BUDGET seconds (at most SHORT_MAX_CALLS)."""
    best = timed(call)
    if best >= SHORT_CALL:
        return best
    deadline = time.perf_counter() + SHORT_BUDGET
    for _ in range(SHORT_MAX_CALLS - 1):
        if time.perf_counter() >= deadline:
            break
        best = min(best, timed(call))
    return best


def marginal(short_run, long_run, short_iters: int, long_iters: int, timer=timed) -> dict:
    """The marginal cost of an iteration: (long run - short run) / (long_iters -
    short_iters). The short run goes twice, around the long one: the first run
    of a process can pay for first touches of memory."""
    short = timer(short_run)
    long = timer(long_run)
    short = min(short, timer(short_run))
    return {"seconds": (long - short) / (long_iters - short_iters), "short": short, "long": long}


def warm_up_corvalinth(x, k: int) -> None:
    """Loads corvalinth, its NumPy table and its worker pool with a small fit on
    the first rows, before anything is timed."""
    import corvalinth

    warm = x[:5_000]
    corvalinth.KMeans(n_clusters=min(k, warm.shape[0]), max_iters=2, random_state=0).fit(warm)


def blas_info() -> list[dict]:
    """The BLAS libraries threadpoolctl sees in this process (none where it is
    not installed)."""
    try:
        from threadpoolctl import threadpool_info
    except ImportError:
        return []
    keep = ("user_api", "internal_api", "version", "architecture", "num_threads", "threading_layer")
    return [{key: info.get(key) for key in keep} | {"file": Path(info.get("filepath", "")).name}
            for info in threadpool_info()]


def fmt_seconds(seconds) -> str:
    if seconds is None:
        return "-"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} µs"
    return f"{seconds * 1e3:.1f} ms" if seconds < 1 else f"{seconds:.2f} s"


def fmt_ratio(peer, ours) -> str:
    if peer is None or ours is None or ours <= 0:
        return "-"
    return f"{peer / ours:.2f}x"
