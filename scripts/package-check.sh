#!/usr/bin/env bash
# Installs kiln-host's Debian package into a minimal Debian 12 made with
# debootstrap, the way a user of a clean system would, and removes it again.
#   scripts/package-check.sh        (as root: it chroots)
# - builds the package: release preset without tests or benchmarks, then cpack;
# - a pristine bookworm root (minbase plus systemd) is kept in
#   build/package-check/base and copied afresh for every run; the packages
#   apt fetches are kept too, so that a second run is quick;
# - in the copy: "apt install ./kiln-host_*.deb" resolves its dependencies from
#   Debian alone, the files land in /usr/bin, /usr/lib/kiln and
#   /usr/lib/systemd/user, systemd-analyze verifies the unit, kiln-host runs
#   and loads its plug-in, and "follow" without a session bus waits, says why
#   and tries again later instead of ending (the unit would restart it in a
#   loop otherwise);
# - "apt purge" leaves no file of ours.
# The mirror is the one this machine's apt uses (or $KILN_DEBIAN_MIRROR).
set -euo pipefail
cd "$(dirname "$0")/.."
source=$PWD
start=$(date +%s)
work=$source/build/package-check
base=$work/base
root=$work/root
archives=$work/archives
fail() { echo "FAIL: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || fail "run as root (debootstrap and chroot)"
mkdir -p "$work"
scripts/setup.sh linux package

mounted=()
cleanup() {
  local i
  for (( i=${#mounted[@]}-1; i>=0; i-- )); do umount -l "${mounted[i]}" 2>/dev/null || true; done
  rm -rf "$root" "$base.new"
}
trap cleanup EXIT
bind() {  # bind FROM TO
  mkdir -p "$2"
  mount --bind "$1" "$2"
  mounted+=("$2")
}
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }

sources=$(ls /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources \
  2>/dev/null || true)
mirror=${KILN_DEBIAN_MIRROR:-$(cat $sources | grep -oE '^(URIs:|deb) +[^ ]+/debian/?( |$)' |
  awk '{print $2}' | head -n 1 || true)}
[ -n "$mirror" ] || fail "no Debian mirror in this machine's apt sources; set KILN_DEBIAN_MIRROR"
if [ ! -x "$base/usr/bin/systemd-analyze" ]; then
  echo "== a minimal Debian 12 (once; kept in $base)"
  rm -rf "$base" "$base.new"
  debootstrap --variant=minbase bookworm "$base.new" "$mirror" >"$work/debootstrap.log" 2>&1 ||
    { tail -n 20 "$work/debootstrap.log"; fail "debootstrap"; }
  cp /etc/resolv.conf "$base.new/etc/resolv.conf"
  # Updates and security fixes too, as this machine has them, if it is a
  # bookworm: the package is built against those.
  if grep -qs bookworm $sources; then
    rm -f "$base.new/etc/apt/sources.list"
    for file in $sources; do cp "$file" "$base.new$file"; done
  fi
  chroot "$base.new" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive \
    sh -c 'apt-get update -q && apt-get install -y --no-install-recommends systemd' \
    >"$work/systemd.log" 2>&1 ||
    { tail -n 20 "$work/systemd.log"; fail "systemd in the new root"; }
  chroot "$base.new" apt-get clean
  mv "$base.new" "$base"
fi

bootstrapped=$(date +%s)

echo "== the package"
cmake --preset release -B "$work/build" -DKILN_BUILD_TESTS=OFF -DKILN_BUILD_BENCH=OFF >/dev/null
cmake --build "$work/build" -j2 --target kiln-host gen_kiln >/dev/null
rm -rf "$work/deb"
(cd "$work/build" && cpack -G DEB -B "$work/deb" >/dev/null) || fail "cpack"
deb=$(ls "$work"/deb/kiln-host_*.deb)
echo "$(basename "$deb"), depends: $(dpkg-deb -f "$deb" Depends)"

built=$(date +%s)

echo "== install, check, purge"
rm -rf "$root"
cp -a "$base" "$root"
cp /etc/resolv.conf "$root/etc/resolv.conf"
mkdir -p "$archives/partial"
bind /proc "$root/proc"
bind /dev "$root/dev"
bind "$archives" "$root/var/cache/apt/archives"
cp "$deb" "$root/tmp/"
in_root apt-get update -q >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get update"; }
# Installing it before anything else needs nothing but what Debian has.
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
  "./tmp/$(basename "$deb")" >>"$work/apt.log" 2>&1 ||
  { tail -n 30 "$work/apt.log"; fail "apt install of the package"; }
for path in /usr/bin/kiln-host /usr/lib/kiln/gen_kiln.so /usr/lib/systemd/user/kiln-host.service; do
  [ -f "$root$path" ] || fail "$path is not installed"
done
mkdir -m 700 "$root/tmp/run"
said=$(in_root env XDG_RUNTIME_DIR=/tmp/run systemd-analyze --user verify \
  /usr/lib/systemd/user/kiln-host.service 2>&1) || fail "systemd-analyze: $said"
[ -z "$said" ] || fail "systemd-analyze warns: $said"
in_root kiln-host --help >/dev/null || fail "kiln-host --help"
out=$(in_root kiln-host --profile /tmp/profile </dev/null 2>&1) || fail "kiln-host: $out"
grep -q "^loaded /usr/lib/kiln/gen_kiln.so" <<<"$out" || fail "plug-in not loaded: $out"
# The unit's command with no bus: still running after a few seconds, having
# said why it waits (what the journal would show), tried again after 2 s and
# not again before 6 s.
status=0
out=$(in_root timeout 5 kiln-host --profile /tmp/profile follow </dev/null 2>&1) || status=$?
[ $status = 124 ] || fail "follow without a session bus ended ($status): $out"
grep -q "no D-Bus session bus is reachable.*Trying again in" <<<"$out" ||
  fail "follow without a session bus does not say why it waits: $out"
[ "$(grep -c 'no D-Bus session bus' <<<"$out")" -le 2 ] || fail "follow retries too often: $out"
rm -f "$root/tmp/$(basename "$deb")"
in_root env DEBIAN_FRONTEND=noninteractive apt-get purge -y kiln-host >>"$work/apt.log" 2>&1 ||
  fail "apt purge"
left=$(find "$root" -xdev \( -path "$root/tmp" -o -path "$root/var/cache/apt" \) -prune -o \
  \( -iname '*kiln*' -print \))
[ -z "$left" ] || fail "left behind after purge: $left"
in_root dpkg -s kiln-host >/dev/null 2>&1 && fail "dpkg still knows kiln-host"
end=$(date +%s)
echo "package check passed: Debian root $(( bootstrapped - start )) s, package $(( built - bootstrapped )) s," \
  "install to purge $(( end - built )) s, $(( end - start )) s in all"
