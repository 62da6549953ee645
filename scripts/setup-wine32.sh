#!/usr/bin/env bash
# Makes this amd64 machine run 32-bit Wine: its kernel cannot start i386 programs itself, so
# binfmt_misc hands every i386 ELF program to qemu-i386, and Debian's wine32:i386 is installed from
# the i386 index. Each step is skipped when already done; run as root (or with sudo). Called by
# `install-deps.sh windows32`.
#
# qemu must be 9.1 or later (bookworm-backports has 10.0): under bookworm's own 7.2, Wine's
# start-up takes minutes per program (its address-space reservation is about 100 000 mmap/munmap
# pairs that 7.2 handles slowly; a new prefix took 13 to 29 minutes instead of 21 s), the boot
# helper never finishes, and programs that start and end a few hundred threads die with SIGSEGV.
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
QEMU_MIN=1:9.1

# 1. qemu-user (static since 9.1; /usr/bin/qemu-i386), from the release's own index when it is new
#    enough, else from its backports (pinned low by default: nothing else is taken from there).
qemu_version() { dpkg-query -W -f='${Version}' qemu-user 2>/dev/null || true; }
qemu_new_enough() { [ -n "$1" ] && [ "$1" != "(none)" ] && dpkg --compare-versions "$1" ge "$QEMU_MIN"; }
if ! qemu_new_enough "$(qemu_version)" || [ ! -x /usr/bin/qemu-i386 ]; then
  $SUDO apt-get update -q || true
  target=()
  if ! qemu_new_enough "$(apt-cache policy qemu-user | awk '/Candidate:/ { print $2 }')"; then
    codename="$(. /etc/os-release && echo "$VERSION_CODENAME")"
    echo "deb http://deb.debian.org/debian ${codename}-backports main" |
      $SUDO tee "/etc/apt/sources.list.d/${codename}-backports.list" >/dev/null
    $SUDO apt-get update -q || true
    target=(-t "${codename}-backports")
  fi
  # qemu-user replaces the old qemu-user-static (its binaries moved into qemu-user in 9.1).
  $SUDO apt-get install -y -q --no-install-recommends "${target[@]}" qemu-user
  if ! qemu_new_enough "$(qemu_version)"; then
    echo "setup-wine32.sh: qemu-user $QEMU_MIN or later is needed; installed: $(qemu_version)" >&2
    exit 1
  fi
fi

# 2. binfmt_misc, and qemu-i386 registered for i386 ELF programs. The F flag opens the
#    interpreter at registration, so it is found inside any mount namespace or chroot; it also
#    keeps the file it opened, so the entry is made again each time, to use the qemu installed now.
#    An entry of an earlier version of this script (qemu-i386-static, qemu 7.2) is removed.
if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
  $SUDO mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
fi
for entry in /proc/sys/fs/binfmt_misc/zarn-i386 /proc/sys/fs/binfmt_misc/qemu-i386; do
  if [ -e "$entry" ] && { [ "${entry##*/}" = zarn-i386 ] ||
    grep -q '^interpreter /usr/bin/qemu-i386-static$' "$entry"; }; then
    echo -1 | $SUDO tee "$entry" >/dev/null
  fi
done
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
printf '%s' ":zarn-i386:M::$magic:$mask:/usr/bin/qemu-i386:F" |
  $SUDO tee /proc/sys/fs/binfmt_misc/register >/dev/null

if dpkg -s wine32:i386 >/dev/null 2>&1; then
  exit 0
fi

# 3. The i386 index. A mirror in mid-sync serves an index of the wrong size: try again, then go
#    on with the indexes that did arrive (the plan below uses whatever the i386 index offers).
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
for attempt in 1 2 3; do
  $SUDO apt-get update -q && break
  echo "setup-wine32.sh: an index failed to download (attempt $attempt); retrying" >&2
  sleep 20
done

# 4. The plan: every amd64 Multi-Arch: same package in wine32's dependency closure at the i386
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
