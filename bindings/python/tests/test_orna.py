import subprocess
import sys
import time
from pathlib import Path

import pytest

import orna
from conftest import read_csv


def wait_played(bench, seconds):
    # The instrument's clock runs `speed` times real time.
    time.sleep(seconds / bench.speed)


def test_identity_and_close(bench):
    with orna.Orna(port=bench.port) as sim:
        assert sim.is_open
        assert sim.port == bench.port
        assert sim.serial_number == "SN0042"
        assert (sim.hw_info, sim.hw_version, sim.fw_version) == ("WO1507042", "2.3", "1.4")
        with pytest.raises(orna.OrnaError, match="already holds"):
            orna.Orna(port=bench.port).open()
    assert not sim.is_open
    with pytest.raises(orna.NotOpen) as e:
        sim.amplitude = 1.0
    assert e.value.code == -1
    # Once closed, another object may open it again.
    with orna.Orna(port=bench.port) as again:
        assert again.serial_number == "SN0042"


def test_refused_values_change_nothing(bench):
    with orna.Orna(port=bench.port) as sim:
        sim.amplitude = 2.5
        with pytest.raises(orna.RefusedValue, match="amplitude outside -10 to 10 mV") as e:
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
        with pytest.raises(orna.RefusedValue, match="0 to 9"):
            sim.play_iec227(10)
        with pytest.raises(orna.RefusedValue, match="output 7") as e:
            sim.mains_noise(1, 0.1)
        assert e.value.code == -2
        with pytest.raises(orna.RefusedValue, match="duration") as e:
            sim.freq_scan_sine(True, 1.0, 10.0, 5)
        assert e.value.code == -4
        sim.set_lead(3, True)
        assert sim.lead(3) and not sim.lead(4)


def test_sine_and_pacing_reach_the_instrument(bench):
    with orna.Orna(port=bench.port) as sim:
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
    with orna.Orna(port=bench.port) as sim:
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
    with orna.Orna(port=bench.port) as sim:
        assert sim.load_ecg_txt(wave) == 4
        with pytest.raises(orna.RefusedValue, match="cannot open the file") as e:
            sim.load_ecg_txt(tmp_path / "missing.txt")
        assert e.value.code == -1


def test_load_ecg_samples_from_a_list_or_a_buffer(bench):
    import array
    with orna.Orna(port=bench.port) as sim:
        assert sim.load_ecg_samples([0, 500, 1000, -500], 5000) == 4
        assert sim.load_ecg_samples(array.array("d", [1.0] * 10), 250.0) == 10
        with pytest.raises(orna.RefusedValue, match="sample count is 0"):
            sim.load_ecg_samples([], 5000)
        with pytest.raises(orna.RefusedValue, match="not a positive finite"):
            sim.load_ecg_samples([1.0], 0)


def test_the_scan_finds_the_faked_device(scan_bench):
    with orna.Orna() as sim:
        assert sim.port == "/dev/ttyACM0"
        assert sim.serial_number == "SN0042"


def test_a_held_port_a_missing_one_and_the_status(bench, tmp_path):
    with pytest.raises(orna.NoInstrument, match="No such file or directory") as e:
        orna.Orna(port=tmp_path / "missing").open()
    assert e.value.code == -1
    lost = []
    with orna.Orna(port=bench.port) as sim:
        # Another process cannot take the instrument while this one holds it.
        other = subprocess.run(
            [sys.executable, "-c", "import orna, sys\n"
             "try: orna.Orna(port=sys.argv[1]).open()\n"
             "except orna.PortBusy as e: print(e.code, e)\n", bench.port],
            capture_output=True, text=True, timeout=30,
            env={**__import__("os").environ,
                 "PYTHONPATH": str(Path(orna.__file__).resolve().parents[1])})
        assert other.stdout.strip() == f"-16 {bench.port}: held by another process", other.stderr
        sim.on_link_lost(lambda: lost.append(time.monotonic()))
        sim.output_function = orna.OutputFunction.SINE
        deadline = time.monotonic() + 5
        while sim.status.packets < 3 and time.monotonic() < deadline:
            time.sleep(0.01)
        status = sim.status
        assert status.open and status.streaming and not status.lost
        assert status.packets >= 3 and status.requests >= 2 and status.write_failures == 0
        bench.stop()  # the instrument's terminal closes: a hang-up
        deadline = time.monotonic() + 2
        while not lost and time.monotonic() < deadline:
            time.sleep(0.01)
        assert len(lost) == 1
        status = sim.status
        assert status.lost and not status.open and not status.streaming
        with pytest.raises(orna.NotOpen, match="no instrument is open"):
            sim.amplitude = 2.0
    assert orna.list_ports() == [] or all(p.path.startswith("/dev/ttyACM") for p in orna.list_ports())
