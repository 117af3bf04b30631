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
#   scripts/demo.sh --pkcs11
# starts the same card and shows it through the PKCS#11 module
# (libkivocryptossl-pkcs11.so) as OpenSC's pkcs11-tool sees it: the token,
# its objects, a signature made through the module and checked by OpenSSL.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-}
case "$mode" in
  --card | --pkcs11 | "") ;;
  *) echo "usage: scripts/demo.sh [--card | --pkcs11]" >&2; exit 2 ;;
esac

scripts/install-deps.sh
scripts/build.sh build-demo -DKIVO_BUILD_TESTS=OFF -DKIVO_BUILD_BENCH=OFF

cli=build-demo/tools/kivocrypto
"$cli" --version
echo

# The virtual signature card in reader 1; stopped again when the script
# ends (the exit trap of card-services.sh).
start_demo_card() {
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
}

if [[ $mode == --card ]]; then
  start_demo_card
  echo "== kivocrypto demo --card (the virtual card's PIN is 123456)"
  KIVO_DEMO_PIN=123456 "$cli" demo --card --pin-env KIVO_DEMO_PIN --language en
  exit
fi

if [[ $mode == --pkcs11 ]]; then
  start_demo_card
  module=build-demo/pkcs11/libkivocryptossl-pkcs11.so
  work=$(mktemp -d)
  trap 'rm -rf "$work"; stop_card_services' EXIT
  echo "== pkcs11-tool --module $module -L"
  pkcs11-tool --module "$module" -L
  echo
  echo "== pkcs11-tool --slot 1 --login -O (the virtual card's PIN is 123456)"
  pkcs11-tool --module "$module" --slot 1 --login --pin 123456 -O | tee "$work/objects"
  id=$(awk '/^Private Key Object/ { key = 1 } key && /ID:/ { print $2; exit }' "$work/objects")
  echo
  echo "== pkcs11-tool --slot 1 --sign -m SHA256-RSA-PKCS --id $id README.md, checked by OpenSSL"
  pkcs11-tool --module "$module" --slot 1 --login --pin 123456 --sign -m SHA256-RSA-PKCS --id "$id" \
    -i README.md -o "$work/signature"
  pkcs11-tool --module "$module" --slot 1 --read-object --type cert --id "$id" -o "$work/cert.der" >/dev/null
  openssl x509 -inform DER -in "$work/cert.der" -pubkey -noout > "$work/key.pem"
  openssl dgst -sha256 -verify "$work/key.pem" -signature "$work/signature" README.md
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
