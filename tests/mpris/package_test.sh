#!/usr/bin/env bash
# The systemd user unit and the Debian package, as a user would get them.
# Usage: package_test.sh BUILD_DIR SOURCE_DIR
# - the unit, made from its template as the package makes it (but naming this
#   build's kiln-host), passes "systemd-analyze --user verify" without a word;
# - CPack's package holds /usr/bin/kiln-host, /usr/lib/kiln/gen_kiln.so and
#   the unit in /usr/lib/systemd/user, is named kiln-host_<version>_<arch>.deb,
#   and, unpacked into a throwaway root, its kiln-host loads its plug-in.
set -euo pipefail
build=$1 source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

command -v systemd-analyze >/dev/null || fail "systemd-analyze is missing (scripts/setup.sh installs it)"
sed -e "s|@KILN_HOST_BIN@|$build/kiln-host|" -e "s|@KILN_DOCS@|$source/README.md|" \
  "$source/dist/kiln-host.service.in" >"$work/kiln-host.service"
mkdir -m 700 "$work/run"
said=$(XDG_RUNTIME_DIR="$work/run" systemd-analyze --user verify "$work/kiln-host.service" 2>&1) ||
  fail "systemd-analyze: $said"
[ -z "$said" ] || fail "systemd-analyze warns: $said"

(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null) || fail "cpack"
deb=$(ls "$work"/deb/kiln-host_*_*.deb)
[[ $(basename "$deb") =~ ^kiln-host_[0-9.]+_(amd64|arm64|i386|armhf)\.deb$ ]] || fail "named $deb"
listing=$(dpkg-deb -c "$deb")
for path in ./usr/bin/kiln-host ./usr/lib/kiln/gen_kiln.so \
            ./usr/lib/systemd/user/kiln-host.service; do
  grep -q " $path\$" <<<"$listing" || fail "$path is not in the package"
done
dpkg-deb -f "$deb" Depends | grep -q libsdbus-c++ || fail "no dependency on sdbus-c++"
dpkg-deb -x "$deb" "$work/root"
grep -q "^ExecStart=/usr/bin/kiln-host " "$work/root/usr/lib/systemd/user/kiln-host.service" ||
  fail "the packaged unit does not run /usr/bin/kiln-host"
out=$("$work/root/usr/bin/kiln-host" --profile "$work/profile" </dev/null 2>&1) || fail "$out"
grep -q "^loaded $work/root/usr/lib/kiln/gen_kiln.so" <<<"$out" || fail "plug-in not found: $out"
echo "unit verified; $(basename "$deb") holds and runs what it should"
