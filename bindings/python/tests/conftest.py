import os
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

import orna  # noqa: E402
import orna.testing  # noqa: E402


def _bench(tmp_path, scan):
    return orna.testing.VirtualBench(speed=float(os.environ.get("ORNA_TEST_SPEED", "2")),
                                     record=tmp_path / "played.csv", scan=scan)


@pytest.fixture
def bench(tmp_path):
    """The virtual instrument on a pseudo-terminal (bench.port), recording to CSV."""
    with _bench(tmp_path, scan=False) as b:
        yield b


@pytest.fixture
def scan_bench(tmp_path):
    """The same on a umockdev-faked /dev/ttyACM0, for code that scans."""
    problem = orna.testing.missing_umockdev()
    if problem:
        pytest.exit(problem, returncode=2)
    if not orna.testing.under_umockdev():
        pytest.fail("these tests need umockdev: umockdev-wrapper /usr/bin/python3 -m pytest ...")
    with _bench(tmp_path, scan=True) as b:
        yield b


def read_csv(path):
    """[(t, mV, high_range)] from a recording."""
    rows = []
    with open(path) as f:
        assert f.readline().strip() == "time_s,value_mV,high_range,pacing_pulse"
        for line in f:
            t, v, h, _ = line.strip().split(",")
            rows.append((float(t), float(v), h == "1"))
    return rows
