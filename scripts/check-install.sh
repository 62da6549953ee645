#!/usr/bin/env bash
# Installs a build into a temporary prefix with `cmake --install`, checks the layout, and runs the
# installed zarnhost (from another folder) against the installed zarncam: the host must find the
# plug-in in <prefix>/lib/zarn/ on its own.
# Usage: check-install.sh BUILD_DIR
set -euo pipefail

build="$1"
prefix="$(mktemp -d)"
work="$(mktemp -d)"
cam_pid=""
cleanup() {
  if [ -n "$cam_pid" ]; then kill "$cam_pid" 2>/dev/null || true; wait "$cam_pid" 2>/dev/null || true; fi
  rm -rf "$prefix" "$work"
}
trap cleanup EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null

status=0
for f in lib/zarn/ZarnHDIPCapture.so bin/zarnhost bin/zarncam include/zarn/abi.h include/zarn/capture.h \
         include/zarn/host.h share/doc/zarn-hd-ip-capture/README.md \
         share/doc/zarn-hd-ip-capture/docs/architecture.md share/man/man1/zarnhost.1 \
         share/man/man1/zarncam.1 share/bash-completion/completions/zarnhost \
         share/bash-completion/completions/zarncam; do
  [ -e "$prefix/$f" ] || { echo "check-install: $f is not installed" >&2; status=1; }
done
[ $status -eq 0 ] || exit 1

# The manual pages carry the programs' help; the completion offers the subcommands.
grep -q -- '--password-file' "$prefix/share/man/man1/zarnhost.1" ||
  { echo "check-install: zarnhost.1 lacks the help text" >&2; exit 1; }
grep -q -- '--cgi-delay-ms' "$prefix/share/man/man1/zarncam.1" ||
  { echo "check-install: zarncam.1 lacks the help text" >&2; exit 1; }
offered="$(bash -c 'source "$1"; COMP_WORDS=(zarnhost pr); COMP_CWORD=1; _zarnhost; echo "${COMPREPLY[*]}"' _ \
  "$prefix/share/bash-completion/completions/zarnhost")"
[ "$offered" = "preset probe" ] || { echo "check-install: completion offered \"$offered\"" >&2; exit 1; }

# The simulator prints its port once it listens.
"$prefix/bin/zarncam" --port 0 --user admin --password inst4ll </dev/null >"$work/cam.out" &
cam_pid=$!
for _ in $(seq 100); do
  grep -q "listening on port" "$work/cam.out" && break
  sleep 0.1
done
port="$(sed -n 's/.*listening on port \([0-9]*\).*/\1/p' "$work/cam.out")"
[ -n "$port" ] || { echo "check-install: zarncam did not start" >&2; exit 1; }

cd "$work"
if ! out="$("$prefix/bin/zarnhost" probe --camera "127.0.0.1:$port" --user admin --password inst4ll --json 2>&1)"; then
  echo "check-install: the installed zarnhost failed: $out" >&2
  exit 1
fi
grep -q '"model":"Zarn HD2100"' <<<"$out" || { echo "check-install: unexpected probe output: $out" >&2; exit 1; }

# Without the plug-in the host says where it looked.
rm "$prefix/lib/zarn/ZarnHDIPCapture.so"
if out="$("$prefix/bin/zarnhost" probe --camera "127.0.0.1:$port" 2>&1)"; then
  echo "check-install: zarnhost ran without its plug-in" >&2
  exit 1
fi
grep -q "driver module not found" <<<"$out" || { echo "check-install: unexpected error: $out" >&2; exit 1; }
echo "check-install: layout and installed zarnhost ok"
