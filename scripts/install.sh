#!/usr/bin/env bash
# Installs kiln-host, the plug-in and the systemd user unit for the current
# user, without root, built in release mode:
#   ~/.local/lib/kiln/kiln-host, ~/.local/lib/kiln/plugins/gen_kiln.so,
#   ~/.local/bin/kiln-host (a link), ~/.config/systemd/user/kiln-host.service.
# Then enables and starts the unit when a user service manager runs.
# (The Debian package installs for every user instead: see README.md.)
# Usage: scripts/install.sh [--no-start]        Undo: scripts/uninstall.sh
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" = 0 ] && [ -z "${KILN_INSTALL_AS_ROOT:-}" ]; then
  echo "install.sh: run it as the user who plays the music (KILN_INSTALL_AS_ROOT=1 to insist)" >&2
  exit 2
fi

# What the build needs. Missing packages are installed when this user may do
# so without a password (root, or sudo without one); else they are named.
needed=(build-essential cmake ninja-build pkg-config libcurl4-openssl-dev rapidjson-dev
        libtag1-dev libstb-dev zlib1g-dev libssl-dev libcpp-httplib-dev libsdbus-c++-dev)
missing=()
for p in "${needed[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then as_root=(); elif sudo -n true 2>/dev/null; then as_root=(sudo -n);
  else
    echo "install.sh: building kiln-host needs these Debian packages, which are missing:" >&2
    echo "  ${missing[*]}" >&2
    echo "install them (sudo apt install ${missing[*]}) and run install.sh again" >&2
    exit 1
  fi
  echo "install.sh: installing ${missing[*]}"
  "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
command -v dbus-daemon >/dev/null ||
  echo "install.sh: note: no D-Bus daemon here; kiln-host waits until a session bus appears" >&2

# Its own build folder: neither tests nor benchmarks are needed here.
cmake --preset release -B build/install -DKILN_BUILD_TESTS=OFF -DKILN_BUILD_BENCH=OFF >/dev/null
cmake --build build/install --target kiln-host gen_kiln

lib="$HOME/.local/lib/kiln"
units="${XDG_CONFIG_HOME:-$HOME/.config}/systemd/user"
install -D -m 755 build/install/kiln-host "$lib/kiln-host"
install -D -m 644 build/install/plugins/gen_kiln.so "$lib/plugins/gen_kiln.so"
install -D -m 644 README.md "$lib/README.md"
mkdir -p "$units"
sed -e "s|@KILN_HOST_BIN@|$lib/kiln-host|" -e "s|@KILN_DOCS@|$lib/README.md|" \
  dist/kiln-host.service.in >"$units/kiln-host.service"
mkdir -p "$HOME/.local/bin" "$HOME/.local/share/kiln"
ln -sf "$lib/kiln-host" "$HOME/.local/bin/kiln-host"
echo "installed kiln-host and gen_kiln.so in $lib, the unit in $units"

if [ "${1:-}" != "--no-start" ] && systemctl --user daemon-reload 2>/dev/null; then
  systemctl --user enable --now kiln-host.service
  systemctl --user --no-pager status kiln-host.service | head -n 5 || true
else
  echo "start it with: systemctl --user enable --now kiln-host.service"
fi
