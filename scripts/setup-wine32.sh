#!/usr/bin/env bash
# Makes this amd64 machine run 32-bit Wine: its kernel cannot start i386 programs itself, so
# binfmt_misc hands every i386 ELF program to qemu-i386 (qemu-user-static), and Debian's
# wine32:i386 is installed from the i386 index. Each step is skipped when already done; run as
# root (or with sudo). Called by `install-deps.sh windows32`.
#
# wine32:i386 and its libraries must be at the same version as the amd64 copies of every
# Multi-Arch: same library they share. When the i386 index lags or leads the amd64 one (one index
# may fail to download while its mirror syncs), the amd64 libraries are moved to the i386 index's
# versions first, with the -dev packages pinned to them. The plan is refused, and nothing changed,
# when it would remove or downgrade a compiler or a library the native build links
# (PROTECTED below).
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
PROTECTED='^(gcc|g\+\+|cpp|libstdc\+\+|libgcc|libc6|libc-dev|libcurl|curl|libpugixml|libx264|libav|libsw|ffmpeg|cmake|ninja|mingw|g\+\+-mingw|gcc-mingw|binutils|wine64|libwine:amd64)'

# 1. binfmt_misc, and qemu-i386 registered for i386 ELF programs. The F flag opens the
#    interpreter at registration, so it is found inside any mount namespace or chroot.
if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
  $SUDO mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
fi
if [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
  magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  printf '%s' ":qemu-i386:M::$magic:$mask:/usr/bin/qemu-i386-static:F" |
    $SUDO tee /proc/sys/fs/binfmt_misc/register >/dev/null
fi
if [ "$(head -n 1 /proc/sys/fs/binfmt_misc/qemu-i386)" != enabled ]; then
  echo 1 | $SUDO tee /proc/sys/fs/binfmt_misc/qemu-i386 >/dev/null
fi

if dpkg -s wine32:i386 >/dev/null 2>&1; then
  exit 0
fi

# 2. The i386 index. A mirror in mid-sync serves an index of the wrong size: try again, then go
#    on with the indexes that did arrive (the plan below uses whatever the i386 index offers).
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
for attempt in 1 2 3; do
  $SUDO apt-get update -q && break
  echo "setup-wine32.sh: an index failed to download (attempt $attempt); retrying" >&2
  sleep 20
done

# 3. The plan: every amd64 Multi-Arch: same package in wine32's dependency closure at the i386
#    index's version; then every package the simulation would remove kept (at the i386 version
#    where the i386 index has it), and every exact-version dependency it reports met.
candidate() { apt-cache policy "$1" | awk '/Candidate:/ { print $2 }'; }
pins=(wine32:i386)
while read -r p; do
  [ "$(dpkg-query -W -f='${Multi-Arch}' "$p:amd64" 2>/dev/null || true)" = same ] || continue
  v="$(candidate "$p:i386")"
  [ -n "$v" ] && [ "$v" != "(none)" ] && pins+=("$p:amd64=$v" "$p:i386=$v")
done < <(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
  --no-replaces --no-enhances wine32:i386 2>/dev/null | grep -E '^[^ ].*:i386$' | sed 's/:i386$//' |
  sort -u)

plan=""
for round in 1 2 3 4 5 6 7 8; do
  plan="$(apt-get install -s --no-install-recommends --allow-downgrades "${pins[@]}" 2>&1 || true)"
  added=0
  while read -r p v; do
    pins+=("$p:amd64=$v")
    added=1
  done < <(echo "$plan" | sed -nE 's/.*Depends: ([^ :]+)(:amd64)? \(= ([^)]+)\) but .* is to be installed.*/\1 \3/p' |
    sort -u)
  while read -r p; do
    p="${p%:amd64}"
    v="$(candidate "$p:i386")"
    if [ -n "$v" ] && [ "$v" != "(none)" ]; then pins+=("$p:amd64=$v"); else pins+=("$p:amd64"); fi
    added=1
  done < <(echo "$plan" | awk '/^Remv / { print $2 }')
  [ "$added" -eq 0 ] && break
  echo "setup-wine32.sh: plan round $round: aligning more amd64 packages" >&2
done
if ! echo "$plan" | grep -q '^Inst wine32:i386'; then
  echo "setup-wine32.sh: no installable plan for wine32:i386:" >&2
  echo "$plan" | grep -vE '^(Inst|Conf) ' >&2
  exit 1
fi
downgraded="$(echo "$plan" | sed -n '/The following packages will be DOWNGRADED:/,/^[^ ]/p' |
  sed '1d;$d' | tr ' ' '\n' | sed '/^$/d')"
removed="$(echo "$plan" | awk '/^Remv / { print $2 }')"
bad="$(printf '%s\n%s\n' "$downgraded" "$removed" | grep -E "$PROTECTED" || true)"
if [ -n "$bad" ]; then
  echo "setup-wine32.sh: installing wine32:i386 would downgrade or remove:" >&2
  echo "$bad" >&2
  echo "setup-wine32.sh: refused; nothing was changed" >&2
  exit 1
fi
[ -n "$downgraded" ] && echo "setup-wine32.sh: downgraded to the i386 index's versions: $(echo $downgraded)"
$SUDO apt-get install -y -q --no-install-recommends --allow-downgrades "${pins[@]}"
