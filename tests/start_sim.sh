# Sourced by the shell tests: start_sim EXE DIR starts the simulator on a
# pseudo-terminal of its own, its output in DIR; sets sim (its PID) and pty.
# The caller kills $sim when it ends, and defines fail.
start_sim() {
  "$1" >"$2/sim.out" 2>"$2/sim.err" &
  sim=$!
  pty=""
  for _ in $(seq 200); do
    pty=$(sed -n 's/^vx42b-sim: serving on //p' "$2/sim.out")
    [ -n "$pty" ] && return 0
    kill -0 "$sim" 2>/dev/null || fail "the simulator ended: $(cat "$2/sim.err")"
    sleep 0.05
  done
  fail "the simulator did not start"
}
