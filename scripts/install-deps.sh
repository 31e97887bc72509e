#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing.
#   scripts/install-deps.sh          native build, tests, tools
#   scripts/install-deps.sh --run    only what building the plug-in, the poller and the simulator needs
#   scripts/install-deps.sh --arm    also the arm-linux-gnueabihf cross build and qemu-arm
#   scripts/install-deps.sh --bench  also Google Benchmark
#   scripts/install-deps.sh --mutants  also Python for the mutation check
#   scripts/install-deps.sh --profile  also valgrind (callgrind counts instructions) and strace (wake-ups)
#   scripts/install-deps.sh --format also clang-format-14 (make format, make format-check)
set -euo pipefail

# GoogleTest is here too: configuring the build tree looks for it.
packages=(cmake make g++ pkg-config libjsoncpp-dev libboost-dev libfmt-dev libgtest-dev libgmock-dev
          libcli11-dev libsqlite3-dev libncurses-dev)
# Configuring reads the hardening flags and the version with dpkg-dev; the manual pages come from help2man.
packages+=(dpkg-dev help2man)
# The poller's network outputs.
packages+=(libmosquitto-dev libcpp-httplib-dev libcrypt-dev libssl-dev libjs-chart.js)
# The poller's notifications to systemd (ready, status, watchdog).
packages+=(libsystemd-dev)
# What the tests run: tmux for the screen, packaging tools and a Debian root, a broker, a browser, openssl for a
# test certificate, strace for the system calls the service may make.
test_packages=(tmux systemd lintian man-db mmdebstrap mosquitto chromium openssl strace)
run_only=0
for arg in "$@"; do [ "$arg" = --run ] && run_only=1; done
[ "$run_only" = 1 ] || packages+=("${test_packages[@]}")
arm=0
for arg in "$@"; do
  case "$arg" in
    --run) ;;
    --arm) arm=1 ;;
    --bench) packages+=(libbenchmark-dev) ;;
    --profile) packages+=(valgrind strace) ;;
    --fuzz) packages+=(clang libclang-rt-14-dev) ;;
    --format) packages+=(clang-format-14) ;;
    --mutants) packages+=(python3) ;;
    *) echo "install-deps: unknown option $arg" >&2; exit 2 ;;
  esac
done
if [ "$arm" = 1 ]; then
  packages+=(g++-arm-linux-gnueabihf qemu-user libjsoncpp-dev:armhf libfmt-dev:armhf libgtest-dev:armhf
             libsqlite3-dev:armhf libmosquitto-dev:armhf libcpp-httplib-dev:armhf libcrypt-dev:armhf
             libssl-dev:armhf libncurses-dev:armhf libsystemd-dev:armhf)
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
apt_install() {
  DEBIAN_FRONTEND=noninteractive $sudo apt-get "$@" install -y -q --no-install-recommends "${missing[@]}"
}

# A mirror caught mid-sync fails an index now and then: try again before giving up.
for try in 1 2 3; do
  if $sudo apt-get update -q; then break; fi
  if [ "$try" = 3 ]; then
    echo "install-deps: apt-get update failed three times; installing from the package lists there are" >&2
  else
    sleep $((try * 15))
  fi
done
apt_install && exit 0

# When one architecture's security index did not download (a mirror in the
# middle of a sync), the two architectures of a Multi-Arch: same library
# (libssl3, linux-libc-dev) get different candidates and apt refuses. Without
# the security suite, and preferring the release's own versions even where
# that means stepping an amd64 one back, both get the same; nothing is removed.
# The normal lists are fetched again afterwards.
if [ "$arm" = 1 ]; then
  echo "install-deps: trying the install again from the release without its security suite" >&2
  lists=$(mktemp -d)
  trap 'rm -rf "$lists"' EXIT
  mkdir "$lists/parts" "$lists/preferences.d"
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] && awk 'BEGIN { RS = ""; ORS = "\n\n" } !/Suites:[^\n]*-security/' "$f" > "$lists/parts/$(basename "$f")"
  done
  if [ -f /etc/apt/sources.list ]; then grep -v -- '-security' /etc/apt/sources.list > "$lists/sources.list" || true
  else : > "$lists/sources.list"; fi
  printf 'Package: *\nPin: release o=Debian\nPin-Priority: 1001\n' > "$lists/preferences"
  opts=(-o "Dir::Etc::sourcelist=$lists/sources.list" -o "Dir::Etc::sourceparts=$lists/parts"
        -o "Dir::Etc::preferences=$lists/preferences" -o "Dir::Etc::preferencesparts=$lists/preferences.d")
  status=1
  $sudo apt-get "${opts[@]}" update -q && apt_install "${opts[@]}" --allow-downgrades --no-remove && status=0
  $sudo apt-get update -q || true
  [ "$status" = 0 ] && exit 0
fi
echo "install-deps: could not install ${missing[*]}" >&2
exit 1
