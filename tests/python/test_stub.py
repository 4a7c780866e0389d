"""The type stub ships next to the installed module and names what the module
has. (Signatures and types are checked by stubtest in `make test`.)"""

from __future__ import annotations

import ast
import inspect
import sysconfig
from pathlib import Path

import pytest

import corvalinth

STUB = Path(__file__).resolve().parents[2] / "corvalinth.pyi"


def stub_tree() -> ast.Module:
    return ast.parse(STUB.read_text())


def test_installed_wheel_carries_the_stub():
    module_dir = Path(corvalinth.__file__).resolve().parent
    if module_dir != Path(sysconfig.get_paths()["platlib"]).resolve():
        pytest.skip("module not installed from the wheel (e.g. a sanitizer build on PYTHONPATH)")
    assert (module_dir / "corvalinth.pyi").read_bytes() == STUB.read_bytes()


def test_stub_names_match_the_module():
    tree = stub_tree()
    top = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            top[node.name] = node
        elif isinstance(node, ast.AnnAssign):
            top[node.target.id] = node
        elif isinstance(node, ast.Assign):
            top[node.targets[0].id] = node
    assert set(top) == {"KMeans", "__version__", "__all__"}
    assert ast.literal_eval(top["__all__"].value) == corvalinth.__all__

    members = {n.name: n for n in top["KMeans"].body if isinstance(n, ast.FunctionDef)}
    runtime = {name for name in vars(corvalinth.KMeans) if not name.startswith("__")}
    assert set(members) - {"__new__"} == runtime
    properties = {name for name, n in members.items()
                  if any(isinstance(d, ast.Name) and d.id == "property" for d in n.decorator_list)}
    assert properties == {"cluster_centers_", "n_iter_", "inertia_"}
    for name in properties:
        assert type(vars(corvalinth.KMeans)[name]).__name__ == "getset_descriptor"


def test_stub_constructor_matches_the_text_signature():
    new = next(n for c in stub_tree().body if isinstance(c, ast.ClassDef)
               for n in c.body if isinstance(n, ast.FunctionDef) and n.name == "__new__")
    params = [a.arg for a in new.args.args][1:]
    defaults = [ast.literal_eval(d) for d in new.args.defaults]
    signature = inspect.signature(corvalinth.KMeans)
    assert params == list(signature.parameters)
    assert defaults == [p.default for p in signature.parameters.values()]
