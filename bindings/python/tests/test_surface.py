"""The package and the README keep up with the library's exported surface."""
import re
from pathlib import Path

import pytest

import orna
from orna import _library

ROOT = Path(__file__).resolve().parents[3]


def exported():
    text = (ROOT / "cmake" / "orna.map").read_text()
    block = text.split("global:")[1].split("local:")[0]
    return set(re.findall(r"[A-Za-z_]\w*", block))


def test_every_exported_function_is_bound_and_documented():
    names = exported()
    variables = {"g_RangeV4Ch2On", "g_RangeV4Ch2Off"}
    assert len(names) > 60
    assert names - variables == set(_library._SIGNATURES)
    readme = (ROOT / "README.md").read_text()
    assert {n for n in names if f"`{n}`" not in readme} == set()


def test_output_function_numbers_match_the_header():
    header = (ROOT / "include" / "orna.h").read_text()
    numbers = {int(v) for v in re.findall(r"OutputFunc\w+ = (\d+)", header)}
    assert numbers == {f.value for f in orna.OutputFunction}


def test_library_found_through_the_environment(monkeypatch, tmp_path):
    monkeypatch.setenv("ORNA_LIBRARY", str(tmp_path / "nothing.so"))
    monkeypatch.setattr(_library, "_lib", None)
    with pytest.raises(OSError, match="ORNA_LIBRARY"):
        _library.load()


def test_interpreter_without_umockdev_bindings_gets_one_line():
    # -S leaves out site-packages, where Debian keeps gi: a Python without it.
    import subprocess
    import sys
    code = ("import sys; sys.path.insert(0, %r); import orna.testing; "
            "orna.testing.VirtualBench(cli='orna', scan=True).start()" % str(ROOT / "bindings" / "python"))
    run = subprocess.run([sys.executable, "-S", "-c", code], capture_output=True, text=True,
                         env={"LD_PRELOAD": "libumockdev-preload.so"})
    assert run.returncode == 1
    assert run.stderr.count("\n") == 1 and "Traceback" not in run.stderr
    assert "apt-get install python3-gi gir1.2-umockdev-1.0" in run.stderr
