#!/usr/bin/env bash
# What vx42b-poll spends per round outside the plug-in, against its built-in
# simulator: callgrind over two runs of different length, so that start-up
# and shut-down cancel out; the poller's own thread's wake-ups (strace).
# Every run makes its own pseudo-terminal (the built-in simulator opens a
# fresh one), and the --mqtt runs a mosquitto of their own on a free
# loopback port; whatever this script starts is stopped when it ends.
#
# A figure is printed only from runs whose every round completed, without a
# reply time-out or a refused frame: otherwise the script says which run went
# wrong and fails.
#
#   scripts/profile-poll.sh BUILD_DIR [SHORT LONG]
#   scripts/profile-poll.sh --check JSON_FILE ROUNDS   the check of one run's output alone
set -euo pipefail

# Why a run's JSON lines cannot be trusted, or nothing. Wants the summary
# line the poller writes at exit, exactly `rounds` rounds, all complete.
refusal() {
    local file=$1 rounds=$2
    local summary got incomplete
    summary=$(grep '"event":"summary"' "$file" | tail -n 1 || true)
    got=$(grep -c '"event":"round"' "$file" || true)
    incomplete=$(grep '"event":"round"' "$file" | grep -c '"complete":false' || true)
    if ! grep -q '"text":"built-in simulator on ' "$file"; then
        echo "the poller did not poll its built-in simulator"
    elif [ -z "$summary" ]; then
        echo "no summary line: the poller did not finish"
    elif [ "$got" != "$rounds" ]; then
        echo "$got rounds instead of $rounds"
    elif [ "$incomplete" != 0 ]; then
        echo "$incomplete of $rounds rounds incomplete"
    elif ! grep -q '"rounds_abandoned":0[,}]' <<<"$summary" || ! grep -q '"timeouts":0[,}]' <<<"$summary" ||
        ! grep -q '"frame_errors":0[,}]' <<<"$summary"; then
        echo "the line was not clean: $summary"
    fi
}

if [ "${1:-}" = --check ]; then
    why=$(refusal "${2:?JSON file}" "${3:?rounds}")
    [ -z "$why" ] && exit 0
    echo "$why"
    exit 1
fi

build=${1:?build directory}
short=${2:-3}
long=${3:-13}
here=$(cd "$(dirname "$0")" && pwd)
poll=$build/tools/poll/vx42b-poll
out=$(mktemp -d)
children=()

