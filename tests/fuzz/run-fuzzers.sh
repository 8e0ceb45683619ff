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
# FUZZ_JOBS      build parallelism (default 2)
# A crash, leak or timeout fails the script; the input that caused it is
# kept in build/fuzz/artifacts/<name>/.
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

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failed=()
for target in "${targets[@]}"; do
  exe=$(find "$build" -type f -name "$target" -perm -u+x -not -path '*/CMakeFiles/*' | head -n 1)
  if [ -z "$exe" ]; then
    echo "run-fuzzers: $target was not built" >&2
    failed+=("$target")
    continue
  fi
  name=${target#fuzz_}
  corpus="$work/$name"
  artifacts="$build/artifacts/$name"
  mkdir -p "$corpus" "$artifacts"
  if [ -d "tests/fuzz/corpus/$name" ]; then
    cp -R "tests/fuzz/corpus/$name/." "$corpus/"
  fi
  options=(-max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=4096
           -print_final_stats=1 -artifact_prefix="$artifacts/")
  if [ -f "tests/fuzz/corpus/$name.dict" ]; then
    options+=(-dict="tests/fuzz/corpus/$name.dict")
  fi
  if [ -f "tests/fuzz/corpus/$name.options" ]; then
    extra=()
    read -r -a extra < <(grep -v "^#" "tests/fuzz/corpus/$name.options" | tr "\n" " ") || true
    options+=("${extra[@]}")
  fi
  printf '\n--- %s: %ss over %s seed inputs ---\n' "$target" "$seconds" "$(find "$corpus" -type f | wc -l)"
  if ! "$exe" "${options[@]}" "$corpus"; then
    echo "run-fuzzers: $target failed; inputs kept in $artifacts" >&2
    failed+=("$target")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "run-fuzzers: failed: ${failed[*]}" >&2
  exit 1
fi
echo "run-fuzzers: all ${#targets[@]} targets ran clean"
