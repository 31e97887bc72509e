#!/usr/bin/env bash
# The package the way a gateway gets it: a minimal Debian 12 root
# (mmdebstrap --variant=apt, from this machine's Debian mirror), the amd64
# package installed with apt-get, which must fetch what Depends names, and
# the installed poller polling the installed simulator for two rounds.
# The root is made once and kept as a tarball (VX42B_ROOT_CACHE, default
# ~/.cache/vx42b); each run unpacks a fresh copy. Without root, mmdebstrap or
# a reachable mirror the test says why and exits 77 (skipped).
#   tests/package_root_test.sh BUILD_DIR [DEB]
set -euo pipefail
build=$1
deb=${2:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "skipped: $*"; exit 77; }
now() { date +%s; }

[ "$(id -u)" = 0 ] || skip "not root: a Debian root needs chroot and mounts (CI runs this as root)"
for tool in mmdebstrap unshare chroot; do
  command -v $tool >/dev/null || skip "$tool is not installed (Debian packages mmdebstrap, util-linux, coreutils)"
done
# The mirror the machine's apt uses for Debian 12, as apt itself reads the sources.
mirror=${VX42B_MIRROR:-$(apt-get indextargets --format '$(RELEASE) $(REPO_URI)' 2>/dev/null |
  awk '$1 == "bookworm" { print $2; exit }')}
[ -n "$mirror" ] || skip "no Debian 12 (bookworm) mirror in /etc/apt/sources.list*; set VX42B_MIRROR"

if [ -z "$deb" ]; then
  cpack -G DEB -B "$work/out" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack"; }
  deb=$(ls "$work"/out/vx42b_*.deb)
fi
[ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ] ||
  skip "$(basename "$deb") is not for this machine's architecture"

cache=${VX42B_ROOT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vx42b}
tarball=$cache/bookworm-apt-$(printf %s "$mirror" | sha256sum | cut -c1-12).tar
mkdir -p "$cache/archives"
start=$(now)
if [ ! -s "$tarball" ]; then
  echo "making a Debian 12 root from $mirror (once; kept in $tarball)"
  if ! timeout 900 mmdebstrap --variant=apt --quiet bookworm "$work/root.tar" "$mirror" >"$work/mmdebstrap.log" 2>&1; then
    tail -n 5 "$work/mmdebstrap.log"
    skip "mmdebstrap could not make a root from $mirror"
  fi
  mv "$work/root.tar" "$tarball.$$" && mv "$tarball.$$" "$tarball"
  echo "root made in $(($(now) - start)) s"
fi
root=$work/root
mkdir "$root"
tar -C "$root" -xf "$tarball"
cp -L /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
# Lists and packages fetched by an earlier run: apt-get update asks the mirror
# only for what changed, and checks the packages against the new lists.
mkdir -p "$cache/lists"
find "$cache/lists" -maxdepth 1 -type f -exec cp {} "$root/var/lib/apt/lists/" \;
find "$cache/archives" -name '*.deb' -exec cp {} "$root/var/cache/apt/archives/" \;
cp "$deb" "$root/tmp/vx42b.deb"
echo "root ready in $(($(now) - start)) s"

cat >"$root/tmp/gateway.sh" <<'EOF'
set -eu
export DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8 PATH=/usr/sbin:/usr/bin:/sbin:/bin
apt="apt-get -q -o Dpkg::Use-Pty=0 -o Acquire::Retries=2 -o Acquire::http::Timeout=30"
now() { date +%s; }
# A fresh root: none of the libraries that only the package brings.
for lib in libmosquitto1 libcpp-httplib0.11 libjsoncpp25; do
  if dpkg -s $lib >/dev/null 2>&1; then echo "the fresh root already has $lib"; exit 3; fi
done
start=$(now)
$apt update >/tmp/apt-update.log 2>&1 || { tail -n 5 /tmp/apt-update.log; exit 4; }
if ! $apt install -y /tmp/vx42b.deb >/tmp/apt-install.log 2>&1; then
  cat /tmp/apt-install.log; exit 5
fi
echo "apt-get update and install in $(($(now) - start)) s:" \
  "$(grep -c '^Setting up' /tmp/apt-install.log) packages set up"

start=$(now)
vx42b-sim >/tmp/sim.out 2>/tmp/sim.err &
sim=$!
pty=""
for _ in $(seq 200); do
  pty=$(sed -n 's/^vx42b-sim: serving on //p' /tmp/sim.out)
  [ -n "$pty" ] && break
  kill -0 $sim 2>/dev/null || { cat /tmp/sim.err; exit 7; }
  sleep 0.05
done
[ -n "$pty" ] || { echo "the simulator did not start"; kill $sim; exit 7; }
status=0
timeout 120 vx42b-poll --config /usr/share/doc/vx42b/examples/site.json --port "$pty" --rounds 2 --plain \
  >/tmp/poll.out 2>&1 || status=$?
kill $sim 2>/dev/null; wait $sim 2>/dev/null || true
if [ $status != 0 ]; then tail -n 20 /tmp/poll.out; echo "vx42b-poll exited with $status"; exit 8; fi
complete=$(grep -c '^-- round [0-9]* | complete |' /tmp/poll.out || true)
[ "$complete" = 2 ] || { tail -n 20 /tmp/poll.out; echo "expected 2 complete rounds, got $complete"; exit 8; }
echo "installed vx42b-poll: 2 complete rounds against the installed vx42b-sim in $(($(now) - start)) s"
dpkg -s libjs-chart.js >/dev/null 2>&1 || { echo "Recommends: libjs-chart.js was not installed"; exit 6; }
EOF

status=0
# A mount namespace of its own: /dev and /proc go away with it, whatever happens.
unshare --mount --fork --kill-child sh -c \
  'mount --rbind /dev "$1/dev" && mount -t proc proc "$1/proc" && exec chroot "$1" /bin/sh /tmp/gateway.sh' \
  sh "$root" || status=$?
# Keep what this run fetched, and only that, for the next.
if [ $status = 0 ]; then
  find "$cache/archives" -name '*.deb' -delete
  find "$root/var/cache/apt/archives" -maxdepth 1 -name '*.deb' -exec cp {} "$cache/archives/" \;
  find "$cache/lists" -type f -delete
  find "$root/var/lib/apt/lists" -maxdepth 1 -type f ! -name lock -exec cp {} "$cache/lists/" \;
fi
case $status in
  0) echo "package on a fresh Debian 12 root: installed and polling in $(($(now) - start)) s in all" ;;
  3) fail "the root from $tarball is not fresh; remove it" ;;
  4) skip "apt-get update cannot reach $mirror" ;;
  5) fail "apt-get could not install $(basename "$deb") on a fresh root" ;;
  6) fail "apt-get did not install the recommended libjs-chart.js" ;;
  7) fail "the installed vx42b-sim did not start" ;;
  *) fail "the installed vx42b-poll did not poll the installed simulator (status $status)" ;;
esac
