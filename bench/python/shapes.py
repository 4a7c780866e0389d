"""The benchmark shapes: named lists read from bench/shapes.txt, the one list
the C++ and Python benchmarks share."""

from __future__ import annotations

from pathlib import Path

SHAPES_FILE = Path(__file__).resolve().parent.parent / "shapes.txt"


def shape_list(name: str, path: Path = SHAPES_FILE) -> list[tuple[int, int, int]]:
    """The (n_samples, n_features, n_clusters) shapes of list `name` ("[name]"
    in the file), in file order."""
    shapes = []
    current = None
    for number, raw in enumerate(path.read_text().splitlines(), start=1):
        line = raw.split("#", 1)[0].strip()
        if not line:
            continue
        if line.startswith("["):
            current = line.strip("[]").strip()
            continue
        if current != name:
            continue
        fields = line.split()
        if len(fields) != 3 or not all(f.isdigit() for f in fields):
            raise ValueError(f'{path}:{number}: expected "n_samples n_features n_clusters", got {raw!r}')
        n, d, k = (int(f) for f in fields)
        shapes.append((n, d, k))
    if not shapes:
        raise ValueError(f"{path} has no shapes in list [{name}]")
    return shapes
