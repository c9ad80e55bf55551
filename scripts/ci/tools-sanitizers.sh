#!/usr/bin/env bash
# The tools' readers and servers under the sanitizers: the HL7 reader, the
# MLLP receiver and the stand-in monitor (test_hl7), and the WFDB, EDF and
# resampling code (test_records), in the AddressSanitizer+UBSan and
# ThreadSanitizer trees of .ci/run with the tools added. About 10 minutes on
# 2 cores.
set -euo pipefail
jobs=$(nproc)
if [ -d build-asan ]; then
  cmake -S . -B build-asan -DORNA_BUILD_TOOLS=ON >/dev/null
  cmake --build build-asan -j"$jobs" --target test_hl7 test_records
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan -j"$jobs" --output-on-failure -R "^(Hl7|Mllp|VirtualMonitor|RecordPlay|Wfdb)"
fi
if [ -d build-tsan ]; then
  cmake -S . -B build-tsan -DORNA_BUILD_TOOLS=ON >/dev/null
  cmake --build build-tsan -j"$jobs" --target test_hl7
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build-tsan -j"$jobs" --output-on-failure -R "^(Hl7|Mllp|VirtualMonitor)"
fi
