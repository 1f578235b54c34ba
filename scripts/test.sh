#!/usr/bin/env bash
# Builds the Linux debug preset and runs every test suite through CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh linux
cmake --preset dev >/dev/null
cmake --build --preset dev
ctest --preset dev
