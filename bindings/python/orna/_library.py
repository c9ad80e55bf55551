"""Finds and loads liborna.so and declares the C functions' signatures."""
import ctypes
import ctypes.util
import os
from pathlib import Path

# Callback types of the C interface.
TIME_AMP_CB = ctypes.CFUNCTYPE(None, ctypes.c_double, ctypes.c_double)
SYNC_FREQ_CB = ctypes.CFUNCTYPE(None, ctypes.c_double)
SYNC_FUNC_CB = ctypes.CFUNCTYPE(None, ctypes.c_int)

LINK_LOST_CB = ctypes.CFUNCTYPE(None)

_D, _I, _B, _S = ctypes.c_double, ctypes.c_int, ctypes.c_bool, ctypes.c_char_p


class PortInfo(ctypes.Structure):
    """OrnaPortInfo of orna.h."""
    _fields_ = [("path", ctypes.c_char * 64), ("by_id", ctypes.c_char * 256),
                ("vendor_id", ctypes.c_ushort), ("product_id", ctypes.c_ushort),
                ("serial", ctypes.c_char * 64), ("manufacturer", ctypes.c_char * 64),
                ("product", ctypes.c_char * 64)]


class LinkStatus(ctypes.Structure):
    """OrnaLinkStatus of orna.h."""
    _fields_ = [("size", ctypes.c_uint), ("open", ctypes.c_int), ("lost", ctypes.c_int),
                ("streaming", ctypes.c_int), ("requests", ctypes.c_ulonglong),
                ("packets", ctypes.c_ulonglong), ("sequence_errors", ctypes.c_ulonglong),
                ("write_failures", ctypes.c_ulonglong), ("bytes_dropped", ctypes.c_ulonglong)]


# name: (result type, argument types)
_SIGNATURES = {
    "InitORNA": (_I, []), "CloseORNA": (_I, []), "ResetORNA": (_I, []),
    "GetUSBPort": (_S, []), "GetSerialNo": (_S, []), "GetHWInfo": (_S, []),
    "GetFWVersion": (_S, []), "GetHWVersion": (_S, []), "GetSDKVersion": (_S, []),
    "GetAD": (_I, []), "SpecifyCOMPort": (None, [_S]), "TriggerDeviceChanged": (_I, []),
    "GetOutputFunc": (_I, []), "GetSpecialWave227": (_I, []), "GetSpecialWave251": (_I, []),
    "GetAmplitude": (_D, []), "GetFrequency": (_D, []), "GetDCOffset": (_I, []),
    "GetDCOffsetVariableMode": (_B, []), "GetDCOffsetCommoneMode": (_B, []),
    "GetOutputLead": (_B, [_I]), "GetPulseWidth": (_D, []), "GetInputImpedanceMode": (_B, []),
    "GetPacingPulseMode": (_I, []), "GetQRSDuration": (_D, []), "GetTWave": (_D, []),
    "GetPacingAmplitude": (_D, []), "GetPacingDuration": (_D, []), "GetPacingRate": (_I, []),
    "GetOvershootTimeConstant": (_I, []), "GetBaselineResetTest": (_I, []),
    "GetECG2_27_NoiseFreq": (_I, []), "GetECG2_27_NoiseAmp": (_D, []),
    "GetECG2_27_AAMIDriftTest": (_B, []), "GetDynamicRangeTest": (_B, []),
    "GetDynamicRangeTestAmp": (_D, []), "GetDynamicRangeTestFreq": (_D, []),
    "GetFreqScanSine": (_B, []), "GetFreqScanSineStartFreq": (_D, []),
    "GetFreqScanSineStopFreq": (_D, []), "GetFreqScanSineDuration": (_I, []),
    "GetFreqScanECG": (_B, []),
    "SetOutputFunc": (_I, [_I]), "SetSpecialWave227": (_I, [_I]), "SetSpecialWave251": (_I, [_I]),
    "SetAmplitude": (_I, [_D]), "SetFrequency": (_I, [_D]), "SetDCOffset": (_I, [_I]),
    "SetDCOffsetVariableMode": (_I, [_B]), "SetPulseWidth": (_I, [_D]),
    "SetQRSDuration": (_I, [_D]), "SetTWave": (_I, [_D]), "SetPacingAmplitude": (_I, [_D]),
    "SetPacingDuration": (_I, [_D]), "SetPacingRate": (_I, [_I]), "SetPacingPulseMode": (_I, [_I]),
    "SetOvershootTimeConstant": (_I, [_I]), "SetOutputLead": (_I, [_I, _B]),
    "SetInputImpedanceMode": (_I, [_B]), "SetDCOffsetCommoneMode": (_I, [_B]),
    "SetFreqScanSine": (_I, [_B, _D, _D, _I]), "SetFreqScanECG": (_I, [_B]),
    "SetECG2_27_Noise": (_I, [_I, _D]), "SetECG2_27_AAMIDriftTest": (_I, [_B]),
    "SetDynamicRangeTest": (_I, [_B, _D, _D]), "SetBaselineResetTest": (_I, [_I]),
    # void*: takes a callback object or None (unregisters).
    "RegisterTimeAmpCB": (None, [ctypes.c_void_p]), "RegisterPacingTimeAmpCB": (None, [ctypes.c_void_p]),
    "RegisterSyncFreqCB": (None, [ctypes.c_void_p]), "RegisterSyncMainFuncCB": (None, [ctypes.c_void_p]),
    "LoadECGtxt": (_I, [ctypes.c_void_p]), "LoadECGbin": (_I, [ctypes.c_void_p]),
    # The extension API.
    "OrnaListPorts": (_I, [ctypes.POINTER(PortInfo), _I]), "OrnaOpenPort": (_I, [_S]),
    "OrnaGetLinkStatus": (_I, [ctypes.POINTER(LinkStatus)]),
    "OrnaRegisterLinkLostCB": (None, [ctypes.c_void_p]),
    "OrnaResultText": (_S, [_S, _I]), "OrnaLastErrorText": (_S, []),
    "OrnaLoadECGSamples": (_I, [ctypes.POINTER(ctypes.c_double), _I, _D]),
}

_lib = None


def candidates():
    """Where liborna.so is looked for, in order."""
    found = []
    env = os.environ.get("ORNA_LIBRARY")
    if env:
        found.append(env)
    # A source checkout: bindings/python/orna -> the repository's build tree.
    root = Path(__file__).resolve().parents[3]
    for build in ("build",):
        path = root / build / "liborna.so"
        if path.exists():
            found.append(str(path))
    name = ctypes.util.find_library("orna")
    if name:
        found.append(name)
    found.append("liborna.so.5")
    return found


def load():
    """The loaded library (loaded once per process)."""
    global _lib
    if _lib is not None:
        return _lib
    errors = []
    for path in candidates():
        try:
            lib = ctypes.CDLL(path)
            break
        except OSError as e:
            errors.append(f"{path}: {e}")
            if os.environ.get("ORNA_LIBRARY") == path:
                # An explicit choice that fails must not fall back silently.
                raise OSError(f"ORNA_LIBRARY={path} cannot be loaded: {e}") from e
    else:
        raise OSError("liborna.so not found; set ORNA_LIBRARY to its path (tried: "
                      + "; ".join(errors) + ")")
    for name, (restype, argtypes) in _SIGNATURES.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes
    for name in ("g_RangeV4Ch2On", "g_RangeV4Ch2Off"):
        getattr(lib, name)  # present in every build; fails early on a foreign library
    _lib = lib
    return lib
