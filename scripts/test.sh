#!/usr/bin/env bash
# Installs every dependency, builds and runs the whole test suite: native, then under
# AddressSanitizer + UndefinedBehaviorSanitizer. Idempotent; quick when already built.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh all

for preset in default asan; do
  echo "=== $preset ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done

# Further stages (fuzz corpus build, Windows DLL under Wine) live beside this script.
for stage in scripts/stage-*.sh; do
  [ -e "$stage" ] || continue
  echo "=== $(basename "$stage" .sh) ==="
  bash "$stage"
done
echo "All test stages passed."
