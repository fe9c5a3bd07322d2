#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs capi_dll_tests.exe under Wine in FOLDER (which holds capi2064.dll,
# capi-bridge.exe and the library it loads) against an emulated host, whose
# address the DLL takes from CAPI_BRIDGE_HOST and CAPI_BRIDGE_PORT. Run it
# with a /dev/shm of its own; application IDs 390..399 otherwise.
#   wine_dll_test.sh EMULATOR FOLDER
set -u
emulator=$1 folder=$2
scratch=$(mktemp -d)
trap 'kill "$host" 2>/dev/null; rm -rf "$scratch"' EXIT
export HOME="$scratch"
printf 'TRACELEVEL 0\n' >"$scratch/.capi20rc"
"$emulator" --first-appl-id 390 --exit-after 120 >"$scratch/port" 2>/dev/null &
host=$!
for _ in $(seq 50); do
  port=$(sed -n 's/^listening 127\.0\.0\.1://p' "$scratch/port")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "wine_dll_test: the emulated host did not start" >&2; exit 1; }
export CAPI_BRIDGE_HOST=127.0.0.1 CAPI_BRIDGE_PORT="$port"
timeout 150 wine "$folder/capi_dll_tests.exe"
