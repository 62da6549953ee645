#!/usr/bin/env bash
# Runs a Windows program under Wine, headless, in its own prefix.
# Usage: wine-run.sh [--prefix DIR] [--arch 32|64] PROGRAM [ARGS...]
#        wine-run.sh [--prefix DIR] [--arch 32|64] --wait-server   (until the prefix's server ends)
#        wine-run.sh [--prefix DIR] [--arch 32|64] --start-server  (a persistent server, detached)
#        wine-run.sh [--prefix DIR] [--arch 32|64] --stop-server
#   --arch 64  (default) Wine's 64-bit loader; the prefix is 64-bit only: no 32-bit half
#   --arch 32  Wine's 32-bit loader (wine32, run under qemu-i386 on an amd64 kernel that cannot
#              start 32-bit programs itself); the prefix is a 32-bit one
set -euo pipefail

prefix="${WINEPREFIX:-$PWD/wineprefix}"
arch=64
while [ $# -gt 0 ]; do
  case "$1" in
    --prefix) prefix="$2"; shift 2 ;;
    --arch) arch="$2"; shift 2 ;;
    *) break ;;
  esac
done

# Debian keeps both loaders out of PATH.
find_loader() {
  local name="$1" package="$2" path
  path="$(command -v "$name" || true)"
  [ -n "$path" ] && [ "$name" != wine ] && { echo "$path"; return; }
  dpkg -L "$package" 2>/dev/null | grep -E "/lib/wine/$name\$" | head -n 1 || true
}

case "$arch" in
  64)
    wine="$(find_loader wine64 wine64)"
    loader32="$(find_loader wine wine32:i386)"
    export WINEARCH=win64
    ;;
  32)
    wine="$(find_loader wine wine32:i386)"
    export WINEARCH=win32
    ;;
  *)
    echo "wine-run.sh: --arch is 32 or 64" >&2
    exit 2
    ;;
esac
if [ -z "$wine" ] || [ ! -x "$wine" ]; then
  echo "wine-run.sh: the $arch-bit Wine loader was not found (install-deps.sh windows$([ "$arch" = 32 ] && echo 32))" >&2
  exit 127
fi

# Wine wants an absolute prefix.
mkdir -p "$prefix"
prefix="$(cd "$prefix" && pwd)"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=

case "${1:-}" in
  --wait-server) exec "$(dirname "$wine")/wineserver" -w ;;
  # The server's output goes nowhere: a server started by a program would keep that program's
  # output pipes open until the server ends, and whoever reads them would wait as long.
  --start-server) exec "$(dirname "$wine")/wineserver" -p </dev/null >/dev/null 2>&1 ;;
  --stop-server) exec "$(dirname "$wine")/wineserver" -k ;;
esac

# With wine32 installed, a new 64-bit prefix also sets up its 32-bit half, every step of it a
# 32-bit program under emulation (slower, and nothing the 64-bit suites use).
# Hide the 32-bit loader from this process tree (a private mount namespace, /dev/null bound over
# it): Wine then finds no 32-bit loader and builds the prefix as it does without wine32.
if [ "$arch" = 64 ] && [ -n "${loader32:-}" ] && [ "$(id -u)" -eq 0 ] &&
  unshare --mount --propagation private true 2>/dev/null; then
  exec unshare --mount --propagation private -- \
    sh -c 'mount --bind /dev/null "$0" && exec "$@"' "$loader32" "$wine" "$@"
fi
exec "$wine" "$@"
