#!/usr/bin/env python3
"""Rhythms played on the virtual instrument, recorded as EDF+ and judged by an
outside QRS detector (MNE's): it must find the beats the annotations name
(within 150 ms), none in fine fibrillation and asystole, no rhythm in coarse
fibrillation, and the rate asked for (the mean rate for AF).

MNE's detector sets its threshold from the largest deflections of the first
three seconds, where a monitor's threshold is absolute: three seconds of 1 mV
sinus rhythm, played and recorded the same way, go first, so that the
threshold is that of a normal beat. Its windows of half a second allow no
interval shorter than that (AF is played at 60/min: RR 0.6 to 1.4 s; the
undersensing paced rhythm, with beats 0.3 s apart, is left out), and it
drops windows whose RMS is 2.5 standard deviations above the others', which
on noise-free beats, all alike, drops any beat that differs a little: 6 is
used.

Usage: qrs_detector.py ORNA_PROGRAM
"""
import os
import subprocess
import sys
import tempfile

import mne
import numpy as np

mne.set_log_level("ERROR")

SECONDS = 60
DECIMATE = 10  # 5000/s to 500/s: plenty for a QRS, and ten times quicker
TOLERANCE = 0.15

# Rhythm, its options, the beat rate the detector must measure (None: no
# beats), and how close (fraction of the rate).
CASES = [
    ("sinus", [], 60, 0.01),
    ("afib", ["--bpm", "60"], 60, 0.05),
    ("pvc", [], 60, 0.02),
    ("vtach", ["--bpm", "110"], 110, 0.01),
    ("av-block-3", [], 40, 0.01),
    ("paced-ventricular", [], 70, 0.01),
    ("paced-av", [], 70, 0.01),
    ("paced-noncapture", [], 70 * 3 / 4, 0.02),  # every 4th pulse without a beat
    ("vfib-coarse", [], None, 0),
    ("vfib-fine", [], None, 0),
    ("asystole", [], None, 0),
]
BEAT_CODES = {"N", "V", "A", "j", "E", "/", "f"}


def play(orna, folder, name, args, seconds):
    path = os.path.join(folder, name + ".edf")
    subprocess.run([orna, "play", "rhythm", name, "--emulate", "--seconds", str(seconds), "--record", path, *args],
                   check=True, stdout=subprocess.DEVNULL)
    raw = mne.io.read_raw_edf(path, preload=True)
    signal = raw.get_data()[0][: int(seconds * raw.info["sfreq"])]
    beats = np.array([a["onset"] for a in raw.annotations if a["description"] in BEAT_CODES])
    return signal, raw.info["sfreq"], beats


def detect(reference, signal, rate):
    x = np.concatenate([reference, signal])
    x = x[: len(x) // DECIMATE * DECIMATE].reshape(-1, DECIMATE).mean(axis=1)
    found = mne.preprocessing.ecg.qrs_detector(rate / DECIMATE, x, levels=6)
    start = len(reference) // DECIMATE
    return (found[found >= start] - start) * DECIMATE / rate


def main():
    orna = sys.argv[1]
    failures = []
    with tempfile.TemporaryDirectory() as folder:
        reference, rate, _ = play(orna, folder, "sinus", [], 3)
        for name, args, bpm, within in CASES:
            signal, rate, beats = play(orna, folder, name, args, SECONDS)
            found = detect(reference, signal, rate)
            # The detector's window needs half a second after a beat, and its
            # filters settle at the ends: beats within 1 s of them are not judged.
            judged = beats[(beats > 0.5) & (beats < SECONDS - 1)]
            missed = [b for b in judged if found.size == 0 or np.min(np.abs(found - b)) > TOLERANCE]
            extra = [t for t in found if beats.size == 0 or np.min(np.abs(beats - t)) > TOLERANCE]
            measured = 60 * (found.size - 1) / (found[-1] - found[0]) if found.size > 1 else 0
            line = f"{name:18} {' '.join(args):10} annotated {beats.size:3} found {found.size:3} rate {measured:6.1f}"
            print(line)
            trouble = []
            if missed:
                trouble.append(f"missed beats at {', '.join(f'{t:.2f}' for t in missed[:5])} s")
            if extra and bpm is not None:
                trouble.append(f"beats not annotated at {', '.join(f'{t:.2f}' for t in extra[:5])} s")
            if bpm is None and name != "vfib-coarse" and found.size:
                trouble.append("beats found where there are none")
            if name == "vfib-coarse" and found.size > 1:
                # A rare wave of coarse fibrillation may reach a normal beat's threshold, but no rhythm.
                trouble.append(f"{found.size} beats found in fibrillation")
            if bpm is not None and abs(measured - bpm) > within * bpm:
                trouble.append(f"rate {measured:.1f} instead of {bpm:g}")
            failures += [f"{name}: {t}" for t in trouble]
    for f in failures:
        print("FAIL", f, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
