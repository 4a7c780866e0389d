"""Interrupting a long k-means++ seeding with a signal, in a child process.

The child fits a small set first (so the record holds known values), then
starts a fit whose seeding alone would take many seconds (thousands of
centres). The parent sends probe signals (SIGUSR2) until the probe handler has
run twice inside that fit (it sees the model exclusively borrowed); with
max_iters=0 nothing but seeding can run it. Then it sends the interrupting
signal. The fit must raise at once and leave the record exactly as it was.
"""

from __future__ import annotations

import json
import signal
import subprocess

import pytest

from conftest import python_command
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



# A seeding of two clusters is a single pass over the samples, with no step
# to check between: the interrupt check runs inside that pass every few
# milliseconds. A timer signal every millisecond from just before the fit
# (max_iters=0, so nothing but the seeding runs): its handler raises
# KeyboardInterrupt at the first check where it finds the model borrowed,
# inside the fit, which then leaves the model as it was.
FIRST_PASS_CHILD = r"""
import json, signal, time
import numpy as np
import corvalinth

x = np.random.default_rng(2).normal(size=(500_000, 16))  # 64 MB
model = corvalinth.KMeans(n_clusters=2, max_iters=0, random_state=1)
model.fit(x[:100])
before = model.cluster_centers_.tobytes()
inside = []
probing = []

def on_alarm(signum, frame):
    # The next tick can re-enter a handler that is still running (a loaded
    # machine takes more than the millisecond between ticks): only the
    # outermost call probes.
    if inside or probing:
        return
    probing.append(True)
    try:
        model.n_iter_
    except RuntimeError:
        signal.setitimer(signal.ITIMER_REAL, 0)
        inside.append(True)
        raise KeyboardInterrupt
    finally:
        probing.pop()

signal.signal(signal.SIGALRM, on_alarm)
started = time.monotonic()
signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
try:
    model.fit(x)
    outcome = "returned"
except KeyboardInterrupt:
    outcome = "KeyboardInterrupt"
took = time.monotonic() - started
signal.setitimer(signal.ITIMER_REAL, 0)
print(json.dumps({"outcome": outcome, "inside": len(inside), "took": took,
                  "kept": model.cluster_centers_.tobytes() == before and model.n_iter_ == 0}), flush=True)
"""


def test_interrupt_inside_a_one_pass_seeding():
    child = subprocess.run(python_command(FIRST_PASS_CHILD), capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr[-2000:]
    report = json.loads(child.stdout.strip().splitlines()[-1])
    assert report["outcome"] == "KeyboardInterrupt", report
    assert report["inside"] == 1
    assert report["kept"]
