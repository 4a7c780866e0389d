"""Interrupting a long fit with a signal, in a child process.

The child first fits a small set (so the model holds known centres), then
starts a fit that would run thousands of iterations on a large set. The parent
sends probe signals (SIGUSR2) until the probe handler has run inside that fit
(it sees the model exclusively borrowed) in two separate signal checks, then
sends the interrupting signal. That signal may even be handled in the second
probe's own check (the interpreter runs handlers whenever Python code runs), so
the fit has completed at least one iteration either way. The child reports
what it saw as one JSON line.
"""

from __future__ import annotations

import json
import os
import queue
import signal
import subprocess
import threading
import time

import pytest

from conftest import python_command

# Far more iterations than the probes and the interrupt need, so that even on
# a loaded machine the fit is still running when the signal arrives.
MAX_ITERS = 50_000

CHILD = r"""
import json, signal, sys, time
import numpy as np
import corvalinth

METHOD, MAX_ITERS = sys.argv[1], int(sys.argv[2])
signal.signal(signal.SIGINT, signal.default_int_handler)  # even if the parent ignores SIGINT

rng = np.random.default_rng(7)
small = rng.normal(size=(40, 8))
big = rng.normal(size=(40_000, 8))
# Two clusters on a few megabytes: seeding is a single pass of well under a
# millisecond, far shorter than the time between two probes, so the second
# probe lands in the Lloyd iterations even on a loaded machine (the seeding
# runs signal checks inside its pass too, and a longer pass could host both
# probes; test_interrupt_seeding.py interrupts seeding itself).
model = corvalinth.KMeans(n_clusters=2, max_iters=MAX_ITERS, tol=0.0, random_state=3)
model.fit(small)
centres_before = model.cluster_centers_.tobytes()
labels_before = model.predict(small)
inertia_small = model.inertia_

class Stop(Exception):
    pass

stop = Stop("stopped by SIGUSR1")
probes = []
busy = []

def on_probe(signum, frame):
    # A probe signal can also be handled while this handler's own code runs,
    # within the same check; such nested calls count for nothing.
    if busy or len(probes) == 2:
        return
    busy.append(True)
    try:
        model.n_iter_
    except RuntimeError as e:
        # Inside the fit: its borrow refuses everything.
        found = {"n_iter_": str(e)}
        for name, call in [("inertia_", lambda: model.inertia_),
                           ("cluster_centers_", lambda: model.cluster_centers_),
                           ("predict", lambda: model.predict(small)),
                           ("fit", lambda: model.fit(small)),
                           ("fit_predict", lambda: model.fit_predict(small))]:
            try:
                call()
                found[name] = None
            except RuntimeError as e:
                found[name] = str(e)
        probes.append(found)
        if len(probes) == 2:
            print("tick", flush=True)
    finally:
        busy.clear()

def on_stop(signum, frame):
    raise stop

signal.signal(signal.SIGUSR2, on_probe)
signal.signal(signal.SIGUSR1, on_stop)
print("started", flush=True)
outcome = None
try:
    getattr(model, METHOD)(big)
    outcome = "returned"
except (KeyboardInterrupt, Stop) as e:
    outcome = "same Stop" if e is stop else type(e).__name__
raised_at = time.monotonic()

n_iter = model.n_iter_
interrupted_inertia = model.inertia_
report = {
    "outcome": outcome, "raised_at": raised_at, "probes": probes,
    "n_iter": n_iter, "inertia": interrupted_inertia, "inertia_small": inertia_small,
    "centres_kept": model.cluster_centers_.tobytes() == centres_before,
    "labels_kept": bool(np.array_equal(model.predict(small), labels_before)),
}
# The iterations counted are those that completed: a fresh fit capped at that
# count reaches the same inertia (up to the last bits of its parallel sum).
if 0 < n_iter < MAX_ITERS:
    ref = corvalinth.KMeans(n_clusters=2, max_iters=n_iter, tol=0.0, random_state=3)
    ref.fit(big)
    report["ref_inertia"] = ref.inertia_
# The model is usable again: refitting the small set reproduces its centres.
model.fit(small)
report["refit_same"] = model.cluster_centers_.tobytes() == centres_before
print(json.dumps(report), flush=True)
"""


def _reader(stream, lines: queue.Queue) -> None:
    for line in stream:
        lines.put(line.rstrip("\n"))
    lines.put(None)


def _next_line(lines: queue.Queue, timeout: float) -> str | None:
    return lines.get(timeout=timeout)


def run_child(method: str, sig: int, child: str = CHILD, max_iters: int = MAX_ITERS) -> tuple[dict, float]:
    """Runs one interrupted fit of `child` (which prints "started", then
    "tick" once its probe handler has run twice inside the fit, then its
    report); returns the report and the time at which the interrupting signal
    was sent."""
    proc = subprocess.Popen(python_command(child) + [method, str(max_iters)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    lines: queue.Queue = queue.Queue()
    threading.Thread(target=_reader, args=(proc.stdout, lines), daemon=True).start()
    try:
        assert _next_line(lines, 120) == "started", proc.stderr.read()
        # Probe until a handler has run inside the fit's loop.
        deadline = time.monotonic() + 120
        line = None
        while line != "tick":
            assert time.monotonic() < deadline, "the fit never ran a signal handler"
            os.kill(proc.pid, signal.SIGUSR2)
            try:
                line = _next_line(lines, 0.05)
            except queue.Empty:
                continue
            assert line in ("tick",), f"unexpected output {line!r}"
        sent_at = time.monotonic()
        os.kill(proc.pid, sig)
        report_line = _next_line(lines, 300)
        proc.wait(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    stderr = proc.stderr.read()
    assert proc.returncode == 0, stderr
    assert report_line.startswith("{"), f"unexpected output {report_line!r}"
    return json.loads(report_line), sent_at


@pytest.mark.parametrize("method", ["fit", "fit_predict"])
@pytest.mark.parametrize("sig, expected", [
    (signal.SIGINT, "KeyboardInterrupt"),  # the interpreter's own handler
    (signal.SIGUSR1, "same Stop"),  # a handler raising its own exception
], ids=["SIGINT", "handler-raises"])
def test_signal_interrupts_long_fit(method, sig, expected):
    report, sent_at = run_child(method, sig)

    assert report["outcome"] == expected
    # Raised at the start of the next iteration, not after thousands of them.
    assert report["raised_at"] - sent_at < 30
    refused = {name: "Already mutably borrowed"
               for name in ("n_iter_", "inertia_", "cluster_centers_", "predict")}
    refused.update(fit="Already borrowed", fit_predict="Already borrowed")
    assert report["probes"] == [refused, refused]
    # The second probe ran in the check at the start of iteration t >= 2, so
    # iteration t - 1 at least has completed.
    assert 1 <= report["n_iter"] < MAX_ITERS
    assert report["inertia"] != report["inertia_small"]
    assert report["ref_inertia"] == pytest.approx(report["inertia"], rel=1e-9)
    assert report["centres_kept"]
    assert report["labels_kept"]
    assert report["refit_same"]
