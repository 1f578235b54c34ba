#!/usr/bin/env bash
# The demo: kiln-host runs the plug-in on a fresh profile: shows its pages,
# menu and About box, plays a few generated sample files with a pause, a
# skip and a stop, and quits; then what the plug-in wrote is shown.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh linux
cmake --preset release >/dev/null
cmake --build --preset release --target kiln-host gen_kiln
host=build/release/kiln-host
profile=$(mktemp -d /tmp/kiln-demo.XXXXXX)
music="$profile/music"

echo "== sample files =="
"$host" make-samples "$music"

echo
echo "== kiln-host =="
{
  echo pages; echo menu; echo about; echo "menu 2"
  sleep 2; echo pause; sleep 1; echo resume; sleep 1
  echo next; sleep 2; echo stop; sleep 1; echo quit
} | "$host" --profile "$profile" \
      --set logging_on=1 --set now_logging_on=3 --set art_w_limit=32 --set art_h_limit=32 \
      play "$music"/*.wav

echo
echo "== what the plug-in wrote in $profile =="
for f in "$profile"/Logs/*; do
  echo "-- $(basename "$f") ($(stat -c %s "$f") bytes)"
  case "$f" in *.txt) cat "$f" ;; esac
done
echo "-- settings.ini"
cat "$profile/settings.ini"
