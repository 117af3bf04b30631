#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: first a plain build,
# then a build with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

echo "==> tree check (layers, include circles, function length, class folders)"
python3 scripts/check_tree.py

# ---- card services ----------------------------------------------------------
# The smart-card tests run against pcscd with the vsmartcard-vpcd driver and
# our virtual card (tools/vcard). pcscd runs in the foreground without
# systemd or polkit; it needs root for its socket folder /run/pcscd. It reads
# a private reader configuration that holds only the vpcd reader, listening
# on KIVO_VPCD_PORT (default 35963, the driver's own). Keys for the card are
# made here, so none is checked in. Failing to start them is an error: the
# card tests are skipped only when this script is not the one running them.
card_dir=""
pcscd_pid=""
vcard_pid=""
as_root=()
if [[ $(id -u) -ne 0 ]]; then as_root=(sudo -n); fi

stop_card_services() {
  local status=$?
  if [[ -n "$vcard_pid" ]]; then kill "$vcard_pid" 2>/dev/null || true; wait "$vcard_pid" 2>/dev/null || true; fi
  if [[ -n "$pcscd_pid" ]]; then
    "${as_root[@]}" kill "$pcscd_pid" 2>/dev/null || true
    wait "$pcscd_pid" 2>/dev/null || true
  fi
  if [[ -n "$card_dir" ]]; then rm -rf "$card_dir"; fi
  return "$status"
}
trap stop_card_services EXIT

card_services_failed() {
  echo "test.sh: cannot start the card services: $1" >&2
  for log in "$card_dir/pcscd.log" "$card_dir/vcard.log"; do
    if [[ -s "$log" ]]; then echo "--- $log" >&2; tail -n 30 "$log" >&2; fi
  done
  exit 1
}

start_card_services() {
  local vcard_bin=$1
  local port=${KIVO_VPCD_PORT:-35963}
  [[ -x "$vcard_bin" ]] || card_services_failed "$vcard_bin was not built"
  local driver=/usr/lib/pcsc/drivers/serial/libifdvpcd.so
  [[ -e "$driver" ]] || card_services_failed "$driver is missing (package vsmartcard-vpcd)"
  command -v pcscd >/dev/null || PATH="$PATH:/usr/sbin"
  command -v pcscd >/dev/null || card_services_failed "pcscd is missing (package pcscd)"

  # One pcscd per machine: a running one would keep our reader away.
  local pidfile=/run/pcscd/pcscd.pid
  if [[ -f "$pidfile" ]] && [[ -d /proc/$(cat "$pidfile") ]]; then
    card_services_failed "pcscd is already running (pid $(cat "$pidfile")); stop it first"
  fi

  card_dir=$(mktemp -d /tmp/kivo-cards.XXXXXX)
  chmod 755 "$card_dir"
  mkdir "$card_dir/reader.conf.d"
  printf 'FRIENDLYNAME "Virtual PCD"\nDEVICENAME   /dev/null:%d\nLIBPATH      %s\nCHANNELID    %d\n' \
    "$port" "$driver" "$port" > "$card_dir/reader.conf.d/vpcd"
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$card_dir/rsa2048.pem" 2>/dev/null
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$card_dir/rsa2048-dec.pem" 2>/dev/null
  openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$card_dir/ec256.pem" 2>/dev/null

  echo "==> start pcscd (vpcd on 127.0.0.1:$port) and vcard"
  "${as_root[@]}" pcscd --foreground --apdu --config "$card_dir/reader.conf.d" \
    > "$card_dir/pcscd.log" 2>&1 &
  pcscd_pid=$!
  "$vcard_bin" --port "$port" --base "$card_dir" --record "$card_dir/apdu.log" \
    tests/support/cards/test_card.txt > "$card_dir/vcard.log" 2>&1 &
  vcard_pid=$!

  # vcard retries until vpcd listens; it says so once it is connected.
  local tries=0
  until grep -q '^vcard: connected' "$card_dir/vcard.log"; do
    [[ -d /proc/$pcscd_pid ]] || card_services_failed "pcscd exited"
    [[ -d /proc/$vcard_pid ]] || card_services_failed "vcard exited"
    ((++tries <= 100)) || card_services_failed "vcard did not reach vpcd within 20 s"
    sleep 0.2
  done
  export KIVO_PCSC_AVAILABLE=1
  export KIVO_VCARD_RECORD="$card_dir/apdu.log"
  export KIVO_VCARD_DIR="$card_dir"
  export KIVO_VCARD_READER="Virtual PCD 00 00"
}

jobs=$(nproc)
passed=0
run_suite() {
  local dir=$1
  shift
  echo "==> build $dir"
  scripts/build.sh "$dir" "$@"
  if [[ -z "$vcard_pid" ]]; then start_card_services "$dir/tools/vcard/vcard"; fi
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
