#!/usr/bin/env bash
# Builds the static Windows libraries gen_kiln.dll links (libcurl with Schannel,
# TagLib, zlib) from Debian's own source packages with the project's mingw-w64
# toolchains. Nothing is fetched from anywhere but the machine's Debian mirror.
#
# Usage: scripts/windows-libs.sh <x86_64|i686> <cache folder>
# Leaves <cache folder>/<arch>/{include,lib}, keyed by the source versions: a
# second run with the same versions does nothing.
set -euo pipefail

arch=${1:?arch: x86_64 or i686}
cache=$(mkdir -p "${2:?cache folder}" && cd "$2" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
toolchain="$root/cmake/mingw-w64-$arch.cmake"
[ -f "$toolchain" ] || { echo "windows-libs: no toolchain for $arch" >&2; exit 2; }
packages=(curl taglib zlib)
# Build folders configured at the same time share the cache: one builds, the
# others wait for it.
exec 9>"$cache/.lock"
flock 9

src="$cache/src"
mkdir -p "$src"
# The sources are fetched once (apt's own configuration is left untouched; the
# list folder is a separate one, as apt's update clears files it does not know); their versions (from the .dsc names) key the build.
have_all=1
for p in "${packages[@]}"; do
  ls "$src/${p}_"*.dsc >/dev/null 2>&1 || have_all=0
done
if [ $have_all = 0 ]; then
  lists=$(mktemp -d)
  trap 'rm -rf "$lists"' EXIT
  mkdir -p "$lists/state/partial"
  uri=$(awk '/^URIs:/{print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
  [ -n "$uri" ] || uri=$(awk '/^deb /{print $2; exit}' /etc/apt/sources.list)
  suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
  echo "deb-src $uri $suite main" >"$lists/src.list"
  A=(-o Dir::Etc::SourceList="$lists/src.list" -o Dir::Etc::SourceParts=/dev/null
     -o Dir::State::Lists="$lists/state")
  apt-get "${A[@]}" -qq update
  (cd "$src" && apt-get "${A[@]}" -qq source --download-only "${packages[@]}")
fi

versions=""
for p in "${packages[@]}"; do
  dsc=$(ls "$src/${p}_"*.dsc | sort | tail -n1)
  versions+="$(basename "$dsc" .dsc) "
done
out="$cache/$arch"
stamp="$out/.built"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$versions" ]; then
  exit 0
fi
echo "windows-libs: building ${versions}for $arch"
rm -rf "$out"
mkdir -p "$out/include" "$out/lib"
work="$cache/work-$arch"
rm -rf "$work"
mkdir -p "$work"

unpack() {  # <package> -> prints the unpacked folder (Debian patches applied when possible)
  local dsc dir
  dsc=$(ls "$src/${1}_"*.dsc | sort | tail -n1)
  dir="$work/$1"
  if command -v dpkg-source >/dev/null; then
    dpkg-source --no-check -x "$dsc" "$dir" >/dev/null
  else
    mkdir -p "$dir"
    tar -xf "$(ls "$src/${1}_"*.orig.tar.* | head -n1)" -C "$dir" --strip-components=1
  fi
  echo "$dir"
}

cmake_build() {  # <source> <build> <target or ''> <options...>
  local s=$1 b=$2 t=$3
  shift 3
  cmake -S "$s" -B "$b" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_INSTALL_PREFIX="$out" -Wno-dev "$@" >"$b.log" 2>&1 ||
    { tail -n 30 "$b.log"; return 1; }
  if [ -n "$t" ]; then
    cmake --build "$b" --target "$t" >>"$b.log" 2>&1 || { tail -n 30 "$b.log"; return 1; }
  else
    cmake --build "$b" --target install >>"$b.log" 2>&1 || { tail -n 30 "$b.log"; return 1; }
  fi
}

# zlib: only the static target (the shared one's resource step fails under windres).
z=$(unpack zlib)
cmake_build "$z" "$work/zlib-build" zlibstatic
cp "$work/zlib-build/libzlibstatic.a" "$out/lib/libz.a"
cp "$z/zlib.h" "$work/zlib-build/zconf.h" "$out/include/"

t=$(unpack taglib)
# Debian's patches include utfcpp as <utf8/...>, a system package on Debian;
# the copy in the upstream tarball serves the cross-build.
mkdir -p "$work/utf8cpp"
ln -sfn "$t/3rdparty/utf8-cpp" "$work/utf8cpp/utf8"
cmake_build "$t" "$work/taglib-build" "" -DCMAKE_CXX_FLAGS="-I$work/utf8cpp" -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF \
  -DBUILD_EXAMPLES=OFF -DBUILD_BINDINGS=OFF -DWITH_ZLIB=OFF -DENABLE_STATIC_RUNTIME=OFF

c=$(unpack curl)
cmake_build "$c" "$work/curl-build" "" -DBUILD_SHARED_LIBS=OFF -DCURL_USE_SCHANNEL=ON \
  -DCURL_USE_OPENSSL=OFF -DHTTP_ONLY=ON -DBUILD_CURL_EXE=OFF -DCURL_USE_LIBSSH2=OFF \
  -DUSE_LIBIDN2=OFF -DCURL_ZLIB=OFF -DCURL_DISABLE_LDAP=ON -DENABLE_MANUAL=OFF -DBUILD_TESTING=OFF \
  -DCURL_USE_LIBPSL=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF

rm -rf "$work"
echo "$versions" >"$stamp"
