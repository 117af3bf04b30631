#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build folder.
#   scripts/fuzz.sh BUILD_DIR time SECONDS   each target for SECONDS
#   scripts/fuzz.sh BUILD_DIR runs COUNT     each target for COUNT executions
# The seed corpus is made on the spot from the system's CA certificates,
# CMS signatures, a CRL and an OCSP exchange made with the openssl command,
# two proxy answers and a card conversation; each target keeps its own
# corpus under BUILD_DIR/corpus/<target>. Exits non-zero on the first crash.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
mode=$2
amount=$3

seeds="$build/corpus/seeds"
if [[ ! -d "$seeds" ]]; then
  mkdir -p "$seeds"
  count=0
  for pem in /etc/ssl/certs/*.pem; do
    openssl x509 -in "$pem" -outform DER -out "$seeds/cert-$count.der" 2>/dev/null || continue
    count=$((count + 1))
    ((count < 24)) || break
  done
  work=$(mktemp -d)
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=Fuzz Seed" \
    -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 2>/dev/null
  printf 'seed content' > "$work/content.txt"
  openssl cms -sign -binary -in "$work/content.txt" -signer "$work/cert.pem" -inkey "$work/key.pem" \
    -outform DER -out "$seeds/cms-detached.der" 2>/dev/null
  openssl cms -sign -binary -nodetach -in "$work/content.txt" -signer "$work/cert.pem" \
    -inkey "$work/key.pem" -outform DER -out "$seeds/cms-attached.der" 2>/dev/null
  # A time-stamp insertion: token length 2 * 16, 16 octets of room to
  # spare, the container, then a 32-octet DER token.
  { printf '\x02\x10'; cat "$seeds/cms-detached.der"; printf '\x30\x1e'; head -c 30 /dev/zero; } \
    > "$seeds/add-timestamp.bin"
  # A CRL, an OCSP request and a response about the seed certificate, made
  # offline with a minimal CA configuration.
  : > "$work/index.txt"
  printf '[ca]\ndefault_ca=seed\n[seed]\ndatabase=%s\ndefault_md=sha256\ndefault_crl_days=2\n' \
    "$work/index.txt" > "$work/ca.cnf"
  openssl ca -gencrl -config "$work/ca.cnf" -keyfile "$work/key.pem" -cert "$work/cert.pem" \
    -out "$work/crl.pem" 2>/dev/null &&
    openssl crl -in "$work/crl.pem" -outform DER -out "$seeds/crl.der" 2>/dev/null || true
  openssl ocsp -issuer "$work/cert.pem" -cert "$work/cert.pem" -reqout "$seeds/ocsp-request.der" \
    2>/dev/null &&
    openssl ocsp -index "$work/index.txt" -rsigner "$work/cert.pem" -rkey "$work/key.pem" \
      -CA "$work/cert.pem" -reqin "$seeds/ocsp-request.der" -respout "$seeds/ocsp-response.der" \
      >/dev/null 2>&1 || true
  # Answers of an HTTP proxy to CONNECT.
  printf 'HTTP/1.0 200 Connection established\r\nProxy-agent: seed\r\n\r\n' > "$seeds/proxy-200.txt"
  printf 'HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm="x"\r\n\r\n' \
    > "$seeds/proxy-407.txt"
  # A card conversation: block size and flags, then answers as a length
  # byte and the bytes (selects, an FCP of a 300-byte file, reads, 6282).
  printf '\x10\x00\x02\x90\x00\x02\x90\x00\x08\x62\x04\x80\x02\x01\x2c\x90\x00\x05\x01\x02\x03\x90\x00\x02\x62\x82\x04\x30\x31\x90\x00' \
    > "$seeds/card-answers.bin"
  rm -rf "$work"
fi

case "$mode" in
  time) limit=(-max_total_time="$amount") ;;
  runs) limit=(-runs="$amount") ;;
  *) echo "mode must be 'time' or 'runs'" >&2; exit 64 ;;
esac

status=0
for target in "$build"/fuzz/fuzz_*; do
  [[ -x "$target" && -f "$target" ]] || continue
  name=$(basename "$target")
  corpus="$build/corpus/$name"
  mkdir -p "$corpus"
  log="$build/corpus/$name.log"
  if "$target" "${limit[@]}" -rss_limit_mb=2048 -max_len=65536 -timeout=10 \
       -print_final_stats=1 "$corpus" "$seeds" >"$log" 2>&1; then
    runs=$(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')
    echo "fuzz: $name ok, $runs executions"
  else
    echo "fuzz: $name FAILED; last lines of $log:"
    tail -n 40 "$log"
    status=1
  fi
done
exit $status
