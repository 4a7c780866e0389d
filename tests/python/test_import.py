import subprocess
import sys

import corvalinth


def test_module_name_and_doc():
    assert corvalinth.__name__ == "corvalinth"
    assert corvalinth.__doc__.startswith("corvalinth - High-performance machine learning library")


def test_import_in_fresh_process():
    out = subprocess.run([sys.executable, "-c", "import corvalinth; print(corvalinth.__name__)"],
                         capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "corvalinth"
