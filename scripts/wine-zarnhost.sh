#!/usr/bin/env bash
# Runs zarnhost.exe's commands under Wine, as a Windows user checks a camera, against a camera
# made on the native simulator's control server (ZARNCAM_CONTROL=127.0.0.1:PORT, which
# scripts/wine-suite.sh starts): stream with statistics and a raw .h264 file, ptz, preset
# add/list/goto/delete, probe, and the clear refusal of what the Windows build leaves out.
# Usage: wine-zarnhost.sh ZARNHOST_EXE WINEPREFIX [ARCH]   (ARCH: 64, the default, or 32)
set -euo pipefail

exe="$1"
prefix="$2"
arch="${3:-64}"
here="$(cd "$(dirname "$0")" && pwd)"
: "${ZARNCAM_CONTROL:?ZARNCAM_CONTROL must name a zarncam control server (see wine-suite.sh)}"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() {
  echo "wine-zarnhost.sh: $*" >&2
  exit 1
}

# One control connection for the whole run: the camera lives as long as it does.
exec 3<>"/dev/tcp/${ZARNCAM_CONTROL%:*}/${ZARNCAM_CONTROL##*:}"
call() {
  printf '%s\n' "$1" >&3
  local reply
  IFS= read -r -t 30 reply <&3 || fail "no answer from the control server to $1"
  case "$reply" in *'"ok":true'*) ;; *) fail "control server: $reply" ;; esac
  printf '%s' "$reply"
}
number() { grep -oE "\"$1\":[0-9]+" | grep -oE '[0-9]+$'; }

password='wine-Pa55'
id="$(call "{\"op\":\"create\",\"config\":{\"user\":\"admin\",\"password\":\"$password\",\"auth\":[\"digest\",\"basic\"]}}" | number camera)"
port="$(call "{\"op\":\"start\",\"camera\":$id}" | number port)"
camera=(--camera "127.0.0.1:$port" --user admin --password "$password")
echo "camera $id on 127.0.0.1:$port"

host() { "$here/wine-run.sh" --prefix "$prefix" --arch "$arch" "$exe" "$@"; }

out="$(host stream "${camera[@]}" --frames 30 --json --out "$work/live.h264")" ||
  fail "stream failed: $out"
case "$out" in *'"ok":true'*'"frames":30'*) ;; *) fail "stream: $out" ;; esac
[ "$(stat -c %s "$work/live.h264")" -gt 10000 ] || fail "live.h264 is (nearly) empty"
case "$out" in *"$password"*) fail "the password is in the output" ;; esac
echo "stream: 30 frames, $(stat -c %s "$work/live.h264") bytes of H.264"

host ptz "${camera[@]}" move left --speed 16 --for 300 || fail "ptz move failed"
host preset "${camera[@]}" add door || fail "preset add failed"
host preset "${camera[@]}" list | grep -q '1\. door' || fail "preset list has no door"
host preset "${camera[@]}" goto door || fail "preset goto failed"
host preset "${camera[@]}" delete door || fail "preset delete failed"
requests="$(call "{\"op\":\"requests\",\"camera\":$id}")"
for needle in 'Move=Left&Speed=9' 'Move=Stop' 'Move=PresetSet&PresetNo=1' 'Move=PresetCall&PresetNo=1' \
  'Move=PresetClear&PresetNo=1'; do
  case "$requests" in *"$needle"*) ;; *) fail "the camera never received $needle" ;; esac
done
echo "ptz and preset: the camera received every request"

out="$(host probe "${camera[@]}" --json)" || fail "probe failed: $out"
case "$out" in *'"ok":true'*'"model":"Zarn HD2100"'*) ;; *) fail "probe: $out" ;; esac
echo "probe: Zarn HD2100"

# What the Windows build leaves out is refused up front, with the reason.
set +e
out="$(host stream "${camera[@]}" --snapshot "$work/x.png" 2>&1)"
status=$?
set -e
[ "$status" -eq 2 ] || fail "--snapshot gave status $status: $out"
case "$out" in *"does not decode video"*) ;; *) fail "--snapshot: $out" ;; esac
call "{\"op\":\"destroy\",\"camera\":$id}" >/dev/null
# The driver keeps the preset file beside the program, named after the camera.
rm -f "$(dirname "$exe")/Zarn_127.0.0.1_$port.preset"
echo "zarnhost.exe: every command passed"
