#!/usr/bin/env bash
# Builds the libFuzzer targets (clang preset) and runs each over its checked-in corpus for a
# short, bounded time. Any crash, sanitizer report or failed check ends the stage with an error.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${QUELLAR_FUZZ_SECONDS:-8}"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

for target in receive_frames decode_quadrature decode_amplitude program_code program hostile_peer \
  late_binding; do
  exe="build/fuzz/tests/fuzz/fuzz_${target}"
  corpus="tests/fuzz/corpus/${target}"
  [ -x "$exe" ] || { echo "missing fuzz target $exe" >&2; exit 1; }
  # New inputs go to a scratch folder so the checked-in corpus stays small.
  scratch="$(mktemp -d)"
  trap 'rm -rf "$scratch"' EXIT
  echo "--- fuzz_${target} (${seconds} s)"
  "$exe" "$scratch" "$corpus" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
    -rss_limit_mb=3072 -malloc_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="build/fuzz/crash-${target}-" 2>&1 | tail -n 12
  rm -rf "$scratch"
  trap - EXIT
done
echo "fuzz stage passed"
