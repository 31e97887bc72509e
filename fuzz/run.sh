#!/usr/bin/env bash
# Runs every fuzz target for a while on its corpus:
#   fuzz/run.sh BUILD_DIR SECONDS [TARGET...]
# New inputs go to BUILD_DIR/corpus/<target> (the shipped seeds in
# fuzz/corpus/<target> are only read); a crash leaves its input in
# BUILD_DIR/artifacts and ends the run with status 1. An input running
# longer than FUZZ_TIMEOUT seconds (default 60: CI machines are shared) is one.
set -euo pipefail
build=${1:?build directory}
seconds=${2:?seconds per target}
shift 2
here="$(cd "$(dirname "$0")" && pwd)"
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(fuzz_frames fuzz_parsers fuzz_config fuzz_rounds fuzz_cache fuzz_poll_config)

dict_for() {
  case "$1" in
    fuzz_frames) echo "$here/frames.dict" ;;
    fuzz_config|fuzz_poll_config) echo "$here/json.dict" ;;
    *) echo "$here/rounds.dict" ;;
  esac
}

mkdir -p "$build/artifacts"
status=0
for t in "${targets[@]}"; do
  exe="$build/fuzz/$t"
  [ -x "$exe" ] || { echo "fuzz: $exe is not built" >&2; exit 2; }
  mkdir -p "$build/corpus/$t"
  log="$build/artifacts/$t.log"
  # Standard output is closed: the plug-in prints a trace line per AC channel.
  if "$exe" -max_total_time="$seconds" -max_len=16384 -timeout="${FUZZ_TIMEOUT:-60}" -close_fd_mask=1 -print_final_stats=1 \
       -dict="$(dict_for "$t")" -artifact_prefix="$build/artifacts/$t-" \
       "$build/corpus/$t" "$here/corpus/$t" > "$log" 2>&1; then
    line=$(grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE)' "$log" | tail -1 || true)
    execs=$(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}')
    echo "fuzz: $t passed, $execs runs in ${seconds}s; ${line#*cov: }" | sed 's/^\(.*\)corp:.*/\1/'
  else
    status=1
    echo "fuzz: $t FAILED (see $log):" >&2
    grep -E 'ERROR|SUMMARY|Test unit written' "$log" >&2 || tail -20 "$log" >&2
  fi
done
exit $status
