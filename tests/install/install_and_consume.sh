#!/usr/bin/env bash
# Installs the built library into a temporary prefix and builds an
# application against it twice: with find_package and with pkg-config.
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
echo "find_package and pkg-config consumers work"
