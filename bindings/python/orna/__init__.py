"""Python interface to liborna, the host-side driver of the ORNA ECG simulator.

    import orna

    with orna.Orna() as sim:                 # opens /dev/ttyACM0..3, closes on exit
        sim.amplitude = 1.0                  # mV peak to peak
        sim.pacing_amplitude = 5.0           # mV; 0 switches pacing off
        sim.output_function = orna.OutputFunction.CAL_ECG

    orna.list_ports()                        # ttyACM ports with USB IDs and serial numbers
    orna.Orna(port="/dev/serial/by-id/...")  # exactly this port, held exclusively

A refused value raises RefusedValue (a ValueError) and changes nothing; its
message is the library's own sentence (orna.result_text). `status` gives the
link's health; `on_link_lost` tells when the instrument was unplugged.
The library keeps one instrument per process, so only one Orna can be open.
"""
import ctypes
import dataclasses
import enum
import os
import threading

from . import _library

__all__ = ["Orna", "OutputFunction", "OrnaError", "NoInstrument", "NotOpen", "RefusedValue",
           "PortBusy", "PortInfo", "LinkStatus", "list_ports", "result_text", "sdk_version",
           "library"]


class OutputFunction(enum.IntEnum):
    NONE = 0
    SINE = 1
    TRIANGLE = 2
    SQUARE = 3
    PULSE = 4
    TRIANGLE_PULSE = 5
    EXPONENTIAL = 6
    CAL_ECG = 7
    IEC227 = 8
    IEC251 = 9
    ECG_NOTCHED_R = 10
    ECG_SINGLE_R = 11
    BIEXPONENTIAL = 12
    ECG_FILE = 13


class OrnaError(Exception):
    """A library call failed; `code` is the C function's result."""

    def __init__(self, message, code=None):
        super().__init__(message)
        self.code = code


class NoInstrument(OrnaError):
    """No instrument answered (on /dev/ttyACM0..3, or on the chosen port), or
    the chosen port cannot be opened."""


class PortBusy(NoInstrument):
    """Another process holds the chosen port."""


class NotOpen(OrnaError):
    """The call needs an open instrument (the library answered -1)."""


class RefusedValue(OrnaError, ValueError):
    """The library refused a value; nothing changed."""


def library():
    """The ctypes handle of liborna.so (see ORNA_LIBRARY)."""
    return _library.load()


def sdk_version():
    return library().GetSDKVersion().decode()


def _text(raw):
    return None if raw is None else raw.decode("utf-8", "replace")


def result_text(function, code):
    """The library's sentence for result `code` of C function `function`, or None."""
    return _text(library().OrnaResultText(function.encode(), int(code)))


def _check(name, result, *args):
    if result == 0:
        return
    shown = ", ".join(repr(a) for a in args)
    reason = result_text(name, result) or "refused"
    if result == -1 and name not in ("LoadECGtxt", "OrnaLoadECGSamples"):
        raise NotOpen(f"{name}({shown}): {reason}", result)
    raise RefusedValue(f"{name}({shown}): {reason} (code {result})", result)


@dataclasses.dataclass(frozen=True)
class PortInfo:
    """A CDC ACM port of the system (orna.list_ports())."""
    path: str
    by_id: str
    vendor_id: int
    product_id: int
    serial: str
    manufacturer: str
    product: str


def list_ports():
    """The system's ttyACM ports, in number order, with their USB identity."""
    lib = library()
    n = lib.OrnaListPorts(None, 0)
    buf = (_library.PortInfo * max(n, 0))()
    while n > 0:
        n = lib.OrnaListPorts(buf, len(buf))
        if n <= len(buf):
            break
        buf = (_library.PortInfo * n)()  # a port appeared in between
    if n < 0:
        raise OrnaError(f"OrnaListPorts: {result_text('OrnaListPorts', n)}", n)

    def d(raw):
        return raw.decode("utf-8", "replace")
    return [PortInfo(d(p.path), d(p.by_id), p.vendor_id, p.product_id, d(p.serial),
                     d(p.manufacturer), d(p.product)) for p in buf[:n]]


@dataclasses.dataclass(frozen=True)
class LinkStatus:
    """The connection's state and counters since it opened (Orna.status)."""
    open: bool
    lost: bool
    streaming: bool
    requests: int
    packets: int
    sequence_errors: int
    write_failures: int
    bytes_dropped: int


def _setting(getter, setter, kind=float, doc=""):
    def get(self):
        return kind(getattr(library(), getter)())

    def put(self, value):
        if kind is int and value != int(value):
            raise RefusedValue(f"{setter}({value!r}): needs a whole number")
        self._call(setter, kind(value))

    return property(get, put, doc=doc)


