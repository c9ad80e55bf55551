import os
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

import orna  # noqa: E402
import orna.testing  # noqa: E402


@pytest.fixture
def bench(tmp_path):
    """A fake /dev/ttyACM0 served by the virtual instrument, recording to CSV."""
    problem = orna.testing.missing_umockdev()
    if problem:
        pytest.exit(problem, returncode=2)
    if not orna.testing.under_umockdev():
        pytest.fail("these tests need umockdev: umockdev-wrapper /usr/bin/python3 -m pytest ...")
    b = orna.testing.VirtualBench(speed=float(os.environ.get("ORNA_TEST_SPEED", "2")),
                                  record=tmp_path / "played.csv")
    with b:
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
