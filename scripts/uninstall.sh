#!/usr/bin/env bash
# Undoes scripts/install.sh for the current user: stops and disables the unit,
# removes the program, the plug-in, the link and the unit. Settings, history
# and the scrobble cache in ~/.local/share/kiln stay unless --purge is given.
# (The Debian package is removed with: sudo apt remove kiln-host.)
# Usage: scripts/uninstall.sh [--purge]
set -euo pipefail
lib="$HOME/.local/lib/kiln"
units="${XDG_CONFIG_HOME:-$HOME/.config}/systemd/user"
if systemctl --user daemon-reload 2>/dev/null; then
  systemctl --user disable --now kiln-host.service 2>/dev/null || true
fi
rm -f "$units/kiln-host.service"
systemctl --user daemon-reload 2>/dev/null || true
if [ "$(readlink "$HOME/.local/bin/kiln-host" 2>/dev/null)" = "$lib/kiln-host" ]; then
  rm -f "$HOME/.local/bin/kiln-host"
fi
rm -rf "$lib"
echo "removed kiln-host from $lib and its unit from $units"
if [ "${1:-}" = "--purge" ]; then
  rm -rf "$HOME/.local/share/kiln"
  echo "removed the settings, logs and cache in ~/.local/share/kiln"
else
  echo "settings, logs and cache stay in ~/.local/share/kiln (--purge removes them)"
fi
