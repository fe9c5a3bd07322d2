#!/bin/sh
# SPDX-License-Identifier: MIT
# The same whole call through Debian's libcapi20 and through ours, each
# against a fresh emulator: what each call returned and got, every frame on
# the wire both ways, and the emulator's log connection by connection (the
# order in which the relay passes on two connections' bytes is the
# scheduler's) must be the same. Run it under
# private_shm.sh (Debian's library keeps a machine-wide table in /dev/shm).
# With WINDOWS_SCENARIO (libcapi20_wire_scenario.exe beside our
# libcapi20-3.dll), ours is the Windows build, run under Wine through
# SCENARIO's relay.
#   wire_compare.sh EMULATOR SCENARIO OUR_LIBRARY SOURCE_ROOT [WINDOWS_SCENARIO]
set -u
emulator=$1 scenario=$2 ours=$3 root=$4 windows_scenario=${5-}
. "$root/tests/support/emulator.sh"
scratch=$(mktemp -d)
trap 'kill "$emulator_pid" 2>/dev/null; rm -rf "$scratch"' EXIT
# Debian's library reads $HOME/.capi20rc: one that only silences it.
mkdir "$scratch/home"
echo "TRACELEVEL 0" >"$scratch/home/.capi20rc"

start_host() { # NAME
  start_emulator "$emulator" "$scratch/$1.port" "$scratch/$1.log" --verbose --exit-after 30 \
    --first-appl-id 700
  if [ -z "$port" ]; then
    echo "wire_compare: the emulator gave no port" >&2
    exit 1
  fi
}

stop_host() { # NAME
  kill "$emulator_pid"
  wait "$emulator_pid" 2>/dev/null
  sort -s -k1,1 "$scratch/$1.log" >"$scratch/$1.connections"
}

run() { # NAME LIBRARY
  start_host "$1"
  HOME=$scratch/home timeout 30 "$scenario" "$2" "$port" >"$scratch/$1.out" ||
    { echo "wire_compare: the scenario failed with $1's library" >&2; cat "$scratch/$1.out"; exit 1; }
  stop_host "$1"
}

# The Windows scenario's calls, then the frames its relay saw, which it
# writes once its standard input ends.
run_windows() { # NAME
  start_host "$1"
  mkfifo "$scratch/relay.in"
  "$scenario" --relay "$port" <"$scratch/relay.in" >"$scratch/relay.out" &
  relay_pid=$!
  exec 3>"$scratch/relay.in"
  relay_port=
  for _ in $(seq 50); do
    relay_port=$(sed -n 's/^relaying //p' "$scratch/relay.out")
    [ -n "$relay_port" ] && break
    sleep 0.1
  done
  timeout 60 wine "$windows_scenario" "$relay_port" | tr -d '\r' >"$scratch/$1.out"
  exec 3>&-
  wait "$relay_pid"
  sed 1d "$scratch/relay.out" >>"$scratch/$1.out"
  stop_host "$1"
}

run debian libcapi20.so.3
if [ -n "$windows_scenario" ]; then
  run_windows ours
else
  run ours "$ours"
fi
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
