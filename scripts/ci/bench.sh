#!/usr/bin/env bash
# Benchmarks, briefly: every packet-builder case, its bare-formula baseline and
# the apply engine, then a few seconds of end-to-end streaming over a
# pseudo-terminal. Numbers are printed, not judged. About 15 s on 2 cores.
set -euo pipefail
cd "$(dirname "$0")/../.."

build=${ORNA_BENCH_BUILD:-build}
cmake --build "$build" -j"$(nproc)" --target bench_packet bench_stream

"$build"/bench/bench_packet --benchmark_min_time=0.01
"$build"/bench/bench_stream --seconds 4 --flood-seconds 2