# Each child leads a process group of its own (setsid), so that what it
# started (strace's command) goes with it.
cleanup() {
    local pid
    for pid in "${children[@]}"; do kill -- "-$pid" 2>/dev/null || true; done
    for pid in "${children[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$out"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A loopback port nothing listens on.
free_port() {
    local p
    for _ in $(seq 50); do
        p=$((20000 + RANDOM % 40000))
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
            echo "$p"
            return
        fi
    done
    return 1
}

# Runs one command in the background as a child this script stops at exit.
start() {
    setsid "$@" &
    children+=($!)
}

# Sets `url` to a mosquitto's of our own.
start_broker() {
    local port
    port=$(free_port)
    printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\n' "$port" >"$out/mosquitto.conf"
    start mosquitto -c "$out/mosquitto.conf" >"$out/mosquitto.log" 2>&1
    for _ in $(seq 100); do
        if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            url="mqtt://127.0.0.1:$port"
            return
        fi
        sleep 0.1
    done
    echo "profile-poll: mosquitto did not start: $(cat "$out/mosquitto.log")" >&2
    return 1
}

# run NAME ROUNDS TOOL... -- POLLER-OPTIONS: the poller under TOOL; fails
# with the reason when the run is not clean.
run() {
    local name=$1 rounds=$2 status=0 why
    shift 2
    local tool=()
    while [ "$1" != -- ]; do
        tool+=("$1")
        shift
    done
    shift
    setsid "${tool[@]}" "$poll" "$@" --rounds "$rounds" >"$out/$name.json" 2>"$out/$name.err" &
    children+=($!)
    wait "$!" || status=$?
    if [ "$status" != 0 ]; then
        echo "profile-poll: no figure: vx42b-poll $* --rounds $rounds exited with $status: $(tail -n 3 "$out/$name.err")" >&2
        return 1
    fi
    why=$(refusal "$out/$name.json" "$rounds")
    if [ -n "$why" ]; then
        echo "profile-poll: no figure: vx42b-poll $* --rounds $rounds: $why" >&2
        return 1
    fi
}

# Sets `outside`, `inside` and `sim`: the instructions of one run outside
# the plug-in, in it, and those of the built-in simulator's thread, which a
# poller on a real line does not have.
cost() {
    local name=$1 rounds=$2 file o i
    shift 2
    run "$name" "$rounds" valgrind --tool=callgrind --separate-threads=yes --callgrind-out-file="$out/cg.$name" -- "$@" ||
        return 1
    outside=0 inside=0 sim=0
    for file in "$out/cg.$name"-*; do
        read -r o i < <(awk -f "$here/callgrind-objects.awk" "$file" |
            awk '{ total += $1 } $2 ~ /libvx42b\.so$/ { plugin += $1 } END { printf "%d %d\n", total - plugin, plugin }')
        if grep -q 'SimServer::ServeOnce' "$file"; then
            sim=$((sim + o + i))
        else
            outside=$((outside + o)) inside=$((inside + i))
        fi
    done
}

# Sets `waits`, `timeouts` and `frames`: the polling thread's blocking
# waits, those of them that timed out (the loop's 50 ms turns while nothing
# is due, which grow with the simulator's delays), and the frames it sent.
wakeups() {
    local name=$1 rounds=$2
    shift 2
    run "$name" "$rounds" strace -f -qq -e trace=poll,ppoll,select,pselect6,epoll_wait,write -o "$out/st.$name" -- "$@" ||
        return 1
    local main
    main=$(awk 'NR == 1 { print $1 }' "$out/st.$name")
    # A wait with a time-out of 0 only looks; each other one is a wake-up.
    read -r waits timeouts frames < <(awk -v main="$main" '$1 != main { next }
        $2 ~ /^(poll|ppoll|select|pselect6|epoll_wait)\(/ && $0 !~ /, 0(\) +=| <unfinished)/ { waits++; if ($0 ~ /= 0 \(Timeout\)/) idle++ }
        $0 ~ /resumed>.*= 0 \(Timeout\)/ { idle++ }
        $2 ~ /^write\(/ && $0 ~ /"~/ { frames++ }
        END { printf "%d %d %d\n", waits, idle, frames }' "$out/st.$name")
}

# 1234567 as 1,234,567.
grouped() { sed -e ':a' -e 's/\([0-9]\)\([0-9]\{3\}\)\($\|,\)/\1,\2\3/' -e 'ta' <<<"$1"; }

rounds=$((long - short))
rows=()
measure() {
    local label=$1 a pa sa b pb sb wa fa wb fb lines_a lines_b
    shift
    cost short "$short" "$@" || return 1
    a=$outside pa=$inside sa=$sim
    cost long "$long" "$@" || return 1
    b=$outside pb=$inside sb=$sim
    lines_a=$(grep -c '^{' "$out/short.json")
    lines_b=$(grep -c '^{' "$out/long.json")
    wakeups wshort "$short" "$@" || return 1
    wa=$waits fa=$frames ta=$timeouts
    wakeups wlong "$long" "$@" || return 1
    wb=$waits fb=$frames tb=$timeouts
    local f w on
    f=$(awk -v n="$((fb - fa))" -v r="$rounds" 'BEGIN { printf "%.1f", n / r }')
    w=$(((wb - wa) / rounds))
    on=$(awk -v w="$((wb - wa - tb + ta))" -v r="$rounds" -v f="$((fb - fa))" 'BEGIN { printf "%d (%.1f a frame)", w / r, f ? w / f : 0 }')
    rows+=("| \`$label\` | $(grouped $(((b - a) / rounds))) | $(grouped $(((pb - pa) / rounds))) | $(grouped $(((sb - sa) / rounds))) | $(((lines_b - lines_a) / rounds)) | $f | $w | $on |")
}

measure "vx42b-poll --json" --json
start_broker
port=$(free_port)
measure "vx42b-poll --json --http 127.0.0.1:PORT --mqtt mqtt://127.0.0.1:PORT" --json --http "127.0.0.1:$port" --mqtt "$url"

type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
echo "vx42b-poll per round against its built-in simulator, rounds $((short + 1)) to $long" \
    "(scripts/profile-poll.sh $build $short $long; ${type:-unknown} build; $(date -u '+%Y-%m-%d %H:%M UTC')):"
echo
echo "| Command | Instructions outside the plug-in | In the plug-in | Simulator (not counted) | JSON lines | Frames sent | Poller wake-ups | Of them on input |"
echo "|---|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
