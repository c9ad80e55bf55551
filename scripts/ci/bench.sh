#!/usr/bin/env bash
# Benchmarks, briefly: every packet-builder case, its bare-formula baseline and
# the apply engine, a few seconds of end-to-end streaming over a
# pseudo-terminal, then two minutes of real-time streaming while two busy
# loops and a disk writer load the machine (the receive thread and the
# virtual instrument at a real-time priority, as root in CI). Numbers are
# printed, not judged. About 2.5 minutes on 2 cores.
set -euo pipefail
cd "$(dirname "$0")/../.."

build=${ORNA_BENCH_BUILD:-build}
cmake --build "$build" -j"$(nproc)" --target bench_packet bench_stream

"$build"/bench/bench_packet --benchmark_min_time=0.01
"$build"/bench/bench_stream --seconds 4 --flood-seconds 2
"$build"/bench/bench_stream --seconds 120 --flood-seconds 2 --load 2
