#!/usr/bin/env bash
# Card services for the tests. Sourced by scripts/test.sh, which calls
# start_card_services when it first needs them; run on its own it starts
# them for a local test session and stays until interrupted:
#   scripts/card-services.sh VCARD_BINARY
# prints the variables to export (also written to <card folder>/env).

# The smart-card tests run against pcscd with the vsmartcard-vpcd driver and
# our virtual cards (tools/vcard). pcscd runs in the foreground without
# systemd or polkit; it needs root for its socket folder /run/pcscd. It reads
# a private reader configuration that holds only the vpcd reader, listening
# on KIVO_VPCD_PORT (default 35963, the driver's own) and the port after it
# for its two slots. vpcd serves one reader per pcscd, so two cards are in
# at once: the card of test_card.txt in "Virtual PCD 00 00", and in
# "Virtual PCD 00 01" a card that becomes, at every power-on, the card
# whose description <card folder>/described.card names (the card profile
# suites write it, under the lock of described.apdu.log, and power the card
# up anew). Keys for the cards are made here, so none is checked in.
# Failing to start them is an error: the card tests are skipped only when
# this script is not the one running them.
card_dir=""
pcscd_pid=""
vcard_pids=()
as_root=()
if [[ $(id -u) -ne 0 ]]; then as_root=(sudo -n); fi

stop_card_services() {
  local status=$?
  local pid
  for pid in "${vcard_pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
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
  local log
  for log in "$card_dir"/*.log; do
    if [[ -s "$log" ]]; then echo "--- $log" >&2; tail -n 30 "$log" >&2; fi
  done
  exit 1
}

# add_vpcd_reader NAME PORT: one reader of the private configuration.
add_vpcd_reader() {
  printf 'FRIENDLYNAME "%s"\nDEVICENAME   /dev/null:%d\nLIBPATH      %s\nCHANNELID    %d\n\n' \
    "$1" "$2" "$driver" "$2" >> "$card_dir/reader.conf.d/vpcd"
}

# start_vcard LOGNAME PORT [OPTIONS...] DESCRIPTION
start_vcard() {
  local name=$1 port=$2
  shift 2
  "$vcard_bin" --port "$port" --base "$card_dir" "$@" > "$card_dir/$name.vcard.log" 2>&1 &
  vcard_pids+=($!)
}

start_card_services() {
  vcard_bin=$1
  local port=${KIVO_VPCD_PORT:-35963}
  [[ -x "$vcard_bin" ]] || card_services_failed "$vcard_bin was not built"
  driver=/usr/lib/pcsc/drivers/serial/libifdvpcd.so
  [[ -e "$driver" ]] || card_services_failed "$driver is missing (package vsmartcard-vpcd)"
  command -v pcscd >/dev/null || PATH="$PATH:/usr/sbin"
  command -v pcscd >/dev/null || card_services_failed "pcscd is missing (package pcscd)"

  # One pcscd per machine: a running one would keep our readers away.
  local pidfile=/run/pcscd/pcscd.pid
  if [[ -f "$pidfile" ]] && [[ -d /proc/$(cat "$pidfile") ]]; then
    card_services_failed "pcscd is already running (pid $(cat "$pidfile")); stop it first"
  fi

  card_dir=$(mktemp -d /tmp/kivo-cards.XXXXXX)
  chmod 755 "$card_dir"
  mkdir "$card_dir/reader.conf.d"
  scripts/card-keys.sh "$card_dir"

  add_vpcd_reader "Virtual PCD" "$port"
  echo "Virtual PCD 00 01" > "$card_dir/described.reader"
  # A card to be in the second reader from the start (the demo's).
  if [[ -n "${KIVO_DESCRIBED_CARD:-}" ]]; then echo "$KIVO_DESCRIBED_CARD" > "$card_dir/described.card"; fi

  echo "==> start pcscd (vpcd on 127.0.0.1:$port and $((port + 1))) and vcard"
  "${as_root[@]}" pcscd --foreground --apdu --config "$card_dir/reader.conf.d" \
    > "$card_dir/pcscd.log" 2>&1 &
  pcscd_pid=$!
  start_vcard test_card "$port" --record "$card_dir/apdu.log" tests/support/cards/test_card.txt
  start_vcard described $((port + 1)) --card-from "$card_dir/described.card" \
    --record "$card_dir/described.apdu.log" tests/support/cards/test_card.txt

  # vcard retries until vpcd listens; each says so once it is connected.
  local tries=0 log
  for name in test_card described; do
    log="$card_dir/$name.vcard.log"
    until grep -qs '^vcard: connected' "$log"; do
      [[ -d /proc/$pcscd_pid ]] || card_services_failed "pcscd exited"
      ((++tries <= 100)) || card_services_failed "vcard $name did not reach vpcd within 20 s"
      sleep 0.2
    done
  done
  export KIVO_PCSC_AVAILABLE=1
  export KIVO_VCARD_RECORD="$card_dir/apdu.log"
  export KIVO_VCARD_DIR="$card_dir"
  export KIVO_VCARD_READER="Virtual PCD 00 00"
}


if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then
  set -euo pipefail
  cd "$(dirname "$0")/.."
  trap "exit 0" TERM INT
  start_card_services "${1:?usage: scripts/card-services.sh VCARD_BINARY}"
  env | grep '^KIVO_\(PCSC\|VCARD\)' | sed 's/^/export /' | tee "$card_dir/env"
  # A foreground sleep would hold the signal until it ends; wait does not.
  while true; do sleep 3600 & wait $!; done
fi
