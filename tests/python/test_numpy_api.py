"""Run-time access to NumPy's C-API table ("_ARRAY_API" of numpy.core.multiarray).

The table is fetched once per process, on first need, so every test runs in a
fresh interpreter.
"""

from __future__ import annotations

import json
import re
import subprocess
import sys

import pytest

from conftest import run_python

PREAMBLE = r'''
import builtins, ctypes, json, sys
import numpy as np
import numpy.core.multiarray as multiarray
import corvalinth

# Under NumPy 2, numpy.core.multiarray is a shim whose missing attributes are
# looked up in numpy._core.multiarray: a missing table is missing from both.
NUMPY2 = int(np.__version__.split(".")[0]) >= 2
if NUMPY2:
    import numpy._core.multiarray as real_multiarray

def panic_message(call):
    try:
        call()
    except BaseException as e:
        if type(e).__name__ != "PanicException":
            raise
        return str(e)
    raise AssertionError("no PanicException raised")

real_import = builtins.__import__
imports = []
def counting_import(name, *args, **kwargs):
    if name == "numpy.core.multiarray":
        imports.append(name)
    return real_import(name, *args, **kwargs)
builtins.__import__ = counting_import

x = np.array([[0.0, 0.0], [0.0, 1.0], [1.0, 0.0], [10.0, 10.0], [10.0, 11.0], [11.0, 10.0]])
model = corvalinth.KMeans(n_clusters=2, max_iters=5, random_state=0)
'''

PREFIX = "Failed to access NumPy array API capsule: "
PYERR = r"PyErr \{ type: <class '(\w+)'>, value: (.*), traceback: (None|Some\(<traceback object at 0x[0-9a-f]+>\)) \}"


def run_child(body: str) -> dict:
    done = run_python(PREAMBLE + body)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


def parse_failure(message: str):
    assert message.startswith(PREFIX), message
    m = re.fullmatch(PYERR, message[len(PREFIX):])
    assert m, message
    return m.group(1), m.group(2), m.group(3)


def test_table_is_fetched_on_first_need_only():
    out = run_child(r'''
counts = [len(imports)]
model.cluster_centers_            # needs no array: nothing imported
counts.append(len(imports))
model.fit(x)                      # NumPy's table, then the borrow registry
counts.append(len(imports))
labels = model.predict(x)
model.fit_predict(x)
model.cluster_centers_
counts.append(len(imports))
print(json.dumps({"counts": counts, "labels": labels.tolist()}))
''')
    assert out["counts"] == [0, 0, 2, 2]
    assert out["labels"] == [0, 0, 0, 1, 1, 1] or out["labels"] == [1, 1, 1, 0, 0, 0]


@pytest.mark.parametrize("block, kind, value, traceback", [
    # The module cannot be imported at all.
    ('sys.modules["numpy.core.multiarray"] = None', "ModuleNotFoundError",
     "ModuleNotFoundError('import of numpy.core.multiarray halted; None in sys.modules')", "Some"),
    # An import hook refuses it.
    ('def refuse(name, *a, **k):\n'
     '    if name == "numpy.core.multiarray": raise ImportError("no NumPy today")\n'
     '    return counting_import(name, *a, **k)\n'
     'builtins.__import__ = refuse', "ImportError", "ImportError('no NumPy today')", "Some"),
    # The attribute is missing.
    ('saved_api = multiarray._ARRAY_API\ndel multiarray._ARRAY_API\n'
     'if NUMPY2: del real_multiarray._ARRAY_API', "AttributeError",
     # The error of reading the attribute in Python: NumPy 1 says
     # "... has no attribute '_ARRAY_API'", NumPy 2's shim leaves out the quotes.
     # The shim raises it from Python code, so it carries a traceback there.
     None, None),
    # The attribute is not a capsule.
    ('multiarray._ARRAY_API = 5', "TypeError",
     "TypeError(\"'int' object cannot be converted to 'PyCapsule'\")", "None"),
    ('multiarray._ARRAY_API = [multiarray._ARRAY_API]', "TypeError",
     "TypeError(\"'list' object cannot be converted to 'PyCapsule'\")", "None"),
    # A capsule whose pointer cannot be read.
    ('ctypes.pythonapi.PyCapsule_New.restype = ctypes.py_object\n'
     'ctypes.pythonapi.PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]\n'
     'hollow = ctypes.pythonapi.PyCapsule_New(8, None, None)\n'
     'ctypes.c_void_p.from_address(id(hollow) + 16).value = None\n'
     'multiarray._ARRAY_API = hollow', "SystemError",
     "SystemError(\"NumPy's _ARRAY_API capsule holds a null pointer\")", "None"),
])
def test_unavailable_table_is_a_panic_and_is_retried(block, kind, value, traceback):
    out = run_child(r'''
real_api = multiarray._ARRAY_API
''' + block + r'''
messages = [panic_message(lambda: model.fit(x)),
            panic_message(lambda: model.predict(x)),
            panic_message(lambda: model.fit_predict(x))]
try:
    multiarray._ARRAY_API
    read_error = None
except AttributeError as e:
    read_error = repr(e)
unfitted = model.cluster_centers_ is None
# Repair NumPy: the next call fetches the table again and succeeds.
builtins.__import__ = counting_import
sys.modules["numpy.core.multiarray"] = multiarray
multiarray._ARRAY_API = real_api
if NUMPY2: real_multiarray._ARRAY_API = real_api
model.fit(x)
print(json.dumps({"messages": messages, "unfitted": unfitted, "read_error": read_error, "numpy2": NUMPY2,
                  "centres": model.cluster_centers_.shape}))
''')
    if value is None:
        assert out["read_error"] and "_ARRAY_API" in out["read_error"]
        value = out["read_error"]
        traceback = "Some" if out["numpy2"] else "None"
    assert out["unfitted"] is True
    assert out["centres"] == [2, 2]
    for message in out["messages"]:
        got_kind, got_value, got_traceback = parse_failure(message)
        assert (got_kind, got_value) == (kind, value)
        assert got_traceback.startswith(traceback)


