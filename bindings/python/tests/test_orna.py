import time

import pytest

import orna
from conftest import read_csv


def wait_played(bench, seconds):
    # The instrument's clock runs `speed` times real time.
    time.sleep(seconds / bench.speed)


def test_identity_and_close(bench):
    with orna.Orna() as sim:
        assert sim.is_open
        assert sim.port == "/dev/ttyACM0"
        assert sim.serial_number == "SN0042"
        assert (sim.hw_info, sim.hw_version, sim.fw_version) == ("WO1507042", "2.3", "1.4")
        with pytest.raises(orna.OrnaError, match="already holds"):
            orna.Orna().open()
    assert not sim.is_open
    with pytest.raises(orna.NotOpen) as e:
        sim.amplitude = 1.0
    assert e.value.code == -1
    # Once closed, another object may open it again.
    with orna.Orna() as again:
        assert again.serial_number == "SN0042"


def test_refused_values_change_nothing(bench):
    with orna.Orna() as sim:
        sim.amplitude = 2.5
        with pytest.raises(orna.RefusedValue, match="outside -10..10 mV") as e:
            sim.amplitude = 10.5
        assert e.value.code == -2 and isinstance(e.value, ValueError)
        assert sim.amplitude == 2.5
        for name, bad in [("pacing_rate", 5), ("pacing_amplitude", 701.0), ("qrs_duration", 4.0),
                          ("overshoot_time_constant", 101), ("dc_offset", 301)]:
            before = getattr(sim, name)
            with pytest.raises(orna.RefusedValue):
                setattr(sim, name, bad)
            assert getattr(sim, name) == before, name
        with pytest.raises(orna.RefusedValue, match="whole number"):
            sim.dc_offset = 1.5
        with pytest.raises(ValueError):
            sim.output_function = 14
        with pytest.raises(orna.RefusedValue, match="0..9"):
            sim.play_iec227(10)
        with pytest.raises(orna.RefusedValue, match="calibration ECG") as e:
            sim.mains_noise(1, 0.1)
        assert e.value.code == -2
        with pytest.raises(orna.RefusedValue, match="duration") as e:
            sim.freq_scan_sine(True, 1.0, 10.0, 5)
        assert e.value.code == -4
        sim.set_lead(3, True)
        assert sim.lead(3) and not sim.lead(4)


def test_sine_and_pacing_reach_the_instrument(bench):
    with orna.Orna() as sim:
        sim.amplitude = 2.0
        sim.frequency = 10.0
        sim.pacing_amplitude = 5.0
        sim.pacing_rate = 120
        sim.pacing_duration = 1.0
        sim.output_function = orna.OutputFunction.SINE
        assert sim.output_function is orna.OutputFunction.SINE
        wait_played(bench, 2.5)
        sim.output_function = orna.OutputFunction.NONE
    bench.stop()
    rows = read_csv(bench.record)
    assert len(rows) > 5000
    normal = [v for _, v, high in rows if not high]
    # 2 mV peak to peak around zero, within one converter step.
    assert max(normal) == pytest.approx(1.0, abs=0.005)
    assert min(normal) == pytest.approx(-1.0, abs=0.005)
    # Pacing pulses go out on the high range: 1 ms at 5 mV (five samples),
    # then back to zero; two per second.
    runs, starts = [], []
    for i, (t, v, high) in enumerate(rows):
        if high and (i == 0 or not rows[i - 1][2]):
            runs.append([])
            starts.append(t)
        if high:
            runs[-1].append(v)
    assert len(runs) >= 4
    assert all(run == [5.0] * 5 + [0.0] for run in runs[:-1])
    gaps = [b - a for a, b in zip(starts, starts[1:])]
    assert all(g == pytest.approx(0.5, abs=0.001) for g in gaps)
    assert bench.stats["underruns"] == 0 and bench.stats["sequence_gaps"] == 0


def test_callbacks_are_kept_alive_and_errors_do_not_escape(bench):
    points = []
    with orna.Orna() as sim:
        sim.amplitude = 2.0
        sim.frequency = 5.0

        def graph(t, v):
            points.append((t, v))
            if len(points) == 3:
                raise RuntimeError("boom")

        sim.on_graph(graph)
        sim.output_function = orna.OutputFunction.SINE
        wait_played(bench, 1.5)
        sim.on_graph(None)
        count = len(points)
        wait_played(bench, 0.5)
        assert len(points) == count  # unregistered: no more calls
    assert len(points) > 100
    assert [type(e) for e in sim.callback_errors] == [RuntimeError]
    steps = {round(b[0] - a[0], 6) for a, b in zip(points, points[1:])}
    assert steps == {0.006}
    assert max(v for _, v in points) <= 1.0 + 1e-9
    assert min(v for _, v in points) >= -1.0 - 1e-9


def test_load_ecg_txt(bench, tmp_path):
    wave = tmp_path / "wave.txt"
    wave.write_text("5000\n4\n0\n500\n1000\n-500\n")
    with orna.Orna() as sim:
        assert sim.load_ecg_txt(wave) == 4
        with pytest.raises(orna.RefusedValue, match="cannot open") as e:
            sim.load_ecg_txt(tmp_path / "missing.txt")
        assert e.value.code == -1
