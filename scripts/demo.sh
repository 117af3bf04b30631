#!/usr/bin/env bash
# Installs what is missing, builds, and runs kivocrypto on built-in examples:
# the digests of README.md with every algorithm the library has, then
# `kivocrypto demo`, which makes a throwaway PKI and time-stamp service,
# signs and time-stamps a document through the library, shows the container
# and checks it with OpenSSL.
#   scripts/demo.sh --card
# instead starts pcscd with the virtual reader and a virtual signature card
# holding a throwaway key and certificate (tools/vcard,
# tests/support/cards/signature-card.txt) and runs `kivocrypto demo --card`,
# which signs the document with the card.
set -euo pipefail
cd "$(dirname "$0")/.."

card=false
case "${1:-}" in
  --card) card=true ;;
  "") ;;
  *) echo "usage: scripts/demo.sh [--card]" >&2; exit 2 ;;
esac

scripts/install-deps.sh
scripts/build.sh build-demo -DKIVO_BUILD_TESTS=OFF -DKIVO_BUILD_BENCH=OFF

cli=build-demo/tools/kivocrypto
"$cli" --version
echo

if $card; then
  # Stopped again when the script ends (its exit trap).
  source scripts/card-services.sh
  KIVO_DESCRIBED_CARD="$PWD/tests/support/cards/signature-card.txt" start_card_services build-demo/tools/vcard/vcard
  # pcscd notices the cards a moment after vcard connects.
  for _ in $(seq 1 100); do
    "$cli" readers 2>/dev/null | grep -A1 '^1: ' | grep -q 'card: present' && break
    sleep 0.2
  done
  echo
  echo "== kivocrypto readers"
  "$cli" readers
  echo
  echo "== kivocrypto demo --card (the virtual card's PIN is 123456)"
  KIVO_DEMO_PIN=123456 "$cli" demo --card --pin-env KIVO_DEMO_PIN --language en
  exit
fi

echo "== digests of README.md"
for algorithm in sha1 sha256 sha384 sha512 md5 ripemd160; do
  printf '%-10s ' "$algorithm"
  "$cli" hash -a "$algorithm" README.md
done
echo
echo "== kivocrypto demo"
"$cli" demo
