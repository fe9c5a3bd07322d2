#!/bin/sh
# SPDX-License-Identifier: MIT
# The same whole call through Debian's libcapi20 and through ours, each
# against a fresh emulator: what each call returned and got, every frame on
# the wire both ways, and the emulator's log connection by connection (the
# order in which the relay passes on two connections' bytes is the
# scheduler's) must be the same. Run it under
# private_shm.sh (Debian's library keeps a machine-wide table in /dev/shm).
#   wire_compare.sh EMULATOR SCENARIO OUR_LIBRARY SOURCE_ROOT
set -u
emulator=$1 scenario=$2 ours=$3 root=$4
. "$root/tests/support/emulator.sh"
scratch=$(mktemp -d)
trap 'kill "$emulator_pid" 2>/dev/null; rm -rf "$scratch"' EXIT
# Debian's library reads $HOME/.capi20rc: one that only silences it.
mkdir "$scratch/home"
echo "TRACELEVEL 0" >"$scratch/home/.capi20rc"

run() { # NAME LIBRARY
  start_emulator "$emulator" "$scratch/$1.port" "$scratch/$1.log" --verbose --exit-after 30 \
    --first-appl-id 700
  if [ -z "$port" ]; then
    echo "wire_compare: the emulator gave no port" >&2
    exit 1
  fi
  HOME=$scratch/home timeout 30 "$scenario" "$2" "$port" >"$scratch/$1.out" ||
    { echo "wire_compare: the scenario failed with $1's library" >&2; cat "$scratch/$1.out"; exit 1; }
  kill "$emulator_pid"
  wait "$emulator_pid" 2>/dev/null
  sort -s -k1,1 "$scratch/$1.log" >"$scratch/$1.connections"
}

run debian libcapi20.so.3
run ours "$ours"
status=0
for kind in out connections; do
  if ! diff -u "$scratch/debian.$kind" "$scratch/ours.$kind"; then
    status=1
  fi
done
if [ "$status" = 0 ]; then
  grep -c . "$scratch/ours.out" | sed 's/^/lines compared: /'
fi
exit $status
