#!/usr/bin/env bash
# Installs what is missing, builds, and runs kivocrypto on built-in examples:
# the digests of README.md with every algorithm the library has, then
# `kivocrypto demo`, which makes a throwaway PKI and time-stamp service,
# signs and time-stamps a document through the library, shows the container
# and checks it with OpenSSL.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/build.sh build-demo -DKIVO_BUILD_TESTS=OFF -DKIVO_BUILD_BENCH=OFF

cli=build-demo/tools/kivocrypto
"$cli" --version
echo
echo "== digests of README.md"
for algorithm in sha1 sha256 sha384 sha512 md5 ripemd160; do
  printf '%-10s ' "$algorithm"
  "$cli" hash -a "$algorithm" README.md
done
echo
echo "== kivocrypto demo"
"$cli" demo
