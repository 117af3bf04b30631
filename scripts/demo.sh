#!/usr/bin/env bash
# Installs what is missing, builds, and runs kivocrypto on a built-in example:
# the digests of README.md with every algorithm the library has.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/build.sh build-demo -DKIVO_BUILD_TESTS=OFF -DKIVO_BUILD_BENCH=OFF

cli=build-demo/tools/kivocrypto
"$cli" --version
for algorithm in sha1 sha256 sha384 sha512 md5 ripemd160; do
  printf '%-10s ' "$algorithm"
  "$cli" hash -a "$algorithm" README.md
done
