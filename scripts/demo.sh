#!/usr/bin/env bash
# The demo: a real player followed end to end. A D-Bus session bus of the
# demo's own; mpv with its MPRIS plug-in playing generated sample files
# (silently, in real time); "kiln-host follow" running the plug-in on a fresh
# profile with every output on. mpv is worked through MPRIS calls, as a
# desktop's media keys would: pause, play, next, stop, open a file, quit. The
# plug-in's web requests and Discord messages go to local fakes (kiln-fakes),
# whose log is shown with the files the plug-in wrote. Ends by itself.
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
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done' EXIT

echo "== sample files =="
"$bin/kiln-host" make-samples "$music"

bus=$(dbus-daemon --session --fork --print-address=1 --print-pid=1)
export DBUS_SESSION_BUS_ADDRESS=$(sed -n 1p <<<"$bus")
pids+=("$(sed -n 2p <<<"$bus")")
echo "== private session bus at $DBUS_SESSION_BUS_ADDRESS =="

# The fakes run until their input closes.
mkfifo "$work/fakes-in" "$work/host-in"
"$bin/kiln-fakes" "$work/ports" "$runtime" <"$work/fakes-in" >"$work/fakes.log" 2>&1 &
fakes=$!
exec 3>"$work/fakes-in"
for _ in $(seq 50); do [ -s "$work/ports" ] && break; sleep 0.1; done
port=$(sed -n 's/^posts=//p' "$work/ports")

echo
echo "== kiln-host follow =="
XDG_RUNTIME_DIR="$runtime" "$bin/kiln-host" --profile "$profile" \
  --map posts.example="http://127.0.0.1:$port" \
  --set logging_on=1 --set now_logging_on=3 --set art_w_limit=32 --set art_h_limit=32 \
  --set postmodes=15 \
  --set 'postplay=posts.example/play?artist=%artist%&title=%title%' \
  --set 'postpause=http://posts.example/pause?title=%title%' \
  --set 'postunpause=http://posts.example/unpause?title=%title%' \
  --set 'poststop=http://posts.example/stop' \
  --set updatediscord=1 \
  follow <"$work/host-in" &
host=$!
exec 4>"$work/host-in"
sleep 1

mpv --no-config --idle=yes --no-terminal --vo=null --ao=null --audio-samplerate=48000 \
  --audio-format=s16 --script=/usr/lib/mpv-mpris/mpris.so "$music"/0[1-3]*.wav \
  >"$work/mpv.log" 2>&1 &
pids+=("$!")

mpris() {
  echo "-- mpv: $1"
  dbus-send --session --type=method_call --dest=org.mpris.MediaPlayer2.mpv \
    /org/mpris/MediaPlayer2 "org.mpris.MediaPlayer2$2" "${@:3}"
}
sleep 3
mpris pause .Player.Pause; sleep 1.5
mpris play .Player.Play; sleep 1.5
mpris next .Player.Next; sleep 2.5
mpris stop .Player.Stop; sleep 1.5
mpris "open the fourth file" .Player.OpenUri "string:file://${music// /%20}/04%20Rain%20on%20the%20Roof.wav"; sleep 1
# mpv-mpris goes on saying "Stopped" after a stop until the pause changes.
mpris pause .Player.Pause; sleep 0.5
mpris play .Player.Play; sleep 2.5
mpris "quit while playing" .Quit; sleep 1.5
echo quit >&4
wait "$host" || true
exec 4>&-

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
