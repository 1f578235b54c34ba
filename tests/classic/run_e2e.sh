#!/usr/bin/env bash
# Runs the classic-player tests under Wine with the web fakes listening on the
# Linux side: run_e2e.sh <wine runner> <test program> <work folder> <api secret> [args...]
set -euo pipefail
runner=$1 program=$2 work=$3 secret=$4
shift 4
chattr -i "$work/readonly" 2>/dev/null || true
rm -rf "$work"
mkdir -p "$work/readonly"
# A player folder nothing can be written to (immutable; needs root, else the
# test skips that case), holding the player's own ini.
printf '[player]\n' >"$work/readonly/player.ini"
chattr +i "$work/readonly" 2>/dev/null || true
trap 'chattr -i "$work/readonly" 2>/dev/null || true' EXIT
# The fakes live until their input closes, which is when this script ends.
exec 3> >(exec python3 "$(dirname "$0")/fakes.py" "$work" "$secret" >"$work/fakes.log" 2>&1)
for _ in $(seq 100); do [ -f "$work/ports" ] && break; sleep 0.1; done
[ -f "$work/ports" ] || { echo "run_e2e: the web fakes did not start" >&2; exit 1; }
export KILN_CLASSIC_WORK="$work"
# Wine's background processes outlive the test: they must not hold the fakes' input.
"$runner" "$program" "$@" 3>&-
