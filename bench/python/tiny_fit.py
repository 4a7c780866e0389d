"""The tiny fit: the Palmer penguins (342 birds x 4 measurements, standardised), k = 3, default settings.

Times KMeans(n_clusters=3, random_state=0).fit(z) per build, and the marginal
iteration: (fit with max_iters=50 - fit with max_iters=10, both tol=0) / 40.
Each build runs in a subprocess of its own, the builds' rounds interleaved in
one run: every round times each build once (best of `--repeats` calls after a
warm-up), and the best figure of each build over the rounds is reported.

usage: bench/python/tiny_fit.py DIR [DIR ...] [--rounds 5] [--repeats 2000]
       (a directory "installed" means the module installed in this interpreter;
       RAYON_NUM_THREADS is passed on to every child)
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
from pathlib import Path

from harness import PENGUINS

HERE = Path(__file__).resolve().parent

CHILD = r"""
import json, sys, time
import corvalinth

sys.path.insert(0, sys.argv[3])
from harness import penguins

z = penguins(sys.argv[1])
repeats = int(sys.argv[2])

def best_fit(model):
    for _ in range(100):
        model.fit(z)
    best = float("inf")
    for _ in range(repeats):
        t0 = time.perf_counter()
        model.fit(z)
        best = min(best, time.perf_counter() - t0)
    return best

default = corvalinth.KMeans(n_clusters=3, random_state=0)
short = corvalinth.KMeans(n_clusters=3, max_iters=10, tol=0.0, random_state=0)
long = corvalinth.KMeans(n_clusters=3, max_iters=50, tol=0.0, random_state=0)
print(json.dumps({"shape": list(z.shape), "best_s": best_fit(default), "n_iter": int(default.n_iter_),
                  "short_s": best_fit(short), "long_s": best_fit(long),
                  "centres": default.cluster_centers_.tobytes().hex() + long.cluster_centers_.tobytes().hex()}))
"""


def run_child(directory: str, repeats: int) -> dict:
    env = dict(os.environ)
    if directory != "installed":
        env["PYTHONPATH"] = os.path.abspath(directory)
    out = subprocess.run([sys.executable, "-c", CHILD, str(PENGUINS), str(repeats), str(HERE)], env=env, check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("dirs", nargs="+")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--repeats", type=int, default=2000)
    args = parser.parse_args()
    best: dict[str, dict] = {}
    for _ in range(args.rounds):
        for directory in args.dirs:
            result = run_child(directory, args.repeats)
            if directory not in best:
                best[directory] = result
            else:
                for key in ("best_s", "short_s", "long_s"):
                    best[directory][key] = min(best[directory][key], result[key])
    first = best[args.dirs[0]]
    threads = os.environ.get("RAYON_NUM_THREADS", "default")
    print(f"tiny fit {tuple(first['shape'])}, k = 3, default settings, RAYON_NUM_THREADS={threads}, "
          f"best of {args.rounds} rounds x {args.repeats} fits")
    print(f"{'build':<32} {'default fit':>12} {'n_iter':>7} {'fit/n_iter':>11} {'marginal it.':>13}  same centres")
    for directory in args.dirs:
        r = best[directory]
        same = "yes" if r["centres"] == first["centres"] and r["n_iter"] == first["n_iter"] else "NO"
        marginal = (r["long_s"] - r["short_s"]) / 40
        print(f"{directory:<32} {r['best_s'] * 1e6:>9.1f} us {r['n_iter']:>7} "
              f"{r['best_s'] / r['n_iter'] * 1e6:>8.2f} us {marginal * 1e6:>10.2f} us  {same}")


if __name__ == "__main__":
    main()
