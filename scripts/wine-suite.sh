#!/usr/bin/env bash
# Runs the Windows suites of a cross build under Wine against a native camera simulator.
# Usage: wine-suite.sh [--arch 32|64] BUILD_DIR ZARNCAM [CTEST_ARGS...]
#   --arch     64 (default): build-win64 under wine64; 32: build-win32 under the 32-bit Wine, which
#              runs under qemu-i386 (install-deps.sh windows32)
#   BUILD_DIR  the Windows build with tests (build-win64 or build-win32)
#   ZARNCAM    the native simulator executable; started here in control mode on a free port
set -euo pipefail

arch=64
if [ "${1:-}" = "--arch" ]; then
  arch="$2"
  shift 2
fi
build="$(cd "$1" && pwd)"
zarncam="$2"
here="$(cd "$(dirname "$0")" && pwd)"
jobs="${JOBS:-2}"
prefix="$build/wineprefix"
run=("$here/wine-run.sh" --prefix "$prefix" --arch "$arch")

log="$build/zarncam-control.log"
"$zarncam" control --port 0 >"$log" 2>&1 &
camera_pid=$!
cleanup() {
  kill "$camera_pid" 2>/dev/null || true
  wait "$camera_pid" 2>/dev/null || true
  "${run[@]}" --stop-server >/dev/null 2>&1 || true
}
trap cleanup EXIT

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

# Create (or bring up to date) the Wine prefix once, before the suites run side by side.
start=$(date +%s)
"${run[@]}" wineboot --init >/dev/null 2>&1 || true
# wineboot may return before the prefix's background set-up has ended; wait for its server.
timeout 600 "${run[@]}" --wait-server || true
echo "wine prefix ready in $(($(date +%s) - start)) s"
# One Wine session for all the suites, started here with its output going nowhere. Otherwise the
# first suite starts it, its background programs (services, devices) keep that suite's output pipes
# open, and CTest counts the suite as running until the session ends with the last suite.
"${run[@]}" --start-server
"${run[@]}" wineboot </dev/null >/dev/null 2>&1 || true

if [ "$arch" = 32 ]; then
  # Everything runs several times slower under emulation: the suites stretch their waits, and
  # run one at a time, so that the streams' real-time checks do not compete for the cores.
  export ZARN_TEST_TIME_SCALE="${ZARN_TEST_TIME_SCALE:-8}"
  jobs=1
fi

ctest --test-dir "$build" --output-on-failure -j "$jobs" "${@:3}"
