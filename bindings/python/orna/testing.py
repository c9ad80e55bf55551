"""Try bench scripts without hardware: the virtual instrument on a pseudo-terminal.

`orna emulate` plays the instrument on a new pseudo-terminal; the bench's
`port` is its path, which the library opens with OrnaOpenPort:

    import orna, orna.testing

    with orna.testing.VirtualBench(record="out.csv") as bench, orna.Orna(port=bench.port) as sim:
        sim.output_function = orna.OutputFunction.CAL_ECG
        ...
    # after the with-block, out.csv holds every sample the instrument played

Needs only the `orna` program (ORNA_CLI, the build tree, or PATH).

Programs that only scan /dev/ttyACM0..3 (InitORNA, orna.Orna() without a
port) need the instrument on /dev/ttyACM0 itself: VirtualBench(scan=True)
fakes that device with umockdev (no root needed). The process that loads
liborna.so must then run under umockdev's preload library, so start it with
`umockdev-wrapper /usr/bin/python3 my_script.py` (or call
orna.testing.reexec_under_umockdev() first thing); it needs Debian's umockdev,
gir1.2-umockdev-1.0 and python3-gi.
"""
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

PRELOAD = "libumockdev-preload.so"

# A USB CDC ACM serial port as udev describes it.
_DEVICE = """P: /devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/tty/ttyACM0
N: ttyACM0
E: DEVNAME=/dev/ttyACM0
E: SUBSYSTEM=tty
E: ID_BUS=usb
E: ID_USB_DRIVER=cdc_acm
"""


def under_umockdev():
    """True when this process runs with umockdev's preload library."""
    return PRELOAD in os.environ.get("LD_PRELOAD", "")


def reexec_under_umockdev():
    """Restarts this Python process under umockdev-wrapper unless it already runs there."""
    if under_umockdev():
        return
    _umockdev()  # the restart would end in the same missing import
    wrapper = shutil.which("umockdev-wrapper")
    if wrapper is None:
        raise RuntimeError("umockdev-wrapper not found: apt-get install umockdev")
    os.execv(wrapper, [wrapper, sys.executable] + sys.argv)


def missing_umockdev():
    """None when this interpreter has umockdev's bindings, else a one-line fix."""
    try:
        import gi
        gi.require_version("UMockdev", "1.0")
        from gi.repository import UMockdev  # noqa: F401
    except (ImportError, ValueError):
        return (f"{sys.executable} cannot import umockdev's bindings (gi, UMockdev 1.0): "
                "apt-get install python3-gi gir1.2-umockdev-1.0 and run with /usr/bin/python3")
    return None


def _umockdev():
    problem = missing_umockdev()
    if problem:
        # A fault of the set-up, not of the script: one line says what to do.
        raise SystemExit("orna.testing: " + problem)
    from gi.repository import UMockdev
    return UMockdev


def find_cli():
    """Path of the `orna` program."""
    env = os.environ.get("ORNA_CLI")
    if env:
        return env
    built = Path(__file__).resolve().parents[3] / "build" / "tools" / "orna"
    if built.exists():
        return str(built)
    found = shutil.which("orna")
    if found:
        return found
    raise RuntimeError("the orna program was not found; set ORNA_CLI to its path")


class VirtualBench:
    """The virtual instrument on a pseudo-terminal (its path is `port`).

    speed: the instrument's clock, times real time.
    record: file that receives, when the bench stops, every sample played
    (EDF+ for *.edf, CSV with time_s,value_mV,high_range,pacing_pulse otherwise).
    scan: serve a umockdev-faked /dev/ttyACM0 instead, for code that scans.
    """

    def __init__(self, speed=1.0, record=None, cli=None, scan=False):
        self.speed = speed
        self.record = None if record is None else os.fspath(record)
        self.cli = cli or find_cli()
        self.scan = scan
        self.port = None
        self.testbed = None
        self.process = None
        self.summary = ""
        self.stats = {}  # packets, samples, underruns, sequence_gaps once stopped

    def start(self):
        if self.scan:
            return self._start_scanned()
        self._run([self.cli, "emulate", "--speed", str(self.speed)], ())
        return self

    def _run(self, args, pass_fds):
        if self.record:
            args += ["--record", self.record]
        self.process = subprocess.Popen(args, pass_fds=pass_fds, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True)
        # The instrument prints its terminal's path once it serves.
        self.port = self.process.stdout.readline().strip()
        if not self.port:
            self.process.wait()
            raise RuntimeError("orna emulate ended at once: " + self.process.stderr.read())

    def _start_scanned(self):
        if not under_umockdev():
            raise RuntimeError("run under umockdev-wrapper (or call "
                               "orna.testing.reexec_under_umockdev() first)")
        UMockdev = _umockdev()

        self.testbed = UMockdev.Testbed.new()
        self.testbed.add_from_string(_DEVICE)
        fd = self.testbed.get_dev_fd("/dev/ttyACM0")
        if fd < 0:
            raise RuntimeError("the test bed gave no terminal for /dev/ttyACM0")
        self._run([self.cli, "emulate", "--fd", str(fd), "--speed", str(self.speed)], [fd])
        self.port = "/dev/ttyACM0"
        return self

    def stop(self):
        """Stops the instrument (it writes its recording) and removes the fake device."""
        if self.process is not None:
            self.process.terminate()
            try:
                _, self.summary = self.process.communicate(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                _, self.summary = self.process.communicate()
            self.stats = _parse_stats(self.summary)
            code = self.process.returncode
            self.process = None
            if code != 0:
                raise RuntimeError(f"orna emulate failed ({code}): {self.summary}")
        # Dropping the test bed removes the fake device.
        self.testbed = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False


def _parse_stats(summary):
    """'packets 5, samples 5654, underruns 0, sequence gaps 0' -> dict of ints."""
    stats = {}
    for line in summary.splitlines():
        if line.startswith("packets "):
            for part in line.split(","):
                *words, value = part.split()
                stats["_".join(words)] = int(value)
    return stats
