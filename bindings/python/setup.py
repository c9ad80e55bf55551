"""The package's version is the library's: read from the project() line of the
top-level CMakeLists.txt, the one place where it is written (ORNA_SOURCE_DIR
names the source tree when the package is built from a copy)."""
import os
import re
from pathlib import Path

from setuptools import setup


def project_version():
    root = os.environ.get("ORNA_SOURCE_DIR") or Path(__file__).resolve().parents[2]
    cmake = Path(root) / "CMakeLists.txt"
    m = re.search(r"project\(\s*orna\s+VERSION\s+([0-9.]+)", cmake.read_text())
    if not m:
        raise RuntimeError(f"no project version in {cmake}")
    return m.group(1)


setup(version=project_version())
