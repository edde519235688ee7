# Shared by the packaging tests: a scratch folder removed on exit, the local test server, and
# checks that say what went wrong.

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-packaging.XXXXXX")
SERVER_PID=""
cleanup() {
  if [ -n "$SERVER_PID" ]; then kill "$SERVER_PID" 2>/dev/null || true; fi
  rm -rf "$SCRATCH"
}
trap cleanup EXIT

# start_server PYTHON SCRIPT: starts the local test server on 127.0.0.1 and sets PORT. It stops
# when this script ends (its stdin closes), or at cleanup.
start_server() {
  coproc SERVER { exec "$1" "$2"; }
  local line=""
  read -r -t 30 line <&"${SERVER[0]}" || fail "the test server did not start"
  [[ "$line" =~ ^PORT\ ([0-9]+)$ ]] || fail "the test server said '$line'"
  PORT=${BASH_REMATCH[1]}
}

# expect_run NAME WANTED_EXIT WANTED_OUTPUT_REGEX COMMAND...: runs the command with no library
# path set, and checks its exit code and what it printed (stdout and stderr together).
expect_run() {
  local name=$1 wanted_exit=$2 wanted_output=$3
  shift 3
  local output rc=0
  output=$(env -u LD_LIBRARY_PATH "$@" 2>&1) || rc=$?
  echo "$name: exit $rc: $output"
  [ "$rc" -eq "$wanted_exit" ] || fail "$name: exit code $rc, wanted $wanted_exit"
  [[ "$output" =~ $wanted_output ]] || fail "$name: output does not match '$wanted_output'"
}
