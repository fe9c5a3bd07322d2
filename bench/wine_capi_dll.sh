#!/bin/sh
# SPDX-License-Identifier: MIT
# Bulk B3 data between two 64-bit Windows programs under Wine, one
# application each, a call from one to the other and BYTES each way in
# blocks of 2048: through capi2064.dll (and capi-bridge.exe, the forwarding
# library, Debian's libcapi20), and through Wine's own capi2032, which calls
# the library in-process. Prints a Markdown table of blocks per second.
#   bench/wine_capi_dll.sh FOLDER EMULATOR [BYTES [ROUNDS]]
# FOLDER holds capi2032_call.exe, capi2064.dll, capi-bridge.exe and
# libcapi20-3.dll (after ./test.sh: build/clients/cpp/tests/windows-bridge).
set -eu
folder=$1 emulator=$2 bytes=${3:-2048000} rounds=${4:-3}
here=$(cd "$(dirname "$0")" && pwd)
if [ "${CAPI_BRIDGE_SHM-}" != private ]; then
  exec "$here/../tests/support/private_shm.sh" sh "$0" "$@"
fi
. "$here/../tests/support/emulator.sh"
scratch=$(mktemp -d)
emulator_pid=
trap 'wineserver -k 2>/dev/null; [ -z "$emulator_pid" ] || kill "$emulator_pid" 2>/dev/null; rm -rf "$scratch"' EXIT
export HOME="$scratch" WINEPREFIX="$scratch/prefix" WINEDEBUG=-all
export WINEDLLOVERRIDES=mscoree,mshtml,winedbg.exe=d
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$WINEPREFIX"
wineserver -p </dev/null >/dev/null 2>&1
wine wineboot -i </dev/null >/dev/null 2>&1
start_emulator "$emulator" "$scratch/port" /dev/null --first-appl-id 600 --exit-after 3600
[ -n "$port" ] || { echo "wine_capi_dll: the emulated host did not start" >&2; exit 1; }
printf 'TRACELEVEL 0\nREMOTE fritzbox 127.0.0.1 %s\n' "$port" >"$scratch/.capi20rc"

# Milliseconds the dialling program's data took with DLL.
run() {
  wine "$folder/capi2032_call.exe" "$1" answer "$bytes" >"$scratch/answer" 2>&1 &
  answering=$!
  for _ in $(seq 300); do
    grep -q '^listening' "$scratch/answer" && break
    sleep 0.1
  done
  wine "$folder/capi2032_call.exe" "$1" dial "$bytes" | tr -d '\r' | sed -n 's/^took \([0-9]*\) ms$/\1/p'
  wait "$answering"
}

blocks=$(( (bytes + 2047) / 2048 * 2 ))
echo "| round | Wine's capi2032, blocks/s | capi2064.dll, blocks/s | ratio |"
echo "|---|---|---|---|"
for round in $(seq "$rounds"); do
  builtin=$(run capi2032.dll)
  dll=$(run capi2064.dll)
  awk -v r="$round" -v b="$blocks" -v x="$builtin" -v y="$dll" \
    'BEGIN { printf "| %d | %.0f | %.0f | %.3f |\n", r, b * 1000 / x, b * 1000 / y, x / y }'
done
