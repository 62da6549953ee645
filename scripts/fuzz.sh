#!/usr/bin/env bash
# Builds the fuzz targets (fuzz/, clang + libFuzzer + ASan + UBSan) into build-fuzz/ and runs each
# for FUZZ_SECONDS, one after the other, at the lowest CPU priority. Each target starts from its seed
# corpus in fuzz/corpus/<target> and keeps what it learns in build-fuzz/corpus/<target> (the
# repository's seeds are never written). A finding (crash, sanitizer report, failed check, time-out,
# memory limit) is saved under build-fuzz/findings/<target>/ and makes the script exit non-zero
# once every target has run.
#
#   scripts/fuzz.sh                      every target, FUZZ_SECONDS each (default 60)
#   scripts/fuzz.sh cgi_answer_fuzz      one target
#   FUZZ_SECONDS=600 scripts/fuzz.sh     ten minutes each
#
# Environment: FUZZ_SECONDS, FUZZ_BUILD (build folder, default build-fuzz), FUZZ_FLAGS (more
# libFuzzer flags), JOBS (build jobs, default 2).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-60}"
build="${FUZZ_BUILD:-build-fuzz}"
jobs="${JOBS:-2}"
targets=(h264_parser_fuzz part_reader_fuzz sps_reader_fuzz cgi_answer_fuzz xml_settings_fuzz)
if [ $# -gt 0 ]; then targets=("$@"); fi

./scripts/install-deps.sh fuzz
CXX=clang++-14 cmake -S fuzz -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
nice -n 19 cmake --build "$build" -j "$jobs" --target "${targets[@]}"

# The programs run from a copy on tmpfs when there is one: the settings-file target writes its
# files beside the program, and on a disk every atomic replace of a file costs a flush.
run_dir="$build"
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  run_dir="$(mktemp -d /dev/shm/zarn-fuzz.XXXXXX)"
  trap 'rm -rf "$run_dir"' EXIT
fi

failed=()
summary=()
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  findings="$build/findings/$target"
  log="$build/logs/$target.log"
  mkdir -p "$corpus" "$findings" "$(dirname "$log")"
  extra=()
  if [ -f "fuzz/dict/$target.dict" ]; then extra+=(-dict="fuzz/dict/$target.dict"); fi
  # The part reader searches byte by byte: longer inputs teach it nothing new, only slow it down.
  if [ "$target" = part_reader_fuzz ]; then extra+=(-max_len=8192); fi
  echo "== $target: $seconds s"
  status=0
  # shellcheck disable=SC2086
  if [ "$run_dir" != "$build" ]; then cp "$build/$target" "$run_dir/"; fi
  nice -n 19 "$run_dir/$target" "$corpus" "fuzz/corpus/$target" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$findings/" "${extra[@]}" ${FUZZ_FLAGS:-} >"$log" 2>&1 || status=$?
  done_line="$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true)"
  cov="$(sed -nE 's/.* cov: ([0-9]+) ft: ([0-9]+) corp: ([0-9]+).*/cov \1 ft \2 corpus \3/p' <<<"$done_line")"
  runs="$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$log")"
  rate="$(sed -nE 's/^stat::average_exec_per_sec: *([0-9]+)/\1/p' "$log")"
  if [ "$status" -ne 0 ]; then
    failed+=("$target")
    line="$target: FINDING (exit $status), see $log and $findings/"
    grep -E 'ERROR|fuzz check failed|SUMMARY' "$log" | head -n 5 || true
  else
    line="$target: ${runs:-?} runs, ${rate:-?} exec/s, ${cov:-no coverage line}"
  fi
  summary+=("$line")
  echo "$line"
done

echo "== summary ($seconds s per target)"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "findings in: ${failed[*]}"
  exit 1
fi
