#!/bin/sh
# SPDX-License-Identifier: MIT
# capi-bridge-demo.exe as a Windows user runs it, under Wine: it lies in a
# folder with capi-bridge.exe and the forwarding libcapi20-3.dll, is started
# from another folder, finds the bridge beside itself and probes
# capi-host-emulator, running natively on 127.0.0.1. It must print the
# emulated host's profile, leave nothing in the bridge's standard error and
# end with status 0. Application ID 460 is its own.
#   windows_demo_probe.sh <capi-host-emulator> <folder of capi-bridge-demo.exe>
set -eu
. "$(dirname "$0")/../support/emulator.sh"
emulator=$1
folder=$2
scratch=$(mktemp -d)
emulator_pid=
trap '[ -z "$emulator_pid" ] || kill "$emulator_pid" 2>/dev/null; rm -rf "$scratch"' EXIT

fail() {
  echo "windows_demo_probe: $*" >&2
  for file in output stderr emulator.log; do
    [ -f "$scratch/$file" ] && { echo "---- $file"; cat "$scratch/$file"; } >&2
  done
  exit 1
}

start_emulator "$emulator" "$scratch/listening" "$scratch/emulator.log" \
  --port 0 --exit-after 60 --first-appl-id 460 --verbose
[ -n "$port" ] || fail "the emulator reported no port within 5 s"

printf 'TRACELEVEL 0\n' >"$scratch/.capi20rc"
mkdir "$scratch/elsewhere"
status=0
(cd "$scratch/elsewhere" && HOME=$scratch timeout 60 wine "$folder/capi-bridge-demo.exe" \
  --host 127.0.0.1 --port "$port" </dev/null >"$scratch/output.crlf" 2>"$scratch/stderr") ||
  status=$?
tr -d '\r' <"$scratch/output.crlf" >"$scratch/output"
[ "$status" -eq 0 ] || fail "capi-bridge-demo.exe ended with status $status"
for line in "bridge: application 460 registered on 127.0.0.1:$port" "1 controller(s)" \
            "Controller 1" "Probe finished: the host answers."; do
  grep -qxF "$line" "$scratch/output" || fail "no line \"$line\""
done
grep -q '^  manufacturer .*"capi-host-emulator"$' "$scratch/output" ||
  fail "no manufacturer line naming the emulator"
if grep -q "standard error\|Logs kept" "$scratch/output"; then
  fail "the bridge wrote to standard error"
fi
[ ! -s "$scratch/stderr" ] || fail "capi-bridge-demo.exe wrote to standard error"
grep -q "appl=460 release" "$scratch/emulator.log" || fail "the application was not released"
