#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: first a plain build,
# then a build with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)
passed=0
run_suite() {
  local dir=$1
  shift
  echo "==> build $dir"
  scripts/build.sh "$dir" "$@"
  echo "==> test $dir"
  local log="$dir/ctest.log"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600 | tee "$log"
  local count
  count=$(grep -o 'tests passed, 0 tests failed out of [0-9]*' "$log" | grep -o '[0-9]*$')
  passed=$((passed + count))
}

run_suite build -DKIVO_SANITIZE= -DKIVO_BUILD_TESTS=ON -DKIVO_BUILD_BENCH=ON
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp \
  run_suite build-asan -DKIVO_SANITIZE=address,undefined -DKIVO_BUILD_TESTS=ON -DKIVO_BUILD_BENCH=OFF

echo "==> fuzz smoke run (clang, ASan, UBSan)"
CC=clang CXX=clang++ scripts/build.sh build-fuzz -DKIVO_FUZZ=ON -DKIVO_SANITIZE=address,undefined \
  -DKIVO_BUILD_TESTS=OFF -DKIVO_BUILD_BENCH=OFF -DKIVO_BUILD_TOOLS=OFF
scripts/fuzz.sh build-fuzz time "${KIVO_FUZZ_SECONDS:-10}"

echo "==> all tests passed"
echo "tests: $passed passed, 0 failed"
