#!/usr/bin/env bash
# The demo: kiln-host runs the plug-in on a fresh profile, shows its pages,
# menu and About box, and quits; then what the plug-in wrote is shown.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh linux
cmake --preset release >/dev/null
cmake --build --preset release --target kiln-host gen_kiln
profile=$(mktemp -d /tmp/kiln-demo.XXXXXX)
host=build/release/kiln-host
printf 'pages\nmenu\nabout\nmenu 2\nquit\n' | "$host" --profile "$profile"
echo
echo "== settings kept in the profile ($profile) =="
ls -R "$profile"
