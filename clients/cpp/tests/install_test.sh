#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs the client library from the build tree into a scratch prefix,
# builds clients/cpp/example against it with find_package, and runs it against
# the emulated host. Arguments: build tree, source tree, bridge, emulator.
set -eu
build=$1 source=$2 bridge=$3 emulator=$4
scratch=$(mktemp -d)
emulator_pid=
trap '[ -z "$emulator_pid" ] || kill "$emulator_pid" 2>/dev/null || true; rm -rf "$scratch"' EXIT
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
cmake -S "$source/clients/cpp/example" -B "$scratch/example" -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/example" >/dev/null

"$emulator" --port 0 --first-appl-id 295 --exit-after 60 >"$scratch/port" 2>/dev/null &
emulator_pid=$!
for _ in $(seq 50); do grep -q listening "$scratch/port" && break; sleep 0.1; done
port=$(sed 's/.*://' "$scratch/port")
printf 'TRACELEVEL 0\n' >"$scratch/.capi20rc"
cd "$scratch"
HOME=$scratch ./example/probe "$bridge" 127.0.0.1 "$port" | tee output
grep -q "application 295; controller 1: 2 B channels (ok)" output
