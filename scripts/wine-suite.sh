#!/usr/bin/env bash
# Runs the Windows suites of a cross build under Wine against a native camera simulator.
# Usage: wine-suite.sh BUILD_DIR ZARNCAM [CTEST_ARGS...]
#   BUILD_DIR  the 64-bit Windows build with tests (build-win64)
#   ZARNCAM    the native simulator executable; started here in control mode on a free port
set -euo pipefail

build="$(cd "$1" && pwd)"
zarncam="$2"
here="$(cd "$(dirname "$0")" && pwd)"
jobs="${JOBS:-2}"

log="$build/zarncam-control.log"
"$zarncam" control --port 0 >"$log" 2>&1 &
camera_pid=$!
trap 'kill "$camera_pid" 2>/dev/null; wait "$camera_pid" 2>/dev/null || true' EXIT

# The control server prints the port it listens on (127.0.0.1).
address=""
for _ in $(seq 1 100); do
  port="$(grep -oE 'listening on port [0-9]+' "$log" | grep -oE '[0-9]+$' | head -n 1 || true)"
  [ -n "$port" ] && address="127.0.0.1:$port" && break
  kill -0 "$camera_pid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$address" ]; then
  echo "wine-suite.sh: the camera simulator's control server did not start:" >&2
  cat "$log" >&2
  exit 1
fi
export ZARNCAM_CONTROL="$address"
echo "camera simulator control server on $ZARNCAM_CONTROL"

# Create the Wine prefix once, before the suites run side by side.
start=$(date +%s)
"$here/wine-run.sh" --prefix "$build/wineprefix" wineboot --init >/dev/null 2>&1 || true
echo "wine prefix ready in $(( $(date +%s) - start )) s"

ctest --test-dir "$build" --output-on-failure -j "$jobs" "${@:3}"
