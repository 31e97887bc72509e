#!/usr/bin/env bash
# The Debian package of this build: made with CPack, unpacked with dpkg -x,
# its poller polling its simulator in complete rounds, its manual pages
# read by man, Depends covering every library its ELF files need, its
# systemd unit verified, lintian --pedantic without errors or warnings.
#   tests/package_test.sh BUILD_DIR
set -euo pipefail
# shellcheck source=start_sim.sh
source "$(dirname "$0")/start_sim.sh"
build=$1
work=$(mktemp -d)
sim=""
cleanup() {
  [ -n "$sim" ] && kill "$sim" 2>/dev/null && wait "$sim" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack -G DEB -B "$work/out" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/out/vx42b_*.deb)
echo "package: $(basename "$deb")"

contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for path in ./usr/bin/vx42b-poll ./usr/bin/vx42b-sim ./usr/lib/vx42b/libvx42b.so ./usr/lib/vx42b/libvx42b_host.so \
            ./lib/systemd/system/vx42b-poll@.service ./usr/share/doc/vx42b/examples/site.json ./usr/share/doc/vx42b/examples/site.env \
            ./usr/share/doc/vx42b/README.md ./usr/share/doc/vx42b/docs/commissioning.md ./usr/share/doc/vx42b/copyright \
            ./usr/share/doc/vx42b/changelog.Debian.gz ./usr/share/man/man1/vx42b-poll.1.gz \
            ./usr/share/man/man1/vx42b-sim.1.gz; do
  grep -qx -- "$path" <<<"$contents" || fail "the package lacks $path"
done

root=$work/root
dpkg -x "$deb" "$root"

# The packaged simulator on a pseudo-terminal; the packaged poller finds its
# plug-in and library inside the unpacked tree.
start_sim "$root/usr/bin/vx42b-sim" "$work"
timeout 120 "$root/usr/bin/vx42b-poll" --config "$root/usr/share/doc/vx42b/examples/site.json" --port "$pty" \
  --json --rounds 2 >"$work/poll.out" 2>"$work/poll.err" || { cat "$work/poll.err"; fail "the packaged poller"; }
complete=$(grep -c '"complete":true,.*"event":"round"' "$work/poll.out" || true)
[ "$complete" = 2 ] || { cat "$work/poll.out"; fail "expected 2 complete rounds, got $complete"; }
grep -q "\"plug-in $root/usr/lib/vx42b/libvx42b.so" "$work/poll.out" ||
  fail "the poller did not load the packaged plug-in: $(grep plug-in "$work/poll.out")"
echo "packaged poller: 2 complete rounds with $root/usr/lib/vx42b/libvx42b.so"

# The manual pages as lintian reads them (no groff warnings), each listing its program's options.
for page in vx42b-poll:--rounds vx42b-sim:--scenario; do
  file=$root/usr/share/man/man1/${page%%:*}.1.gz
  LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$file" >/dev/null 2>"$work/man.err" &&
    [ ! -s "$work/man.err" ] || fail "man -l ${file#"$root"}: $(cat "$work/man.err")"
  text=$(LC_ALL=C.UTF-8 MANWIDTH=80 MANPAGER=cat man -l "$file")
  grep -q -- "${page#*:}" <<<"$text" || fail "${file#"$root"} does not mention ${page#*:}"
done
echo "manual pages: vx42b-poll(1) and vx42b-sim(1) read without warnings"

bash "$(dirname "$0")/check_deb_depends.sh" "$deb"

if command -v systemd-analyze >/dev/null; then
  # The unit against the unpacked tree, with the system's targets beside it.
  units=$root/lib/systemd/system
  for target in /lib/systemd/system/*.target; do cp -n "$target" "$units/" 2>/dev/null || true; done
  mkdir -p "$root/etc/vx42b"
  cp "$root/usr/share/doc/vx42b/examples/site.json" "$root/etc/vx42b/site1.json"
  if ! out=$(systemd-analyze verify --root="$root" vx42b-poll@site1.service 2>&1) || [ -n "$out" ]; then
    echo "$out" >&2
    fail "systemd-analyze verify"
  fi
  echo "systemd-analyze verify: vx42b-poll@site1.service is clean"
else
  echo "skipped: systemd-analyze is not installed (Debian package systemd), the unit is not verified"
fi

if command -v lintian >/dev/null; then
  # Info and pedantic tags are shown; those left are explained in docs/development.md.
  lintian --pedantic --display-info --fail-on error,warning "$deb" 2> >(grep -v 'with root privileges' >&2) ||
    fail "lintian reports errors or warnings"
  echo "lintian --pedantic: no errors, no warnings"
else
  echo "skipped: lintian is not installed (Debian package lintian)"
fi
