#!/usr/bin/env bash
# Runs a Windows program under Wine's 64-bit loader, headless, in its own prefix.
# Usage: wine-run.sh [--prefix DIR] PROGRAM [ARGS...]
set -euo pipefail

prefix="${WINEPREFIX:-$PWD/wineprefix}"
if [ "${1:-}" = "--prefix" ]; then
  prefix="$2"
  shift 2
fi

# Debian's wine64 package keeps its loader out of PATH.
wine="$(command -v wine64 || true)"
if [ -z "$wine" ]; then
  wine="$(dpkg -L wine64 2>/dev/null | grep -E '/wine64$' | head -n 1 || true)"
fi
if [ -z "$wine" ] || [ ! -x "$wine" ]; then
  echo "wine-run.sh: wine64 not found (install the wine64 package)" >&2
  exit 127
fi

# Wine wants an absolute prefix.
mkdir -p "$prefix"
prefix="$(cd "$prefix" && pwd)"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
exec "$wine" "$@"
