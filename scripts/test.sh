#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: first a plain build,
# then a build with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

echo "==> tree check (layers, include circles, function length, class folders)"
python3 scripts/check_tree.py

# The card services (pcscd, vpcd readers, one vcard per card description).
source scripts/card-services.sh

jobs=$(nproc)
passed=0
run_suite() {
  local dir=$1
  shift
  echo "==> build $dir"
  scripts/build.sh "$dir" "$@"
  if [[ ${#vcard_pids[@]} -eq 0 ]]; then start_card_services "$dir/tools/vcard/vcard"; fi
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

# The verification file cache is shared by every thread of a host; its
# concurrency test also runs under ThreadSanitizer (only that suite is
# built, to keep the run short).
echo "==> build build-tsan (test_verify with ThreadSanitizer)"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIVO_SANITIZE=thread -DKIVO_BUILD_TESTS=ON \
  -DKIVO_BUILD_BENCH=OFF -DKIVO_BUILD_TOOLS=OFF >/dev/null
cmake --build build-tsan -j "$jobs" --target test_verify
echo "==> test build-tsan"
tsan_log=build-tsan/tsan.log
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  build-tsan/tests/test_verify --gtest_filter='FileCacheTest.*' | tee "$tsan_log"
count=$(grep -o '\[  PASSED  \] [0-9]* test' "$tsan_log" | grep -o '[0-9]*')
passed=$((passed + count))

echo "==> fuzz smoke run (clang, ASan, UBSan)"
CC=clang CXX=clang++ scripts/build.sh build-fuzz -DKIVO_FUZZ=ON -DKIVO_SANITIZE=address,undefined \
  -DKIVO_BUILD_TESTS=OFF -DKIVO_BUILD_BENCH=OFF -DKIVO_BUILD_TOOLS=OFF
scripts/fuzz.sh build-fuzz time "${KIVO_FUZZ_SECONDS:-10}"

echo "==> all tests passed"
echo "tests: $passed passed, 0 failed"
