#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need; with the argument
# "windows", those of the Windows cross builds and their Wine suite instead; with "windows32",
# those and the 32-bit Wine run under qemu-i386 (scripts/setup-wine32.sh); with "fuzz", those of
# the fuzz targets (clang and its libFuzzer and sanitizer runtimes).
# A machine that already has every package is left untouched.
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

packages=(
  cmake ninja-build g++ pkg-config make
  libcurl4-openssl-dev libpugixml-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libx264-dev libcpp-httplib-dev
  libavcodec-dev libavformat-dev libavutil-dev libswscale-dev libpng-dev libcli11-dev nlohmann-json3-dev
  ffmpeg libssl-dev dpkg-dev file curl
)
if [ "${1:-}" = "windows" ] || [ "${1:-}" = "windows32" ]; then
  packages=(cmake ninja-build make python3 googletest nlohmann-json3-dev
    g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686
    binutils-mingw-w64-x86-64 wine64)
fi
if [ "${1:-}" = "fuzz" ]; then
  packages=(cmake ninja-build make pkg-config clang-14 libclang-rt-14-dev
    libcurl4-openssl-dev libpugixml-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

if [ "${1:-}" = "windows32" ]; then
  "$(dirname "$0")/setup-wine32.sh"
fi
