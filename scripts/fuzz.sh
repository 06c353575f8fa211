#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang and runs each of them.
#   scripts/fuzz.sh                 short run of every harness (CI)
#   scripts/fuzz.sh 3600            one hour per harness
#   scripts/fuzz.sh 600 fuzz_archive_gzip   ten minutes of one harness
# Crash inputs are written to build-fuzz/artifacts/; a crash fails the script.
# Paths given to the harnesses are absolute: each harness works inside a
# sandbox directory of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
only=${2:-}

bash scripts/install-deps.sh
cmake --preset fuzz
cmake --build --preset fuzz

mkdir -p build-fuzz/artifacts build-fuzz/corpus
for bin in build-fuzz/fuzz/fuzz_*; do
  name=$(basename "$bin")
  [ -x "$bin" ] || continue
  [ -z "$only" ] || [ "$name" = "$only" ] || continue
  work=$PWD/build-fuzz/corpus/$name
  mkdir -p "$work"
  seeds=()
  [ -d "fuzz/corpus/$name" ] && seeds+=("$PWD/fuzz/corpus/$name")
  echo "=== $name: ${seconds}s"
  set +e
  "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$PWD/build-fuzz/artifacts/$name-" \
    -print_final_stats=1 "$work" "${seeds[@]}" 2>&1 | tail -n 12
  status=${PIPESTATUS[0]}
  set -e
  if [ "$status" -ne 0 ]; then
    echo "=== $name failed (status $status)" >&2
    exit 1
  fi
done
echo "=== fuzzing finished without crashes"
