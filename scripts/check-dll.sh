#!/usr/bin/env bash
# Checks a built ZarnHDIPCapture.dll from the outside, with objdump: the PE machine, exactly the
# twelve entry points (undecorated), imports from Windows system DLLs only, and (i686) that the
# image neither declares itself free of exception handlers nor lists its safe ones: the host-call
# frame registers a handler of its own, and Windows refuses it in an image marked NO_SEH or with a
# load configuration whose handler table does not name it (Wine checks neither).
# Usage: check-dll.sh i686|x86_64 DLL
set -euo pipefail

arch="$1"
dll="$2"
objdump="$arch-w64-mingw32-objdump"
case "$arch" in
  i686) format="pei-i386" ;;
  x86_64) format="pei-x86-64" ;;
  *) echo "check-dll.sh: unknown architecture $arch" >&2; exit 2 ;;
esac

status=0
fail() { echo "check-dll.sh: $dll: $*" >&2; status=1; }

headers="$("$objdump" -p "$dll")"
grep -q "file format $format" <<<"$headers" || fail "not a $format file"

expected="CreateIPCapture CreateIPCaptureEx CreateIPCaptureEx2 CreateIPCaptureEx3
DeleteIPCapture DeleteIPCaptureEx DeleteIPCaptureEx2 DeleteIPCaptureEx3
InitCapabilityQuery StartCapabilityQuery TerminateCapabilityQuery UninitCapabilityQuery"
# The export name table: lines "[   n] +base[   m] xxxx Name" after "[Ordinal/Name Pointer] Table".
exports="$(awk '/\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && /^[ \t]*\[/ {print $NF; next} on && NF==0 {on=0}' <<<"$headers" | sort)"
if [ "$exports" != "$(tr ' ' '\n' <<<"$expected" | sort)" ]; then
  fail "exports differ from the twelve entry points:"$'\n'"$exports"
fi

if [ "$arch" = i686 ]; then
  characteristics="$(awk '/^DllCharacteristics/ {print $2}' <<<"$headers")"
  if [ -z "$characteristics" ] || (( 0x$characteristics & 0x400 )); then
    fail "DllCharacteristics ${characteristics:-(none)}: marked NO_SEH, or unreadable"
  fi
  if ! grep -qE '^Entry a 0+ 0+ Load Configuration Directory' <<<"$headers"; then
    fail "has a load configuration (a safe exception handler table would refuse the host-call frame)"
  fi
fi

allowed="KERNEL32.dll WINHTTP.dll WS2_32.dll ole32.dll OLEAUT32.dll VERSION.dll msvcrt.dll"
imports="$(awk '/DLL Name:/ {print $3}' <<<"$headers" | sort -u)"
for name in $imports; do
  ok=0
  for a in $allowed; do
    if [ "${name,,}" = "${a,,}" ]; then ok=1; fi
  done
  # The C runtime may come as API-set DLLs on newer MinGW-w64.
  case "${name,,}" in api-ms-win-crt-*) ok=1 ;; esac
  [ $ok -eq 1 ] || fail "imports $name, which is not a Windows system DLL"
done

if [ $status -eq 0 ]; then
  echo "$dll: $format, 12 exports, imports: $(tr '\n' ' ' <<<"$imports")"
fi
exit $status
