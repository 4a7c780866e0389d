"""The README's usage example runs as written and prints what its comments say."""

from __future__ import annotations

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
