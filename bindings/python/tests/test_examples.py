"""The example programs, run against the virtual instrument like a bench script."""
import os
import re
import subprocess
from pathlib import Path

import pytest

import orna

from conftest import read_csv

EXAMPLES = Path(os.environ.get("ORNA_EXAMPLES_DIR",
                               Path(__file__).resolve().parents[3] / "build" / "examples"))


def run(name):
    path = EXAMPLES / name
    if not path.exists():
        pytest.fail(f"{path} not built (set ORNA_EXAMPLES_DIR)")
    return subprocess.run([str(path)], capture_output=True, text=True, timeout=60)


def test_c_example_plays_sine_then_paced_calibration_ecg(scan_bench):
    done = run("example_calibration_ecg")
    assert done.returncode == 0, done.stderr
    assert f"instrument SN0042 on /dev/ttyACM0, library {orna.sdk_version()}" in done.stdout
    assert "output 7, amplitude 2.0 mV, pacing 5.0 mV" in done.stdout
    scan_bench.stop()
    rows = read_csv(scan_bench.record)
    # The sine first: 1 mV peak to peak.
    first = [v for t, v, high in rows if t < 0.4 and not high]
    assert max(first) == pytest.approx(0.5, abs=0.005) and min(first) == pytest.approx(-0.5, abs=0.005)
    assert any(high and v == 5.0 for _, v, high in rows)
    assert scan_bench.stats["underruns"] == 0 and scan_bench.stats["sequence_gaps"] == 0


def test_cpp_example_sees_the_amplitude_change(scan_bench):
    done = run("example_streaming")
    assert done.returncode == 0, done.stderr
    m = re.search(r"graph points (\d+), peak ([\d.]+) mV then ([\d.]+) mV, amplitude 2.0 mV", done.stdout)
    assert m, done.stdout
    points, before, after = int(m[1]), float(m[2]), float(m[3])
    assert points > 100
    # The callback sees every 30th sample, so its peaks only roughly follow the R wave.
    assert after > 1.3 * before
    scan_bench.stop()
    rows = read_csv(scan_bench.record)
    end = rows[-1][0]
    first = max(v for t, v, high in rows if t < 0.8 and not high)
    last = max(v for t, v, high in rows if t > end - 1.0 and not high)
    assert last == pytest.approx(2 * first, rel=0.02)
