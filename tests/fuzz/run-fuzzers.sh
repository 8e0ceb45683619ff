#!/usr/bin/env bash
# Builds the fuzz preset and runs every libFuzzer target (an executable named
# fuzz_<name>) for a bounded time over a copy of its seed corpus,
# tests/fuzz/corpus/<name>/. Next to that folder, <name>.dict is used as the
# target's dictionary and <name>.options may hold further libFuzzer flags
# (e.g. -max_len=1024), which override the defaults below. The corpus in the
# tree is never modified.
#
#   tests/fuzz/run-fuzzers.sh [fuzz_<name>...]
#
# FUZZ_SECONDS   time per target (default 45)
# FUZZ_JOBS      build parallelism, and how many targets run at once (default 2)
# A crash, leak or timeout fails the script. The input that caused it is
# kept in build/fuzz/artifacts/<name>/ (emptied at the start of each run);
# its path, hex dump and base64 form are printed, as CI may not keep files.
# Each target's whole output is in build/fuzz/logs/<name>.log; the end shows
# every target's run count.
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds=${FUZZ_SECONDS:-45}
jobs=${FUZZ_JOBS:-2}
build=build/fuzz

cmake --preset fuzz >/dev/null

# Only the fuzz targets are built: the rest of the tree is not needed here.
if [ $# -gt 0 ]; then
  targets=("$@")
else
  mapfile -t targets < <(cmake --build "$build" --target help | sed -n 's/^\(fuzz_[A-Za-z0-9_]*\):.*/\1/p' | sort -u)
fi
if [ ${#targets[@]} -eq 0 ]; then
  echo "run-fuzzers: no fuzz_* targets in $build" >&2
  exit 1
fi
cmake --build "$build" -j "$jobs" --target "${targets[@]}"

# The working corpora take a file per new input: in memory when possible.
work=$(mktemp -d -p /dev/shm 2>/dev/null || mktemp -d)
trap 'rm -rf "$work"' EXIT

# A small quarantine (2 MB, far more than one run frees) still catches a use
# after free within a run, while freed memory is reused soon enough to stay
# in the caches: a third more runs than with the default 256 MB. Shorter
# allocation stacks cost less per malloc (run the target on a kept input by
# hand for full ones). Any report aborts the run.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=2:malloc_context_size=8}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# Prints an input kept by a failed run, so that it survives the CI job.
show_input() {
  local file=$1
  printf 'run-fuzzers: input %s (%s bytes)\n' "$file" "$(stat -c %s "$file")"
  od -A x -t x1z -v "$file" | head -n 64
  printf 'run-fuzzers: base64 of %s:\n' "$file"
  base64 -w 76 "$file"
}

failed=()
summary=()
mkdir -p "$build/logs"

# Runs one target for its time; its log is read once every run has ended.
run_target() {
  local target=$1 exe=$2 name=${1#fuzz_}
  local corpus="$work/$name" artifacts="$build/artifacts/$name" log="$build/logs/$name.log"
  rm -rf "$artifacts"
  mkdir -p "$corpus" "$artifacts"
  if [ -d "tests/fuzz/corpus/$name" ]; then
    cp -R "tests/fuzz/corpus/$name/." "$corpus/"
  fi
  local options=(-max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=4096
                 -print_final_stats=1 -artifact_prefix="$artifacts/")
  if [ -f "tests/fuzz/corpus/$name.dict" ]; then
    options+=(-dict="tests/fuzz/corpus/$name.dict")
  fi
  if [ -f "tests/fuzz/corpus/$name.options" ]; then
    local extra=()
    read -r -a extra < <(grep -v "^#" "tests/fuzz/corpus/$name.options" | tr "\n" " ") || true
    options+=("${extra[@]}")
  fi
  printf -- '--- %s: %ss over %s seed inputs ---\n' "$target" "$seconds" "$(find "$corpus" -type f | wc -l)"
  local status=0
  "$exe" "${options[@]}" "$corpus" >"$log" 2>&1 || status=$?
  echo "$status" >"$log.status"
}

# One target per core at a time: each still has a core of its own for its time.
declare -A exes=()
for target in "${targets[@]}"; do
  exe=$(find "$build" -type f -name "$target" -perm -u+x -not -path '*/CMakeFiles/*' | head -n 1)
  [ -n "$exe" ] || continue
  exes[$target]=$exe
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  run_target "$target" "$exe" &
done
wait

for target in "${targets[@]}"; do
  if [ -z "${exes[$target]:-}" ]; then
    echo "run-fuzzers: $target was not built" >&2
    failed+=("$target")
    summary+=("$(printf '%-26s %12s %10s  %s' "$target" - - "not built")")
    continue
  fi
  name=${target#fuzz_}
  artifacts="$build/artifacts/$name"
  log="$build/logs/$name.log"
  status=$(cat "$log.status" 2>/dev/null || echo 1)
  printf '\n--- %s ---\n' "$target"
  runs=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$log" | tail -n 1)
  [ -n "$runs" ] || runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *\([0-9]*\).*/\1/p' "$log" | tail -n 1)
  if [ "$status" -eq 0 ]; then
    grep -E '^(INFO: Seed|#[0-9]+[[:space:]]+INITED|Done |stat::)' "$log" || true
    result=ok
  else
    # The whole report: from the sanitizer's or libFuzzer's first line of it.
    start=$(grep -n -m 1 -E '^==[0-9]+==|ERROR: libFuzzer|runtime error:' "$log" | cut -d: -f1 || true)
    tail -n +"${start:-1}" "$log" | head -n 200
    for file in "$artifacts"/*; do
      [ -f "$file" ] && show_input "$file"
    done
    echo "run-fuzzers: $target failed (status $status); inputs kept in $artifacts, log in $log" >&2
    failed+=("$target")
    result="FAILED"
  fi
  summary+=("$(printf '%-26s %12s %10s  %s' "$target" "${runs:-?}" "${rate:-?}" "$result")")
done

printf '\n--- summary: %ss per target ---\n' "$seconds"
printf '%-26s %12s %10s  %s\n' target runs "runs/s" result
printf '%s\n' "${summary[@]}"

if [ ${#failed[@]} -gt 0 ]; then
  echo "run-fuzzers: failed: ${failed[*]}" >&2
  exit 1
fi
echo "run-fuzzers: all ${#targets[@]} targets ran clean"
