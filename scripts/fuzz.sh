#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang (the code under test instrumented
# too) and runs each on a copy of its seed corpus, two at a time.
# Usage: scripts/fuzz.sh [seconds per harness, default 20]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
scripts/setup.sh linux fuzz
build=${KILN_FUZZ_BUILD:-build/fuzz}
cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build"

run() {
  local harness=$1 name work
  name=$(basename "$harness" _fuzz)
  work=$(mktemp -d)
  [ -d "fuzz/corpus/$name" ] && cp -r "fuzz/corpus/$name"/. "$work"/
  if "$harness" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=70000 \
       -print_final_stats=1 -artifact_prefix="$work/" "$work" >"$work.log" 2>&1; then
    echo "== $name: ${seconds}s, $(grep -c . <(ls "$work")) corpus entries, $(grep -o 'cov: [0-9]*' "$work.log" | tail -n 1)"
    rm -rf "$work" "$work.log"
  else
    echo "== $name FAILED; log and reproducer kept in $work.log and $work/"
    tail -n 40 "$work.log"
    return 1
  fi
}

pids=()
failed=0
for harness in "$build"/fuzz/*_fuzz; do
  [ -x "$harness" ] || continue
  run "$harness" & pids+=($!)
  if [ ${#pids[@]} -ge 2 ]; then
    wait "${pids[0]}" || failed=1
    pids=("${pids[@]:1}")
  fi
done
for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
exit $failed
