#!/usr/bin/env bash
# Fuzz smoke runs: builds the libFuzzer targets with clang and runs each
# for a bounded time (ORNA_FUZZ_SECONDS, default 60) or a number of executions
# (ORNA_FUZZ_RUNS, e.g. 10000000; it then replaces the time bound) on a copy of
# its seed corpus, so the repository is not modified. ORNA_FUZZ_TARGETS picks
# some of them ("parser files handshake hl7 wfdb_header wfdb_signal
# wfdb_annotations"). Fails on any crash, leak, sanitizer report or broken
# invariant. About 8 minutes on 2 cores.
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds=${ORNA_FUZZ_SECONDS:-60}
runs=${ORNA_FUZZ_RUNS:-}
targets=${ORNA_FUZZ_TARGETS:-parser files handshake hl7 wfdb_header wfdb_signal wfdb_annotations}
if [[ -n "$runs" ]]; then bound=(-runs="$runs"); what="$runs executions"
else bound=(-max_total_time="$seconds"); what="${seconds}s"; fi
build=build-fuzz

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORNA_BUILD_FUZZERS=ON -DORNA_BUILD_TESTS=OFF -DORNA_BUILD_BENCH=OFF \
  -DORNA_BUILD_TOOLS=OFF -DORNA_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzz_parser fuzz_files fuzz_handshake fuzz_hl7 \
  fuzz_wfdb_header fuzz_wfdb_signal fuzz_wfdb_annotations

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for target in $targets; do
  mkdir -p "$work/$target" "$build/artifacts-$target"
  cp fuzz/corpus/"$target"/* "$work/$target"/
  echo "-- fuzz_$target for $what"
  # A failed allocation must come back as null (the loaders report it), not
  # end the run.
  if ! ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1 \
      UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "$build/fuzz/fuzz_$target" "${bound[@]}" -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$build/artifacts-$target/" "$work/$target" \
      >"$work/$target.log" 2>&1; then
    tail -n 60 "$work/$target.log"
    echo "fuzz_$target failed; reproducer:" "$build/artifacts-$target"/*
    exit 1
  fi
  grep -E '^(stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb)' "$work/$target.log" || true
  echo "corpus: $(ls "$work/$target" | wc -l) inputs"
done
