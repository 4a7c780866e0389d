"""Writes the method docstrings of corvalinth.pyi as a C++ header.

The stub is the one place where the methods' documentation is written; the
module serves the same texts at run time (help(KMeans.fit) shows them), after
the text signature and its separator line.

usage: stub_docstrings.py STUB OUTPUT
"""

from __future__ import annotations

import ast
import json
import sys
from pathlib import Path

METHODS = ("fit", "predict", "fit_predict")


def method_docs(stub: str) -> dict[str, str]:
    tree = ast.parse(stub)
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and node.name == "KMeans":
            docs = {
                item.name: ast.get_docstring(item)
                for item in node.body
                if isinstance(item, ast.FunctionDef) and item.name in METHODS
            }
            missing = [name for name in METHODS if not docs.get(name)]
            if missing:
                raise SystemExit(f"corvalinth.pyi: no docstring for KMeans.{', KMeans.'.join(missing)}")
            return docs
    raise SystemExit("corvalinth.pyi: no class KMeans")


def c_string(text: str) -> str:
    # JSON escapes are valid C escapes for this text (ASCII, quotes, newlines).
    if not text.isascii():
        raise SystemExit("corvalinth.pyi: method docstrings must be ASCII")
    return json.dumps(text)


def main() -> None:
    stub, output = sys.argv[1], sys.argv[2]
    docs = method_docs(Path(stub).read_text())
    lines = [
        "#pragma once",
        "// Generated from corvalinth.pyi by tools/stub_docstrings.py: edit the stub, not this file.",
        "",
    ]
    for name in METHODS:
        lines.append(f"#define CORVALINTH_DOC_{name.upper()} {c_string(docs[name])}")
    text = "\n".join(lines) + "\n"
    out = Path(output)
    if not out.exists() or out.read_text() != text:
        out.parent.mkdir(parents=True, exist_ok=True)
        out.write_text(text)


if __name__ == "__main__":
    main()
