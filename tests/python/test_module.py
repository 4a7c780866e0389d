"""The module object: its attributes, repeated initialisation and the refusal
to initialise in a second interpreter."""

from __future__ import annotations

import importlib.util
import inspect
import shutil
import subprocess

import pytest

import corvalinth
from conftest import run_python

DOC_HEAD = "corvalinth - High-performance machine learning library "
SUBINTERPRETER_PREFIX = "PyO3 modules do not yet support subinterpreters, see "


def test_public_attributes():
    assert corvalinth.__all__ == ["KMeans", "__version__"]
    assert type(corvalinth.__all__) is list
    assert corvalinth.__version__ == "0.1.0"
    assert inspect.isclass(corvalinth.KMeans)
    assert corvalinth.KMeans.__name__ == "KMeans"
    public = sorted(name for name in vars(corvalinth) if not name.startswith("_"))
    assert public == ["KMeans"]
    assert not [v for v in vars(corvalinth).values() if inspect.isroutine(v)]


def test_docstring():
    doc = corvalinth.__doc__
    assert doc.startswith(DOC_HEAD)
    closing = doc[len(DOC_HEAD):]
    assert closing and closing == closing.strip()
    assert "\n" not in doc


def test_only_export_is_the_init_function():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm not available")
    out = subprocess.run([nm, "-D", "--defined-only", corvalinth.__file__],
                         capture_output=True, text=True, check=True)
    symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_corvalinth"]


def test_second_initialisation_returns_the_same_module():
    for _ in range(2):
        spec = importlib.util.spec_from_file_location("corvalinth", corvalinth.__file__)
        again = importlib.util.module_from_spec(spec)
        assert again is corvalinth
    assert corvalinth.__all__ == ["KMeans", "__version__"]


def test_second_initialisation_in_fresh_process():
    out = run_python("""
        import importlib.util, corvalinth
        spec = importlib.util.spec_from_file_location("corvalinth", corvalinth.__file__)
        again = importlib.util.module_from_spec(spec)
        print(again is corvalinth, corvalinth.__all__, again.KMeans is corvalinth.KMeans)
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "True ['KMeans', '__version__'] True"


SUBINTERPRETER_SCRIPT = """
import os, sys
try:
    import corvalinth
    outcome = "imported"
except ImportError as e:
    outcome = "ImportError|" + str(e) + "|" + str("corvalinth" in sys.modules)
os.write(fd, outcome.encode())
"""


@pytest.mark.parametrize("import_first", [True, False], ids=["main-imported", "main-not-imported"])
def test_subinterpreter_import_fails(import_first):
    pytest.importorskip("_xxsubinterpreters")
    out = run_python(f"""
        import os, sys
        import _xxsubinterpreters as interpreters
        if {import_first}:
            import corvalinth
        read_end, write_end = os.pipe()
        interp = interpreters.create(isolated=False)
        interpreters.run_string(interp, {SUBINTERPRETER_SCRIPT!r}, shared={{"fd": write_end}})
        print(os.read(read_end, 4096).decode(), flush=True)
        import corvalinth
        print(corvalinth.__all__)
    """)
    if import_first:
        assert out.returncode == 0, out.stderr
        outcome, all_line = out.stdout.strip().splitlines()
        kind, message, in_modules = outcome.split("|")
        assert kind == "ImportError"
        assert message.startswith(SUBINTERPRETER_PREFIX)
        assert len(message) > len(SUBINTERPRETER_PREFIX)
        assert in_modules == "False"
        assert all_line == "['KMeans', '__version__']"
    else:
        # The first interpreter to initialise the module owns it; the main
        # interpreter is then the second one and is refused.
        assert out.stdout.strip().splitlines() == ["imported"]
        assert out.returncode != 0
        assert "ImportError: " + SUBINTERPRETER_PREFIX in out.stderr
