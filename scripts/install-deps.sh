#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need.
# Quiet and quick when everything is present; safe to run any number of times.
set -euo pipefail

packages=(
  # build
  g++ cmake make pkg-config binutils python3
  libssl-dev liblog4cxx-dev libpcsclite-dev libcurl4-openssl-dev
  # tests and benchmarks
  googletest libgtest-dev libbenchmark-dev openssl ca-certificates
  pcscd vsmartcard-vpcd
  # an independent reader of the virtual PKCS#15 cards
  opensc
  # the PKCS#11 module and the outside programs that prove it
  gnutls-bin libnss3-tools libengine-pkcs11-openssl p11-kit libp11-kit-dev
  # pinentry programs: the tty one driven on a pseudo-terminal by the tests,
  # which also check that the GTK one is found; scripts/pinentry-screenshot.sh
  # shows the GTK one on a virtual X display (xdotool, netpbm)
  pinentry-tty pinentry-gtk2 xvfb xdotool netpbm
  # outside path-validation suite (NIST PKITS signed messages)
  python3-cryptography-vectors
  # an independent RFC 3161 verifier: Bouncy Castle, run as a Java source file
  default-jdk-headless libbcpkix-java libbcprov-java libbcutil-java
  # fuzzing and sanitizer runtimes
  clang libclang-rt-14-dev
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "install-deps: done"
