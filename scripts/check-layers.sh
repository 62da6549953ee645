#!/usr/bin/env bash
# Checks that the folders of src/ form a one-way stack: a file may include headers of its own folder
# and of the folders on lower layers, never of a folder on its own layer or above.
# Usage: check-layers.sh [SRC_DIR]   (exit 0 clean, 1 with one line per offending include)
set -euo pipefail

src="${1:-$(dirname "$0")/../src}"

# Lowest layer first; folders on one line share a layer and may not include each other.
layers=(
  "platform"
  "thread"
  "core"
  "http media xml"
  "channel preset"
  "ptz properties"
  "driver"
)

declare -A rank
for i in "${!layers[@]}"; do
  for folder in ${layers[$i]}; do rank[$folder]=$i; done
done

status=0
for dir in "$src"/*/; do
  folder="$(basename "$dir")"
  if [ -z "${rank[$folder]+x}" ]; then
    echo "src/$folder: folder has no layer; add it to ${0##*/}"
    status=1
  fi
done

while IFS= read -r hit; do
  # hit: <path>:<line>:#include "<folder>/<file>"
  file="${hit%%:*}"
  rest="${hit#*:}"
  line="${rest%%:*}"
  target="$(sed -E 's/.*#[[:space:]]*include[[:space:]]+"([^/"]+)\/.*/\1/' <<<"$rest")"
  folder="$(sed -E 's#.*/src/([^/]+)/.*#\1#' <<<"/$file")"
  [ "$target" = "$folder" ] && continue
  [ -z "${rank[$target]+x}" ] && continue  # not a src/ folder (zarn/ is the host ABI, below everything)
  [ -z "${rank[$folder]+x}" ] && continue  # already reported above
  if [ "${rank[$target]}" -ge "${rank[$folder]}" ]; then
    echo "${file#"$src"/}:$line: $folder may not include $target/ (layer ${rank[$target]} is not below ${rank[$folder]})"
    status=1
  fi
done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]+"[^/"]+/' "$src" --include='*.h' --include='*.cpp' || true)

exit $status
