"""Helpers shared by the Python tests."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap


def sanitized_run() -> bool:
    """True when the module runs under AddressSanitizer (`make asan` preloads
    the sanitizer runtimes): memory figures and timings are not meaningful."""
    return "libasan" in os.environ.get("LD_PRELOAD", "")


def python_command(code: str) -> list[str]:
    """Argument vector running `code` in a fresh interpreter of this venv; the
    child inherits the environment (PYTHONPATH, sanitizer preloads)."""
    return [sys.executable, "-c", textwrap.dedent(code)]


def run_python(code: str, timeout: float = 120.0, **kwargs) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter and returns the finished process."""
    return subprocess.run(python_command(code), capture_output=True, text=True,
                          timeout=timeout, **kwargs)

