#!/usr/bin/env bash
# Installs the built library into a temporary prefix and builds an
# application against it twice: with find_package and with pkg-config.
# With the card services running (KIVO_VCARD_DIR), the find_package build
# also signs a file with the virtual signature card, checked with OpenSSL.
# Usage: install_and_consume.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
expected=BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD
libdir=$(find "$work/prefix" -name 'libkivocryptossl.so' -printf '%h\n' | head -n1)

cmake -S "$source/tests/install/consumer" -B "$work/cmake-build" \
      -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
got=$(LD_LIBRARY_PATH="$libdir" "$work/cmake-build/consumer")
[[ "$got" == "$expected" ]] || { echo "find_package consumer printed '$got'"; exit 1; }

export PKG_CONFIG_PATH="$libdir/pkgconfig"
c++ -std=c++20 -o "$work/pc-consumer" "$source/tests/install/consumer/consumer.cpp" \
    $(pkg-config --cflags --libs kivocryptossl)
got=$(LD_LIBRARY_PATH="$libdir" "$work/pc-consumer")
[[ "$got" == "$expected" ]] || { echo "pkg-config consumer printed '$got'"; exit 1; }
if [[ -n "${KIVO_VCARD_DIR:-}" ]]; then
  # The described card's reader, under its lock (the card suites use it
  # too): the demo's signature card, powered up anew to become it.
  exec 9>"$KIVO_VCARD_DIR/described.apdu.log.lock"
  flock 9
  reader=$(cat "$KIVO_VCARD_DIR/described.reader")
  echo "$source/tests/support/cards/signature-card.txt" > "$KIVO_VCARD_DIR/described.card"
  # pcscd may still be settling after the card the last suite left there.
  for try in 1 2 3 4 5; do
    opensc-tool --reader "$reader" --reset >/dev/null 2>&1 && break
    ((try < 5)) || { echo "cannot power up the card in $reader"; exit 1; }
    sleep 1
  done
  printf 'signed by a card\n' > "$work/document.txt"
  LD_LIBRARY_PATH="$libdir" "$work/cmake-build/consumer" card "$reader" 123456 \
    "$work/document.txt" "$work/document.p7s" || { echo "the card consumer did not sign"; exit 1; }
  openssl x509 -inform DER -in "$KIVO_VCARD_DIR/rsa2048.crt" -out "$work/card.pem"
  openssl cms -verify -binary -inform DER -in "$work/document.p7s" -content "$work/document.txt" \
    -CAfile "$work/card.pem" -out /dev/null 2>"$work/verify.log" ||
    { echo "OpenSSL does not verify the card's signature:"; cat "$work/verify.log"; exit 1; }
  flock -u 9
  echo "the find_package consumer signs with the virtual card"
fi
echo "find_package and pkg-config consumers work"
