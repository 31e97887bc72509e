#!/usr/bin/env bash
# The packaged systemd unit, as far as it can be checked without systemd
# running: systemd-analyze verify in a root holding the built poller,
# systemd-analyze security within its exposure budget, the programs free of
# an executable stack (MemoryDenyWriteExecute= would refuse the plug-in), and
# every system call the poller makes while polling, serving the metrics over
# TLS and trying a broker allowed by the unit's SystemCallFilter=.
#   tests/service_unit_test.sh UNIT POLL_EXE SIM_EXE PLUGIN HOST_LIB
# Exit 77 (skipped) without systemd-analyze.
set -euo pipefail
# shellcheck source=start_sim.sh
source "$(dirname "$0")/start_sim.sh"
unit=$1 poll=$2 sim_exe=$3 plugin=$4 hostlib=$5
# Tenths: 2.0 of 10.
budget=20
fail() { echo "FAIL: $*" >&2; exit 1; }

if ! command -v systemd-analyze >/dev/null; then
  echo "skipped: systemd-analyze is not installed (Debian package systemd); the unit is not checked"
  exit 77
fi

work=$(mktemp -d)
sim=""
cleanup() {
  [ -n "$sim" ] && kill "$sim" 2>/dev/null && wait "$sim" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# verify: the unit as installed, its ExecStart present, the system's targets beside it.
root=$work/root
units=$root/lib/systemd/system
mkdir -p "$units" "$root/usr/bin" "$root/etc/vx42b"
cp "$unit" "$units/"
cp "$poll" "$root/usr/bin/vx42b-poll"
for target in /lib/systemd/system/*.target; do cp -n "$target" "$units/" 2>/dev/null || true; done
echo '{"data_id": 1}' >"$root/etc/vx42b/site1.json"
if ! out=$(systemd-analyze verify --root="$root" vx42b-poll@site1.service 2>&1) || [ -n "$out" ]; then
  echo "$out" >&2
  fail "systemd-analyze verify vx42b-poll@site1.service"
fi
echo "systemd-analyze verify: clean"

report=$(systemd-analyze security --offline=true --threshold=$budget "$unit" 2>&1) && status=0 || status=$?
exposure=$(sed -n 's/^→ Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' <<<"$report")
[ -n "$exposure" ] || { echo "$report" >&2; fail "no exposure level in the report"; }
if [ "$status" != 0 ]; then
  grep '✗' <<<"$report" >&2 || true
  fail "exposure $exposure is above the budget of $((budget / 10)).$((budget % 10))"
fi
echo "systemd-analyze security: exposure $exposure, budget $((budget / 10)).$((budget % 10))"

for elf in "$poll" "$sim_exe" "$plugin" "$hostlib"; do
  stack=$(readelf -lW "$elf" | awk '$1 == "GNU_STACK" { print $7 }')
  [ "$stack" = RW ] || fail "$elf asks for an executable stack ($stack); MemoryDenyWriteExecute= would refuse it"
done
echo "no executable stack in the poller, the simulator, the plug-in or the host library"

# The system calls allowed: SystemCallFilter= lines in order, an allow list
# first, then ~ lines taking groups away.
expand() {
  systemd-analyze syscall-filter "$1" | tail -n +2 | sed 's/#.*//; s/^ *//; /^$/d' | while read -r name; do
    if [[ $name == @* ]]; then expand "$name"; else echo "$name"; fi
  done
}
filters=$(sed -n 's/^SystemCallFilter=//p' "$unit")
[ -n "$filters" ] || fail "the unit has no SystemCallFilter="
: >"$work/allowed"
while read -r line; do
  deny=0
  [[ $line == ~* ]] && { deny=1; line=${line#\~}; }
  for item in $line; do
    if [[ $item == @* ]]; then expand "$item"; else echo "$item"; fi
  done | sort -u >"$work/set"
  if [ $deny = 1 ]; then
    comm -23 "$work/allowed" "$work/set" >"$work/next" && mv "$work/next" "$work/allowed"
  else
    sort -u "$work/allowed" "$work/set" -o "$work/allowed"
  fi
done <<<"$filters"

if ! command -v strace >/dev/null; then
  echo "skipped: strace is not installed (Debian package strace); the system calls are not checked"
  exit 0
fi
start_sim "$sim_exe" "$work"
mkdir "$work/state"
# The page over TLS, asked once while the poller runs.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=localhost -days 2 \
  -keyout "$work/site.key" -out "$work/site.crt" 2>/dev/null || fail "openssl could not make a test certificate"
chmod 600 "$work/site.key"
timeout 120 strace -f -qq -o "$work/trace" "$poll" --plain --plugin "$plugin" --port "$pty" --rounds 3 \
  --cache "$work/state/cache" --history "$work/state/history.db" --mqtt mqtt://127.0.0.1:1/site \
  --http 127.0.0.1:0 --http-cert "$work/site.crt" --http-key "$work/site.key" >"$work/poll.out" 2>"$work/poll.err" &
traced=$!
port=""
for _ in $(seq 200); do
  port=$(sed -n 's|.*http: serving https://127\.0\.0\.1:\([0-9]*\)/.*|\1|p' "$work/poll.out")
  [ -n "$port" ] && break
  kill -0 "$traced" 2>/dev/null || break
  sleep 0.05
done
if [ -n "$port" ]; then
  printf 'GET /metrics HTTP/1.0\r\nHost: localhost\r\n\r\n' |
    timeout 10 openssl s_client -quiet -connect "127.0.0.1:$port" >"$work/metrics" 2>/dev/null || true
fi
if ! wait "$traced"; then
  if grep -q 'ptrace' "$work/poll.err"; then
    echo "skipped: strace cannot trace here; the system calls are not checked"
    exit 0
  fi
  cat "$work/poll.err" >&2
  fail "the poller under strace"
fi
[ -n "$port" ] || fail "the poller did not say where it serves: $(cat "$work/poll.out")"
grep -q '^vx42b_line_up ' "$work/metrics" || fail "no metrics over TLS: $(head -c 300 "$work/metrics")"
sed -n 's/^[0-9]* *\([a-z0-9_]*\)(.*/\1/p' "$work/trace" | sort -u >"$work/used"
# execve is strace starting the poller. Run as root, SQLite gives each new
# journal the database's owner (fchown); the service's own user does not.
ignore=execve
[ "$(id -u)" = 0 ] && ignore+='\|fchown'
refused=$(comm -23 "$work/used" "$work/allowed" | grep -vx "$ignore" || true)
if [ -n "$refused" ]; then
  fail "the poller makes system calls the unit's SystemCallFilter= refuses: $(tr '\n' ' ' <<<"$refused")"
fi
echo "system calls: all $(wc -l <"$work/used") the poller made are allowed"
