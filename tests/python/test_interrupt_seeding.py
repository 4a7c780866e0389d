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
import os
import queue
import signal
import subprocess
import threading
import time

import pytest

from conftest import python_command

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


def _reader(stream, lines: queue.Queue) -> None:
    for line in stream:
        lines.put(line.rstrip("\n"))
    lines.put(None)


@pytest.mark.parametrize("max_iters", [0, 4])
@pytest.mark.parametrize("method", ["fit", "fit_predict"])
def test_signal_interrupts_seeding(method, max_iters):
    proc = subprocess.Popen(python_command(CHILD) + [method, str(max_iters)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    lines: queue.Queue = queue.Queue()
    threading.Thread(target=_reader, args=(proc.stdout, lines), daemon=True).start()
    try:
        assert lines.get(timeout=120) == "started", proc.stderr.read()
        deadline = time.monotonic() + 120
        line = None
        while line != "tick":
            assert time.monotonic() < deadline, "the seeding never ran a signal handler"
            os.kill(proc.pid, signal.SIGUSR2)
            try:
                line = lines.get(timeout=0.05)
            except queue.Empty:
                continue
            assert line == "tick", f"unexpected output {line!r}"
        sent_at = time.monotonic()
        os.kill(proc.pid, signal.SIGINT)
        report_line = lines.get(timeout=300)
        proc.wait(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == 0, proc.stderr.read()
    report = json.loads(report_line)
    assert report["outcome"] == "KeyboardInterrupt"
    # Seeding all 5,000 centres takes far longer than this.
    assert report["raised_at"] - sent_at < 10
    assert report["probes"] == ["Already mutably borrowed"] * 2
    # n_iter_, inertia_ and the centres are those of the earlier fit.
    assert report["kept"], report
    assert report["n_iter"] == max_iters
