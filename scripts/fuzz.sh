#!/usr/bin/env bash
# Runs every fuzz target for a while on a copy of its committed seed corpus and prints how many
# inputs each one ran. Any crash, leak, timeout or oversized allocation fails the run.
#   scripts/fuzz.sh BUILD_DIR SECONDS_PER_TARGET
set -euo pipefail
build="$1"
seconds="${2:-60}"
root="$(cd "$(dirname "$0")/.." && pwd)"
summary=()
for target in zlib_reader gzip_reader zip_reader png_reader convert deflate_walk; do
  work="$build/fuzz-work/$target"
  mkdir -p "$work/corpus" "$work/findings"
  log="$work/log.txt"
  # -malloc_limit_mb and -rss_limit_mb hold every input to a small constant beyond its size;
  # -timeout catches work out of proportion to the input.
  if ! "$build/fuzz/fuzz_$target" "$work/corpus" "$root/fuzz/corpus/$target" \
      -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=1024 -malloc_limit_mb=64 \
      -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$work/findings/" >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "fuzz_$target: FINDING, see $work/findings" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  summary+=("fuzz_$target: ${runs:-?} inputs in ${seconds}s, no finding")
done
printf '%s\n' "${summary[@]}"
