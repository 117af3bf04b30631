#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: first a plain build,
# then a build with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)
run_suite() {
  local dir=$1
  shift
  echo "==> build $dir"
  scripts/build.sh "$dir" "$@"
  echo "==> test $dir"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600
}

run_suite build -DKIVO_SANITIZE= -DKIVO_BUILD_TESTS=ON -DKIVO_BUILD_BENCH=ON
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp \
  run_suite build-asan -DKIVO_SANITIZE=address,undefined -DKIVO_BUILD_TESTS=ON -DKIVO_BUILD_BENCH=OFF

echo "==> all tests passed"
