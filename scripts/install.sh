#!/usr/bin/env bash
# Installs kiln-host, the plug-in and the systemd user unit for the current
# user, built with the release preset:
#   ~/.local/lib/kiln/kiln-host, ~/.local/lib/kiln/plugins/gen_kiln.so,
#   ~/.local/bin/kiln-host (a link), ~/.config/systemd/user/kiln-host.service.
# Then enables and starts the unit when a user service manager runs.
# Usage: scripts/install.sh [--no-start]
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" = 0 ] && [ -z "${KILN_INSTALL_AS_ROOT:-}" ]; then
  echo "install.sh: run it as the user who plays the music (KILN_INSTALL_AS_ROOT=1 to insist)" >&2
  exit 2
fi
cmake --preset release >/dev/null
cmake --build --preset release --target kiln-host gen_kiln

lib="$HOME/.local/lib/kiln"
units="${XDG_CONFIG_HOME:-$HOME/.config}/systemd/user"
install -D -m 755 build/release/kiln-host "$lib/kiln-host"
install -D -m 644 build/release/plugins/gen_kiln.so "$lib/plugins/gen_kiln.so"
install -D -m 644 README.md "$lib/README.md"
install -D -m 644 dist/kiln-host.service "$units/kiln-host.service"
mkdir -p "$HOME/.local/bin" "$HOME/.local/share/kiln"
ln -sf "$lib/kiln-host" "$HOME/.local/bin/kiln-host"
echo "installed kiln-host and gen_kiln.so in $lib, the unit in $units"

if [ "${1:-}" != "--no-start" ] && systemctl --user daemon-reload 2>/dev/null; then
  systemctl --user enable --now kiln-host.service
  systemctl --user --no-pager status kiln-host.service | head -n 5 || true
else
  echo "start it with: systemctl --user enable --now kiln-host.service"
fi
