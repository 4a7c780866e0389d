"""Interrupting a long k-means++ seeding with a signal, in a child process.

The child fits a small set first (so the record holds known values), then
starts a fit whose seeding alone would take many seconds (thousands of
centres). The parent sends probe signals (SIGUSR2) until the probe handler has
run twice inside that fit (it sees the model exclusively borrowed); with
max_iters=0 nothing but seeding can run it. Then it sends the interrupting
signal. The fit must raise at once and leave the record exactly as it was.
"""

from __future__ import annotations

import signal

import pytest

from test_interrupt import run_child

CHILD = r"""
import json, signal, sys, time
import numpy as np
import corvalinth

METHOD, MAX_ITERS = sys.argv[1], int(sys.argv[2])
signal.signal(signal.SIGINT, signal.default_int_handler)

rng = np.random.default_rng(11)
big = rng.normal(size=(1_000_000, 8))
model = corvalinth.KMeans(n_clusters=5_000, max_iters=MAX_ITERS, tol=0.0, random_state=5)
model.fit(big[:5_000])
before = (model.n_iter_, model.inertia_, model.cluster_centers_.tobytes())

probes = []

def on_probe(signum, frame):
    if len(probes) == 2:
        return
    try:
        model.n_iter_
    except RuntimeError as e:
        probes.append(str(e))
        if len(probes) == 2:
            print("tick", flush=True)

signal.signal(signal.SIGUSR2, on_probe)
print("started", flush=True)
outcome = "returned"
try:
    getattr(model, METHOD)(big)
except KeyboardInterrupt:
    outcome = "KeyboardInterrupt"
raised_at = time.monotonic()
after = (model.n_iter_, model.inertia_, model.cluster_centers_.tobytes())
print(json.dumps({"outcome": outcome, "raised_at": raised_at, "probes": probes,
                  "kept": after == before, "n_iter": after[0],
                  "inertia_bits": [before[1].hex(), after[1].hex()]}), flush=True)
"""


@pytest.mark.parametrize("max_iters", [0, 4])
@pytest.mark.parametrize("method", ["fit", "fit_predict"])
def test_signal_interrupts_seeding(method, max_iters):
    report, sent_at = run_child(method, signal.SIGINT, child=CHILD, max_iters=max_iters)
    assert report["outcome"] == "KeyboardInterrupt"
    # Seeding all 5,000 centres takes far longer than this.
    assert report["raised_at"] - sent_at < 10
    assert report["probes"] == ["Already mutably borrowed"] * 2
    # n_iter_, inertia_ and the centres are those of the earlier fit.
    assert report["kept"], report
    assert report["n_iter"] == max_iters