class Orna:
    """The simulator. Use as a context manager, or call open() and close()."""

    _open_instance = None
    _guard = threading.Lock()

    def __init__(self, port=None):
        """`port`: open exactly this device (e.g. a /dev/serial/by-id link)
        instead of scanning /dev/ttyACM0..3."""
        self._lib = library()
        self._port = None if port is None else os.fsencode(port)
        self._callbacks = {}
        # Callbacks replaced while they may still be running on the library's
        # thread stay referenced until close().
        self._retired = []
        self.callback_errors = []
        self.is_open = False

    # ---- opening and closing -------------------------------------------------
    def open(self):
        with Orna._guard:
            if Orna._open_instance is not None and Orna._open_instance is not self:
                raise OrnaError("another Orna object already holds the instrument")
            if self._port is None:
                r = self._lib.InitORNA()
                if r != 1:
                    raise NoInstrument(result_text("InitORNA", r), r)
            else:
                r = self._lib.OrnaOpenPort(self._port)
                if r != 1:
                    why = _text(self._lib.OrnaLastErrorText()) or result_text("OrnaOpenPort", r)
                    raise (PortBusy if r == -16 else NoInstrument)(why, r)
            Orna._open_instance = self
            self.is_open = True
        return self

    def close(self):
        with Orna._guard:
            if not self.is_open:
                return
            for register in ("RegisterTimeAmpCB", "RegisterPacingTimeAmpCB",
                             "RegisterSyncFreqCB", "RegisterSyncMainFuncCB",
                             "OrnaRegisterLinkLostCB"):
                getattr(self._lib, register)(None)
            self._lib.CloseORNA()
            self._callbacks.clear()
            self._retired.clear()
            self.is_open = False
            Orna._open_instance = None

    def __enter__(self):
        return self.open()

    def __exit__(self, *exc):
        self.close()
        return False

    def reset(self):
        """Every setting back to its default (streaming stops)."""
        return self._lib.ResetORNA()

    def _call(self, name, *args):
        _check(name, getattr(self._lib, name)(*args), *args)

    # ---- identity -------------------------------------------------------------
    port = property(lambda self: _text(self._lib.GetUSBPort()))
    serial_number = property(lambda self: _text(self._lib.GetSerialNo()))
    hw_info = property(lambda self: _text(self._lib.GetHWInfo()))
    hw_version = property(lambda self: _text(self._lib.GetHWVersion()))
    fw_version = property(lambda self: _text(self._lib.GetFWVersion()))

    @property
    def status(self):
        """LinkStatus: open, lost (the device went away), streaming, and the
        counters since the connection opened."""
        raw = _library.LinkStatus()
        raw.size = ctypes.sizeof(raw)
        self._lib.OrnaGetLinkStatus(ctypes.byref(raw))
        return LinkStatus(bool(raw.open), bool(raw.lost), bool(raw.streaming), raw.requests,
                          raw.packets, raw.sequence_errors, raw.write_failures,
                          raw.bytes_dropped)

    def read_ad(self):
        """One AD exchange: 0..65535 (0 on failure)."""
        return self._lib.GetAD()

    # ---- output and signal settings -------------------------------------------
    @property
    def output_function(self):
        return OutputFunction(self._lib.GetOutputFunc())

    @output_function.setter
    def output_function(self, fn):
        fn = OutputFunction(fn)  # ValueError for numbers without a function
        self._call("SetOutputFunc", int(fn))

    def play_iec227(self, index):
        self._call("SetSpecialWave227", int(index))

    def play_iec251(self, index):
        self._call("SetSpecialWave251", int(index))

    iec227_index = property(lambda self: self._lib.GetSpecialWave227())
    iec251_index = property(lambda self: self._lib.GetSpecialWave251())

    amplitude = _setting("GetAmplitude", "SetAmplitude", doc="mV peak to peak")
    frequency = _setting("GetFrequency", "SetFrequency", doc="Hz")
    dc_offset = _setting("GetDCOffset", "SetDCOffset", int, doc="whole mV")
    dc_offset_variable_mode = _setting("GetDCOffsetVariableMode", "SetDCOffsetVariableMode", bool)
    dc_offset_common_mode = _setting("GetDCOffsetCommoneMode", "SetDCOffsetCommoneMode", bool)
    input_impedance_mode = _setting("GetInputImpedanceMode", "SetInputImpedanceMode", bool)
    pulse_width = _setting("GetPulseWidth", "SetPulseWidth", doc="ms")
    qrs_duration = _setting("GetQRSDuration", "SetQRSDuration", doc="ms")
    t_wave = _setting("GetTWave", "SetTWave", doc="mV")
    pacing_amplitude = _setting("GetPacingAmplitude", "SetPacingAmplitude", doc="mV; 0 = off")
    pacing_duration = _setting("GetPacingDuration", "SetPacingDuration", doc="ms")
    pacing_rate = _setting("GetPacingRate", "SetPacingRate", int, doc="per minute")
    pacing_pulse_mode = _setting("GetPacingPulseMode", "SetPacingPulseMode", int,
                                 doc="0 one pulse, other two")
    overshoot_time_constant = _setting("GetOvershootTimeConstant", "SetOvershootTimeConstant", int,
                                       doc="ms")

    def set_lead(self, lead, on=True):
        self._call("SetOutputLead", int(lead), bool(on))

    def lead(self, lead):
        return bool(self._lib.GetOutputLead(int(lead)))

    # ---- test modes -----------------------------------------------------------
    def freq_scan_sine(self, on, start_hz=0.67, stop_hz=500.0, duration_s=60):
        self._call("SetFreqScanSine", bool(on), float(start_hz), float(stop_hz), int(duration_s))

    def freq_scan_ecg(self, on):
        self._call("SetFreqScanECG", bool(on))

    def mains_noise(self, mode, amplitude_mv=0.1):
        """mode 0 off, 1 = 50 Hz, 2 = 60 Hz; on the calibration ECG only."""
        self._call("SetECG2_27_Noise", int(mode), float(amplitude_mv))

    def drift_test(self, on):
        self._call("SetECG2_27_AAMIDriftTest", bool(on))

    def dynamic_range_test(self, on, amplitude_mv=1.0, frequency_hz=40.0):
        self._call("SetDynamicRangeTest", bool(on), float(amplitude_mv), float(frequency_hz))

    def baseline_reset_test(self, mode):
        """0 ends it; 1..4 = 50, 60, 80, 100 Hz on the sine."""
        self._call("SetBaselineResetTest", int(mode))

    def load_ecg_txt(self, path):
        """Loads a text waveform for OutputFunction.ECG_FILE; returns the sample count."""
        encoded = os.fsdecode(path).encode("utf-16-le") + b"\0\0"
        buf = ctypes.create_string_buffer(encoded, len(encoded))
        n = self._lib.LoadECGtxt(buf)
        if n <= 0:
            _check("LoadECGtxt", n if n < 0 else -3, os.fsdecode(path))
        return n

    def load_ecg_samples(self, microvolts, samples_per_second):
        """Loads a waveform for OutputFunction.ECG_FILE from memory: a sequence of
        numbers, or a buffer of doubles (array('d'), a float64 array), in
        microvolts; returns the sample count. Safe while ECG_FILE plays."""
        try:
            view = memoryview(microvolts)
        except TypeError:
            view = None
        if view is not None and view.format == "d" and view.c_contiguous:
            count = view.nbytes // ctypes.sizeof(ctypes.c_double)
            samples = (ctypes.c_double * count).from_buffer_copy(view)
        else:
            values = [float(v) for v in microvolts]
            count = len(values)
            samples = (ctypes.c_double * count)(*values)
        n = self._lib.OrnaLoadECGSamples(samples, count, float(samples_per_second))
        if n <= 0:
            _check("OrnaLoadECGSamples", n if n < 0 else -3, count, samples_per_second)
        return n

    # ---- callbacks ------------------------------------------------------------
    def _register(self, register, cftype, func):
        if func is None:
            c_func = None
        else:
            def call(*args):
                try:
                    func(*args)
                except BaseException as e:  # never unwind into the C library
                    self.callback_errors.append(e)
            c_func = cftype(call)
        old = self._callbacks.get(register)
        getattr(self._lib, register)(c_func)
        if old is not None:
            self._retired.append(old)
        self._callbacks[register] = c_func

    def on_graph(self, func):
        """func(time_s, value_mV) every 30th sample; None unregisters."""
        self._register("RegisterTimeAmpCB", _library.TIME_AMP_CB, func)

    def on_pacing(self, func):
        """func(time_s, value_mV): four points around each pacing pulse."""
        self._register("RegisterPacingTimeAmpCB", _library.TIME_AMP_CB, func)

    def on_sync_frequency(self, func):
        """func(frequency_Hz) when the library changes the frequency itself."""
        self._register("RegisterSyncFreqCB", _library.SYNC_FREQ_CB, func)

    def on_sync_function(self, func):
        """func(OutputFunction) when the library changes the output itself."""
        self._register("RegisterSyncMainFuncCB", _library.SYNC_FUNC_CB,
                       None if func is None else (lambda n: func(OutputFunction(n))))

    def on_link_lost(self, func):
        """func() once, on the library's thread, when the instrument goes away
        (unplugged); from then on setters raise NotOpen. None unregisters."""
        self._register("OrnaRegisterLinkLostCB", _library.LINK_LOST_CB, func)
