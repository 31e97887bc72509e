#!/usr/bin/env bash
# make profile prints no figure from a run that was not clean: a real run of
# the poller passes the check, and the same run with one thing gone wrong
# (as a stale process on the line makes it) does not.
#   tests/profile_refusal_test.sh VX42B_POLL
set -euo pipefail
poll=${1:?vx42b-poll}
check="$(cd "$(dirname "$0")/.." && pwd)/scripts/profile-poll.sh"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

"$poll" --json --rounds 2 >"$dir/clean.json" 2>/dev/null
if ! why=$("$check" --check "$dir/clean.json" 2); then
    echo "FAIL: a clean run refused: $why"
    exit 1
fi

failures=0
# name | sed expression applied to the clean run | words the refusal must contain
while IFS='|' read -r name edit expected; do
    sed -e "$edit" "$dir/clean.json" >"$dir/$name.json"
    if why=$("$check" --check "$dir/$name.json" 2); then
        echo "FAIL: $name: accepted"
        failures=$((failures + 1))
    elif [[ "$why" != *"$expected"* ]]; then
        echo "FAIL: $name: \"$why\" does not say \"$expected\""
        failures=$((failures + 1))
    fi
done <<'CASES'
timeout|/"event":"summary"/s/"timeouts":0/"timeouts":1/|the line was not clean
frame error|/"event":"summary"/s/"frame_errors":0/"frame_errors":2/|the line was not clean
abandoned|/"event":"summary"/s/"rounds_abandoned":0/"rounds_abandoned":1/|the line was not clean
incomplete round|/"round":2,/s/"complete":true/"complete":false/|1 of 2 rounds incomplete
missing round|/"event":"round".*"round":2,/d|1 rounds instead of 2
no summary|/"event":"summary"/d|no summary line
another line|/built-in simulator on/d|did not poll its built-in simulator
CASES
exit $((failures != 0))
