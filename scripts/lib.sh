# What the project's shell scripts share: where the programs are, waiting for
# a condition with a deadline, and ending a child in order. Sourced, never run.

# The two programs as $notchkey and $sim: NOTCHKEY_PROGRAM and
# MASCON_SIM_PROGRAM where given (a build in a folder of its own), else those
# of build/ in the tree at $1.
find_programs() {
  notchkey=${NOTCHKEY_PROGRAM:-$1/build/notchkey}
  sim=${MASCON_SIM_PROGRAM:-$1/build/tools/mascon-sim}
}

alive() { kill -0 "$1" 2>/dev/null; }

# eventually SECONDS COMMAND...: runs COMMAND until it succeeds, for up to
# SECONDS; false when it never did.
eventually() {
  local seconds=$1 i
  shift
  for ((i = 0; i < seconds * 50; ++i)); do
    "$@" && return 0
    sleep 0.02
  done
  "$@"
}

# stop PID [GRACE]: GRACE seconds (default none) for the child to end by
# itself, then SIGTERM and three more seconds before SIGKILL, so a stuck child
# cannot hang the caller. The exit code ends up in $stopped_code.
stop() {
  local pid=$1 grace=${2:-0}
  eventually "$grace" eval '! alive "$pid"' || true
  kill -TERM "$pid" 2>/dev/null || true
  eventually 3 eval '! alive "$pid"' || kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" && stopped_code=0 || stopped_code=$?
}
