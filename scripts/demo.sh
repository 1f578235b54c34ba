#!/usr/bin/env bash
# The demo: kiln-host runs the plug-in on a fresh profile: shows its pages,
# menu and About box, plays a few generated sample files with a pause, a
# skip and a stop, and quits. The plug-in's web requests and Discord messages
# go to local fakes (kiln-fakes), whose log is shown with the files the
# plug-in wrote.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh linux
cmake --preset release >/dev/null
cmake --build --preset release --target kiln-host gen_kiln kiln-fakes
bin=build/release
work=$(mktemp -d /tmp/kiln-demo.XXXXXX)
profile="$work/profile"
music="$work/music"
runtime="$work/run"   # where the Discord application's socket is looked for
mkdir -p "$runtime"
chmod 700 "$runtime"

echo "== sample files =="
"$bin/kiln-host" make-samples "$music"

# The fakes run until their input closes.
mkfifo "$work/fakes-in"
"$bin/kiln-fakes" "$work/ports" "$runtime" <"$work/fakes-in" >"$work/fakes.log" 2>&1 &
fakes=$!
exec 3>"$work/fakes-in"
for _ in $(seq 50); do [ -s "$work/ports" ] && break; sleep 0.1; done
port=$(sed -n 's/^posts=//p' "$work/ports")

echo
echo "== kiln-host =="
{
  echo pages; echo menu; echo about; echo "menu 2"
  sleep 2; echo pause; sleep 1; echo resume; sleep 1
  echo next; sleep 2; echo stop; sleep 1; echo quit
} | XDG_RUNTIME_DIR="$runtime" "$bin/kiln-host" --profile "$profile" \
      --map posts.example="http://127.0.0.1:$port" \
      --set logging_on=1 --set now_logging_on=3 --set art_w_limit=32 --set art_h_limit=32 \
      --set postmodes=15 \
      --set 'postplay=posts.example/play?artist=%artist%&title=%title%' \
      --set 'postpause=http://posts.example/pause?title=%title%' \
      --set 'postunpause=http://posts.example/unpause?title=%title%' \
      --set 'poststop=http://posts.example/stop' \
      --set updatediscord=1 \
      play "$music"/*.wav

sleep 0.5
exec 3>&-
wait "$fakes" || true

echo
echo "== what the fakes received =="
cat "$work/fakes.log"

echo
echo "== what the plug-in wrote in $profile/Logs =="
for f in "$profile"/Logs/*; do
  echo "-- $(basename "$f") ($(stat -c %s "$f") bytes)"
  case "$f" in *.txt) cat "$f" ;; esac
done
