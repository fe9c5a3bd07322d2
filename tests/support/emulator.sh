# SPDX-License-Identifier: MIT
# For shell scripts to source: starts the emulated host in the background
# and waits up to 5 s for the line that gives its port.
#   start_emulator EMULATOR OUTPUT ERRORS [OPTION...]
# OUTPUT and ERRORS: files for its standard output and error. Sets
# emulator_pid, and port (empty when no port line came in time).
start_emulator() {
  emulator_program=$1 emulator_output=$2 emulator_errors=$3
  shift 3
  # There before the emulator's shell opens it, so that it can be read at once.
  : >"$emulator_output"
  "$emulator_program" "$@" >"$emulator_output" 2>"$emulator_errors" &
  emulator_pid=$!
  port=
  for _ in $(seq 50); do
    port=$(sed -n 's/^listening 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$emulator_output")
    [ -n "$port" ] && break
    sleep 0.1
  done
}
