#!/usr/bin/env bash
# Sets up the machine, then builds and runs every test in the two variants of
# the starter:
#   build           GCC, no update key: checksum lists are not signature-checked
#   build-sanitize  clang with AddressSanitizer and UndefinedBehaviorSanitizer,
#                   and the test key compiled in: lists must carry its signature
# The tests that need one variant are skipped in the other.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)

run_suite() {
  local dir=$1; shift
  echo "=== configure $dir ($*)"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
  echo "=== build $dir"
  cmake --build "$dir" -j "$jobs"
  echo "=== test $dir"
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 900)
}

run_suite build -DSTARTER_UPDATE_PUBLIC_KEY=

# A tree configured with another compiler cannot be switched to clang in
# place (CMake would drop the other settings with its cache).
if [ -f build-sanitize/CMakeCache.txt ] &&
   ! grep -q '^CMAKE_CXX_COMPILER:.*clang++' build-sanitize/CMakeCache.txt; then
  rm -rf build-sanitize
fi
# tests/keys holds a test key pair, published with the sources: never build a
# starter for real servers with it.
CC=clang CXX=clang++ \
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-sanitize -DSTARTER_SANITIZE=ON \
    -DSTARTER_UPDATE_PUBLIC_KEY="$PWD/tests/keys/update_test_key.pub.pem"

# A short run of every fuzz harness.
bash scripts/fuzz.sh 20
echo "=== all test suites passed"
