#!/usr/bin/env bash
# Makes the key files the card descriptions of tests/support/cards name
# (key <ref> file=<name>), fresh, into DIR: the kind comes from the name's
# prefix (rsa1024, rsa2048, rsa3072, ec256), as the tests' in-process cards
# make them; then for each key <stem>.pem the certificate that card files
# take their contents from (data=@<stem>.crt; the descriptions the tests
# write name them too): self-signed, DER, subject CN=<stem>.
# No card key or certificate is checked in.
#   scripts/card-keys.sh DIR
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$1
for file in $(sed -n 's/^[[:space:]]*key[[:space:]]\+[^[:space:]]\+[[:space:]]\+file=\([^[:space:]]*\).*/\1/p' \
                tests/support/cards/*.txt | sort -u); do
  case "$file" in
    rsa1024*) args=(-algorithm RSA -pkeyopt rsa_keygen_bits:1024) ;;
    rsa2048*) args=(-algorithm RSA -pkeyopt rsa_keygen_bits:2048) ;;
    rsa3072*) args=(-algorithm RSA -pkeyopt rsa_keygen_bits:3072) ;;
    ec256*) args=(-algorithm EC -pkeyopt ec_paramgen_curve:P-256) ;;
    *) echo "card-keys.sh: no key kind for $file" >&2; exit 1 ;;
  esac
  openssl genpkey "${args[@]}" -out "$dir/$file" 2>/dev/null
done
for key in "$dir"/*.pem; do
  stem=$(basename "$key" .pem)
  openssl req -new -x509 -key "$dir/$stem.pem" -subj "/CN=$stem" -days 365 -outform DER \
    -out "$dir/$stem.crt" 2>/dev/null
done
