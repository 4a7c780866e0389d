"""The README's usage example runs as written and prints what its comments say."""

from __future__ import annotations

import os
import re
from pathlib import Path

from conftest import run_python

README = Path(__file__).resolve().parents[2] / "README.md"


def python_blocks() -> list[str]:
    return re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S)


def squash(text: str) -> str:
    return " ".join(text.split())


def test_readme_starts_with_the_two_setup_commands():
    text = README.read_text()
    first_block = re.search(r"```sh\n(.*?)```", text, flags=re.S).group(1)
    commands = [line.split("#")[0].strip() for line in first_block.splitlines()]
    assert commands == ["make demo", "make test"]
    assert text.index("```sh") < text.index("```python")


def test_usage_example_output_matches_its_comments():
    blocks = python_blocks()
    assert len(blocks) == 1
    code = blocks[0]
    # Every print(...) carries the expected output as its trailing comment.
    expected = [m.group(1) for m in re.finditer(r"^print\(.*\)\s*#\s*(.*)$", code, flags=re.M)]
    assert len(expected) == code.count("print(") > 0
    out = run_python(code, timeout=60)
    assert out.returncode == 0, out.stderr
    assert squash(out.stdout) == squash(" ".join(expected))


def test_quickstart_demo(tmp_path):
    """examples/quickstart.py (what `make demo` runs) on the shipped data."""
    script = README.parent / "examples" / "quickstart.py"
    out = run_python(f"import runpy, sys; sys.argv = [{str(script)!r}, '--out', {str(tmp_path)!r}]; "
                     f"runpy.run_path(sys.argv[0], run_name='__main__')",
                     timeout=600, env={**os.environ, "MPLBACKEND": "Agg"})
    assert out.returncode == 0, out.stderr
    text = out.stdout
    assert "Palmer penguins: 342 birds, 4 measurements, k=3" in text
    # Birds per cluster and species: every complete record is labelled once.
    table = text.split("birds per cluster and species:\n")[1].split("\n\n")[0].splitlines()
    assert table[0].split() == ["cluster", "Adelie", "Chinstrap", "Gentoo"]
    counts = [[int(v) for v in row.split()] for row in table[1:]]
    assert [row[0] for row in counts] == [0, 1, 2]
    assert [sum(col) for col in zip(*(row[1:] for row in counts))] == [151, 68, 123]
    # Eight well separated blobs of 2-D noise with sigma 1.5: when each blob
    # gets its own centre the inertia is close to n * 2 * 1.5**2.
    inertia = float(re.search(r"Synthetic blobs:.*?inertia_ = (\S+)", text, flags=re.S).group(1))
    assert 0.95 * 4.5e6 < inertia < 1.05 * 4.5e6
    png = tmp_path / "quickstart.png"
    if "matplotlib is not installed" in text:
        assert not png.exists()
    else:
        assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
