#!/usr/bin/env bash
# Instructions per round that vx42b-poll --json spends outside the plug-in,
# against its built-in simulator: callgrind over two runs of different
# length, so that start-up and shut-down cancel out.
#   scripts/profile-poll.sh BUILD_DIR [SHORT LONG]
set -euo pipefail
build=${1:?build directory}
short=${2:-3}
long=${3:-13}
here=$(cd "$(dirname "$0")" && pwd)
poll=$build/tools/poll/vx42b-poll
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

outside() {
    valgrind --tool=callgrind --callgrind-out-file="$out/cg.$1" "$poll" --json --rounds "$1" >"$out/json.$1" 2>/dev/null
    awk -f "$here/callgrind-objects.awk" "$out/cg.$1" |
        awk '{ total += $1 } $2 ~ /libvx42b\.so$/ { plugin += $1 } END { printf "%d %d\n", total - plugin, plugin }'
}
read -r a pa < <(outside "$short")
read -r b pb < <(outside "$long")
rounds=$((long - short))
echo "vx42b-poll --json, built-in simulator, per round over rounds $((short + 1)) to $long:"
echo "  outside the plug-in: $(( (b - a) / rounds )) instructions"
echo "  in the plug-in:      $(( (pb - pa) / rounds )) instructions"
echo "  JSON lines:          $(( ($(wc -l <"$out/json.$long") - $(wc -l <"$out/json.$short")) / rounds ))"
