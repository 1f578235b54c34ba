#!/usr/bin/env bash
# Installs the Debian packages the build needs and that this machine lacks.
# Usage: scripts/setup.sh [linux] [windows] [package] [fuzz]   (default: linux)
set -euo pipefail

want=("$@")
[ ${#want[@]} -gt 0 ] || want=(linux)

packages=()
for part in "${want[@]}"; do
  case "$part" in
    linux)
      packages+=(build-essential cmake ninja-build pkg-config gzip libc-bin
                 libcurl4-openssl-dev rapidjson-dev libtag1-dev libstb-dev zlib1g-dev libssl-dev
                 googletest libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev
                 libsdbus-c++-dev dbus mpv mpv-mpris vlc-bin vlc-plugin-base systemd
                 chromium)
      # The browser tests need node and npm; a machine that already has them
      # (from another source) keeps them, since Debian's npm would conflict.
      command -v npm >/dev/null 2>&1 || packages+=(nodejs npm) ;;
    windows)
      # Both bitnesses of the DLL; 32-bit programs run under Wine with wine32.
      # dpkg-dev unpacks the Debian sources of the DLL's static libraries,
      # python3 and openssl run the web fakes of the classic-player tests;
      # fonts-wine gives dialogs under Wine the metrics of their font.
      packages+=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64
                 g++-mingw-w64-i686-posix binutils-mingw-w64-i686 wine32:i386
                 dpkg-dev python3 openssl fonts-wine) ;;
    package)  # scripts/package-check.sh: the package's dependencies worked
      # out from the binaries, and a minimal Debian to install it into
      packages+=(dpkg-dev debootstrap) ;;
    fuzz)  # clang tools: fuzzers, the thread-safety check, the format check
      packages+=(clang clang-format libclang-rt-14-dev) ;;
    *) echo "setup.sh: unknown part '$part'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup.sh: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if [[ " ${missing[*]}" == *":i386"* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
