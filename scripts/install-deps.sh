#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing.
#   scripts/install-deps.sh          native build, tests, tools
#   scripts/install-deps.sh --arm    also the arm-linux-gnueabihf cross build and qemu-arm
#   scripts/install-deps.sh --bench  also Google Benchmark
#   scripts/install-deps.sh --mutants  also Python for the mutation check
#   scripts/install-deps.sh --profile  also valgrind (callgrind counts instructions)
#   scripts/install-deps.sh --format also clang-format-14 (make format, make format-check)
set -euo pipefail

packages=(cmake make g++ pkg-config libjsoncpp-dev libboost-dev libfmt-dev libgtest-dev libgmock-dev
          libcli11-dev libsqlite3-dev libncurses-dev tmux dpkg-dev systemd lintian)
# The poller's network outputs, and what their tests run: a broker, a browser, openssl for a test certificate.
packages+=(libmosquitto-dev libcpp-httplib-dev libcrypt-dev libssl-dev libjs-chart.js mosquitto chromium openssl)
arm=0
for arg in "$@"; do
  case "$arg" in
    --arm) arm=1 ;;
    --bench) packages+=(libbenchmark-dev) ;;
    --profile) packages+=(valgrind) ;;
    --fuzz) packages+=(clang libclang-rt-14-dev) ;;
    --format) packages+=(clang-format-14) ;;
    --mutants) packages+=(python3) ;;
    *) echo "install-deps: unknown option $arg" >&2; exit 2 ;;
  esac
done
if [ "$arm" = 1 ]; then
  packages+=(g++-arm-linux-gnueabihf qemu-user libjsoncpp-dev:armhf libfmt-dev:armhf libgtest-dev:armhf
             libsqlite3-dev:armhf libmosquitto-dev:armhf libcpp-httplib-dev:armhf libcrypt-dev:armhf
             libssl-dev:armhf libncurses-dev:armhf)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
if [ "$arm" = 1 ] && ! dpkg --print-foreign-architectures | grep -qx armhf; then
  $sudo dpkg --add-architecture armhf
fi
echo "install-deps: installing ${missing[*]}"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