def test_first_table_is_kept():
    # Once fetched, the table no longer depends on the attribute.
    out = run_child(r'''
model.fit(x)
multiarray._ARRAY_API = 5
del sys.modules["numpy.core.multiarray"]
before = len(imports)
labels = model.predict(x).tolist()
centres = model.cluster_centers_.tolist()
print(json.dumps({"imports": len(imports) - before, "labels": labels, "rows": len(centres)}))
''')
    assert out["imports"] == 0
    assert sorted(set(out["labels"])) == [0, 1]
    assert out["rows"] == 2



@pytest.mark.parametrize("version", [0x03000000, 0x00000009, 0xFF000000])
def test_unknown_abi_major_is_refused_and_not_cached(version):
    """A table whose slot 0 (the C ABI version) names a major other than 1 or
    2 is refused like any other unusable table; the real one works after."""
    out = run_child(rf'''
VersionFn = ctypes.CFUNCTYPE(ctypes.c_uint)
report_version = VersionFn(lambda: {version})
fake_table = (ctypes.c_void_p * 1)(ctypes.cast(report_version, ctypes.c_void_p).value)
ctypes.pythonapi.PyCapsule_New.restype = ctypes.py_object
ctypes.pythonapi.PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
fake = ctypes.pythonapi.PyCapsule_New(ctypes.addressof(fake_table), None, None)
real_api = multiarray._ARRAY_API
multiarray._ARRAY_API = fake
messages = [panic_message(lambda: model.fit(x)), panic_message(lambda: model.predict(x))]
multiarray._ARRAY_API = real_api
model.fit(x)
print(json.dumps({{"messages": messages, "centres": model.cluster_centers_.shape}}))
''')
    assert out["centres"] == [2, 2]
    for message in out["messages"]:
        kind, value, traceback = parse_failure(message)
        assert kind == "ImportError"
        assert value == f"ImportError('NumPy C ABI version 0x{version:08x} is not supported (majors 1 and 2 are)')"
        assert traceback == "None"


def test_no_warning_on_any_path():
    """Under `python -W error`, importing the module, the first call (which
    fetches the table and installs the registry), every method and getter,
    and a refused input raise no warning on either NumPy major."""
    code = r'''
import json, numpy as np, corvalinth
x = np.random.default_rng(0).normal(size=(200, 3))
model = corvalinth.KMeans(n_clusters=3, random_state=0)
model.fit(x)
labels = model.predict(x[::2])
both = model.fit_predict(np.asfortranarray(x))
try:
    model.fit(x.astype(np.float32))
except TypeError:
    pass
print(json.dumps({"labels": len(labels), "both": len(both), "centres": model.cluster_centers_.shape,
                  "n_iter": model.n_iter_ > 0, "inertia": model.inertia_ > 0}))
'''
    done = subprocess.run([sys.executable, "-W", "error", "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    assert json.loads(done.stdout) == {"labels": 100, "both": 200, "centres": [3, 3], "n_iter": True,
                                       "inertia": True}
