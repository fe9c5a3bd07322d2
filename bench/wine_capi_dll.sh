#!/bin/sh
# SPDX-License-Identifier: MIT
# Bulk B3 data between two Windows programs under Wine, one application
# each, a call from one to the other and BYTES each way in blocks of 2048:
# two 64-bit programs through capi2064.dll (and capi-bridge.exe, the
# forwarding library, Debian's libcapi20), the same through Wine's own
# capi2032, which calls the library in-process, and, with FOLDER32 where Wine
# starts 32-bit programs, a 32-bit program through capi2032.dll calling a
# 64-bit one through capi2064.dll. Prints a Markdown table of blocks per
# second, then what a pipe between two Windows programs costs there
# (bench/wine_pipe_floor.c, built when the cross compiler is installed).
#   bench/wine_capi_dll.sh FOLDER EMULATOR [BYTES [ROUNDS [FOLDER32]]]
# FOLDER holds capi2032_call.exe, capi2064.dll, capi-bridge.exe and
# libcapi20-3.dll (after ./test.sh: build/clients/cpp/tests/windows-bridge);
# FOLDER32 the 32-bit capi2032_call.exe, capi2032.dll and bitness.exe beside
# the same bridge (build/interface/tests/windows32).
set -eu
folder=$1 emulator=$2 bytes=${3:-2048000} rounds=${4:-3} folder32=${5-}
here=$(cd "$(dirname "$0")" && pwd)
if [ "${CAPI_BRIDGE_SHM-}" != private ]; then
  exec "$here/../tests/support/private_shm.sh" sh "$0" "$@"
fi
. "$here/../tests/support/emulator.sh"
scratch=$(mktemp -d)
emulator_pid=
trap 'wineserver -k 2>/dev/null; [ -z "$emulator_pid" ] || kill "$emulator_pid" 2>/dev/null; rm -rf "$scratch"' EXIT
export HOME="$scratch" WINEPREFIX="$scratch/prefix" WINEDEBUG=-all
# capi2032.dll: ours where the program has it beside it (the 32-bit one),
# Wine's own elsewhere.
export WINEDLLOVERRIDES="mscoree,mshtml,winedbg.exe=d;capi2032=n,b"
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$WINEPREFIX"
wineserver -p </dev/null >/dev/null 2>&1
wine wineboot -i </dev/null >/dev/null 2>&1
start_emulator "$emulator" "$scratch/port" /dev/null --first-appl-id 600 --exit-after 3600
[ -n "$port" ] || { echo "wine_capi_dll: the emulated host did not start" >&2; exit 1; }
printf 'TRACELEVEL 0\nREMOTE fritzbox 127.0.0.1 %s\n' "$port" >"$scratch/.capi20rc"

# Milliseconds the dialling program's data took: ANSWERING_EXE DLL DIALLING_EXE DLL.
run() {
  wine "$1" "$2" answer "$bytes" >"$scratch/answer" 2>&1 &
  answering=$!
  for _ in $(seq 300); do
    grep -q '^listening' "$scratch/answer" && break
    sleep 0.1
  done
  wine "$3" "$4" dial "$bytes" | tr -d '\r' | sed -n 's/^took \([0-9]*\) ms$/\1/p'
  wait "$answering"
}

with32=
if [ -n "$folder32" ]; then
  if [ "$(wine "$folder32/bitness.exe" 2>/dev/null | tr -d '\r')" = 32 ]; then
    with32=yes
  else
    echo "wine_capi_dll: Wine starts no 32-bit program here: no 32-bit row" >&2
  fi
fi

blocks=$(( (bytes + 2047) / 2048 * 2 ))
program=$folder/capi2032_call.exe
if [ -n "$with32" ]; then
  echo "| round | Wine's capi2032, blocks/s | capi2064.dll, blocks/s | ratio | 32-bit capi2032.dll to capi2064.dll, blocks/s | 32 to 64 against 64 to 64 |"
  echo "|---|---|---|---|---|---|"
else
  echo "| round | Wine's capi2032, blocks/s | capi2064.dll, blocks/s | ratio |"
  echo "|---|---|---|---|"
fi
dll_rates=
for round in $(seq "$rounds"); do
  builtin=$(run "$program" capi2032.dll "$program" capi2032.dll)
  dll=$(run "$program" capi2064.dll "$program" capi2064.dll)
  dll_rates="$dll_rates $(awk -v b="$blocks" -v y="$dll" 'BEGIN { printf "%.0f", b * 1000 / y }')"
  if [ -n "$with32" ]; then
    mixed=$(run "$program" capi2064.dll "$folder32/capi2032_call.exe" capi2032.dll)
    awk -v r="$round" -v b="$blocks" -v x="$builtin" -v y="$dll" -v z="$mixed" \
      'BEGIN { printf "| %d | %.0f | %.0f | %.3f | %.0f | %.3f |\n", r, b * 1000 / x, b * 1000 / y, x / y, b * 1000 / z, y / z }'
  else
    awk -v r="$round" -v b="$blocks" -v x="$builtin" -v y="$dll" \
      'BEGIN { printf "| %d | %.0f | %.0f | %.3f |\n", r, b * 1000 / x, b * 1000 / y, x / y }'
  fi
done

# The target: four times the 800 blocks/s that capi2064.dll reached when
# every call waited for its reply.
echo
echo "$dll_rates" | tr ' ' '\n' | sed '/^$/d' | sort -n | awk '
  { rate[NR] = $1 }
  END {
    median = NR % 2 ? rate[(NR + 1) / 2] : (rate[NR / 2] + rate[NR / 2 + 1]) / 2
    printf "Target: capi2064.dll at least 3200 blocks/s (4 x 800); median %.0f: %s\n",
      median, (median >= 3200 ? "met" : "not met")
  }'

cross=x86_64-w64-mingw32-gcc
if command -v "$cross" >/dev/null 2>&1 &&
  "$cross" -O2 -o "$scratch/wine_pipe_floor.exe" "$here/wine_pipe_floor.c"; then
  echo
  echo "Floor: $(wine "$scratch/wine_pipe_floor.exe" | tr -d '\r')"
fi
