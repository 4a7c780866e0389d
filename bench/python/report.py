"""A benchmark's results file: Markdown stamped with the commit, the date, the
machine and the library versions, next to its JSON and its chart."""

from __future__ import annotations

import datetime
import json
import os
import platform
import subprocess
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
RESULTS = REPO / "bench" / "results"
SCRATCH = REPO / "bench" / "out"

OURS_PACKAGES = ["corvalinth", "numpy"]
PEERS_PACKAGES = ["scikit-learn", "faiss-cpu", "numpy", "scikit-image", "threadpoolctl"]

_VERSIONS = r"""
import importlib.metadata as m, json, platform
out = {"python": platform.python_version()}
for name in __import__("sys").argv[1:]:
    try:
        out[name] = m.version(name)
    except m.PackageNotFoundError:
        out[name] = "not installed"
print(json.dumps(out))
"""


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def vector_extensions() -> str:
    """The processor's AVX2 and AVX-512 foundation flags, as /proc/cpuinfo lists them."""
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("flags"):
                flags = set(line.split(":", 1)[1].split())
                return ", ".join(f for f in ("avx2", "fma", "avx512f") if f in flags) or "none of avx2, avx512f"
    except OSError:
        pass
    return "unknown"


def commit() -> str:
    """The checkout's commit, marked when tracked files (the results aside)
    differ from it."""
    def git(*args):
        return subprocess.run(["git", "-C", str(REPO), *args], capture_output=True, text=True)

    head = git("rev-parse", "--short", "HEAD")
    if head.returncode != 0:
        return "unknown (not a git checkout)"
    dirty = git("status", "--porcelain", "--untracked-files=no", "--", ".", ":(exclude)bench/results").stdout.strip()
    return head.stdout.strip() + (" with uncommitted changes" if dirty else "")


def package_versions(python: str, packages: list[str]) -> dict:
    """Versions of `packages` in the environment of interpreter `python`, read
    from their metadata (nothing is imported)."""
    proc = subprocess.run([python, "-c", _VERSIONS, *packages], capture_output=True, text=True)
    return json.loads(proc.stdout) if proc.returncode == 0 else {"error": proc.stderr.strip()}


def load_average() -> str:
    try:
        return " ".join(Path("/proc/loadavg").read_text().split()[:3])
    except OSError:
        return "unknown"


def stamp(ours_python: str, peers_python: str) -> dict:
    memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    return {
        "commit": commit(),
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "cpu": cpu_model(),
        "vector_extensions": vector_extensions(),
        "logical_cpus": os.cpu_count(),
        "cpus_available": len(os.sched_getaffinity(0)),
        "memory_gib": round(memory / 2**30, 1),
        "kernel": platform.release(),
        "load_average_at_start": load_average(),
        "ours": package_versions(ours_python, OURS_PACKAGES),
        "peers": package_versions(peers_python, PEERS_PACKAGES),
    }


def describe_blas(blas: dict) -> list[str]:
    """One line per BLAS library each engine's process loaded."""
    lines = []
    for engine, infos in blas.items():
        for info in infos or []:
            lines.append(f"{engine}: {info['internal_api']} {info['version']}, kernels {info['architecture']}, "
                         f"{info['num_threads']} threads ({info['file']})")
    return lines


def stamp_markdown(s: dict) -> str:
    ours = ", ".join(f"{k} {v}" for k, v in s["ours"].items() if k != "python")
    peers = ", ".join(f"{k} {v}" for k, v in s["peers"].items() if k != "python")
    lines = [
        f"- commit: {s['commit']}",
        f"- date: {s['date']}",
        f"- machine: {s['cpu']} ({s['vector_extensions']}), {s['logical_cpus']} logical CPUs ({s['cpus_available']} available), "
        f"{s['memory_gib']} GiB, Linux {s['kernel']}; load average at the start {s['load_average_at_start']}, "
        f"at the end {s.get('load_average_at_end', '?')}",
        f"- corvalinth's environment: CPython {s['ours'].get('python', '?')}, {ours}",
        f"- peers' environment: CPython {s['peers'].get('python', '?')}, {peers}",
    ]
    lines += [f"- BLAS of {line}" for line in s.get("blas", [])]
    lines += [f"- {note}" for note in s.get("notes", [])]
    return "\n".join(lines)


def markdown_table(header: list[str], rows: list[list[str]]) -> str:
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines)


def output_dir(quick: bool, given: str | None) -> tuple[Path, str]:
    """Where a run writes its results and the suffix of their names: a full
    run into bench/results (under version control), a quick one into
    bench/out with names that say so."""
    directory = Path(given) if given else (SCRATCH if quick else RESULTS)
    return directory, "-quick" if quick else ""


def pyplot():
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def write_results(directory: Path, name: str, title: str, run_stamp: dict, body: str, data: dict, figure) -> Path:
    """Writes NAME.md (title, stamp, body, chart), NAME.json and NAME.png;
    returns the Markdown file's path."""
    directory.mkdir(parents=True, exist_ok=True)
    run_stamp["load_average_at_end"] = load_average()
    figure.savefig(directory / f"{name}.png", dpi=110)
    (directory / f"{name}.json").write_text(json.dumps({"stamp": run_stamp} | data, indent=1) + "\n")
    md = directory / f"{name}.md"
    md.write_text(f"# {title}\n\nWritten by `make bench-peers`; do not edit by hand.\n\n"
                  f"{stamp_markdown(run_stamp)}\n\n{body.strip()}\n\n![chart]({name}.png)\n")
    return md
