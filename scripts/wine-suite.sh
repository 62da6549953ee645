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
session_pid=""
cleanup() {
  kill "$camera_pid" 2>/dev/null || true
  wait "$camera_pid" 2>/dev/null || true
  if [ -n "$session_pid" ]; then
    exec {session_in}>&- 2>/dev/null || true
    # The session ends when its input closes; make sure of it after a grace period.
    for _ in $(seq 1 300); do kill -0 "$session_pid" 2>/dev/null || break; sleep 0.2; done
    kill "$session_pid" 2>/dev/null || true
  fi
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

# Create the Wine prefix once, before the suites run side by side. Under emulation that takes
# minutes, so a prefix that was completed before (its marker is written last) is kept.
start=$(date +%s)
if [ "$arch" = 32 ] && [ -f "$prefix/.zarn-complete" ]; then
  echo "wine prefix kept from an earlier run ($prefix)"
else
  rm -f "$prefix/.zarn-complete"
  "${run[@]}" wineboot --init >/dev/null 2>&1 || true
  # wineboot may return before the prefix's background set-up has ended; wait for its server.
  timeout 1800 "${run[@]}" --wait-server || true
  [ -f "$prefix/system.reg" ] && touch "$prefix/.zarn-complete"
  echo "wine prefix ready in $(($(date +%s) - start)) s"
fi

if [ "$arch" = 32 ]; then
  # The emulated boot helper never sets the boot event; the session program sets it and holds it
  # (and the wineserver) until the suites have run. See tests/windows/wine_session.c.
  session_log="$build/wine-session.log"
  exec {session_in}> >(exec "${run[@]}" "$build/wine_session.exe" >"$session_log" 2>&1)
  session_pid=$!
  start=$(date +%s)
  until grep -q ready "$session_log" 2>/dev/null; do
    if ! kill -0 "$session_pid" 2>/dev/null || [ $(($(date +%s) - start)) -gt 900 ]; then
      echo "wine-suite.sh: the Wine session program did not start:" >&2
      cat "$session_log" >&2
      exit 1
    fi
    sleep 1
  done
  echo "wine session ready in $(($(date +%s) - start)) s"
  # Everything runs several times slower under emulation: the suites stretch their waits.
  export ZARN_TEST_TIME_SCALE="${ZARN_TEST_TIME_SCALE:-8}"
fi

ctest --test-dir "$build" --output-on-failure -j "$jobs" "${@:3}"
