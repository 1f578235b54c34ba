#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang and runs each briefly on its seed
# corpus. Usage: scripts/fuzz.sh [seconds per harness, default 20]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
scripts/setup.sh linux fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
for harness in build/fuzz/fuzz/*_fuzz; do
  [ -x "$harness" ] || continue
  name=$(basename "$harness" _fuzz)
  corpus=fuzz/corpus/$name
  work=$(mktemp -d)
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
  echo "== $name: ${seconds}s =="
  "$harness" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=70000 -print_final_stats=1 "$work" 2>&1 | tail -n 12
  rm -rf "$work"
done
