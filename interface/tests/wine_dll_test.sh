#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs capi_dll_tests.exe under Wine in FOLDER (which holds capi2064.dll,
# capi-bridge.exe and the library it loads) against an emulated host, whose
# address the DLL takes from CAPI_BRIDGE_HOST and CAPI_BRIDGE_PORT. Run it
# with a /dev/shm of its own; application IDs 390..399 otherwise.
#   wine_dll_test.sh EMULATOR FOLDER
set -u
emulator=$1 folder=$2
. "$(dirname "$0")/../../tests/support/emulator.sh"
scratch=$(mktemp -d)
emulator_pid=
trap '[ -z "$emulator_pid" ] || kill "$emulator_pid" 2>/dev/null; rm -rf "$scratch"' EXIT
export HOME="$scratch"
printf 'TRACELEVEL 0\n' >"$scratch/.capi20rc"
start_emulator "$emulator" "$scratch/port" /dev/null --first-appl-id 390 --exit-after 120
[ -n "$port" ] || { echo "wine_dll_test: the emulated host did not start" >&2; exit 1; }
export CAPI_BRIDGE_HOST=127.0.0.1 CAPI_BRIDGE_PORT="$port"
timeout 150 wine "$folder/capi_dll_tests.exe"
