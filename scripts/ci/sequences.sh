#!/usr/bin/env bash
# Runs every shipped test sequence against the virtual instrument with its
# answers file, or, for a sequence judged by the monitor (no answers file),
# with the stand-in monitor; each must complete with every judged step passing.
set -euo pipefail
cd "$(dirname "$0")/../.."
orna=build/tools/orna
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
status=0
for seq in sequences/*.toml; do
  name=$(basename "$seq" .toml)
  start=$(date +%s.%N)
  if [[ -f "sequences/$name.answers" ]]; then judge=(--answers "sequences/$name.answers")
  else judge=(--virtual-monitor); fi
  if "$orna" run "$seq" --emulate "${judge[@]}" --operator CI \
       --json "$out/$name.json" --report "$out/$name.html" >"$out/$name.log" 2>&1; then
    printf '%-24s pass  %6.1f s\n' "$name" "$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { print b - a }')"
  else
    echo "$name: FAILED (exit $?)"
    cat "$out/$name.log"
    status=1
  fi
done
exit $status
