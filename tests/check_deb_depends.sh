#!/usr/bin/env bash
# Every library an ELF file of the package needs (its NEEDED entries) is the
# package's own or comes from a package its Depends names. The libraries are
# looked up among the build machine's packages of the .deb's architecture
# (dpkg -S), so an armhf package needs the armhf libraries installed
# (scripts/install-deps.sh --arm).
#   tests/check_deb_depends.sh DEB
set -euo pipefail
deb=$1
fail() { echo "FAIL: $*" >&2; exit 1; }

arch=$(dpkg-deb -f "$deb" Architecture)
multiarch=$(dpkg-architecture -A "$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
# Package names only: versions and alternatives do not matter here.
depends=$(dpkg-deb -f "$deb" Depends | tr ',|' '\n\n' | sed 's/(.*)//; s/:.*//; s/ //g' | sort -u)
[ -n "$depends" ] || fail "$(basename "$deb") has no Depends"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb -x "$deb" "$work"
own=$(find "$work" -name '*.so*' -printf '%f\n')

checked=0
while IFS= read -r -d '' file; do
  [ "$(head -c 4 "$file" | od -An -c | tr -d ' ')" = '177ELF' ] || continue
  for lib in $(readelf -dW "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    grep -qx -- "$lib" <<<"$own" && continue
    owner=""
    for dir in /lib/$multiarch /usr/lib/$multiarch /lib /lib64 /usr/lib; do
      owner=$(dpkg -S "$dir/$lib" 2>/dev/null | sed -n '1s/:.*//p') && [ -n "$owner" ] && break
    done
    [ -n "$owner" ] || fail "no $arch package on this machine provides $lib (needed by ${file#"$work"})"
    grep -qx -- "$owner" <<<"$depends" ||
      fail "${file#"$work"} needs $lib from $owner, which Depends lacks: $(dpkg-deb -f "$deb" Depends)"
    checked=$((checked + 1))
  done
done < <(find "$work" -type f -print0)
[ "$checked" -gt 0 ] || fail "no NEEDED library found in $(basename "$deb")"
echo "Depends covers the $checked NEEDED libraries of $(basename "$deb")"
