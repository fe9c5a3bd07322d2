#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs libcapi20_windows_check.exe from FOLDER (beside our libcapi20-3.dll)
# under Wine against an emulated host that misbehaves after the first
# LISTEN_REQ and drops every connection after the second.
#   windows_check.sh EMULATOR FOLDER
set -u
emulator=$1 folder=$2
. "$(dirname "$0")/../../tests/support/emulator.sh"
scratch=$(mktemp -d)
emulator_pid=
trap '[ -z "$emulator_pid" ] || kill "$emulator_pid" 2>/dev/null; rm -rf "$scratch"' EXIT
oversized=$(printf '808813'; head -c 5000 /dev/zero | od -An -v -tx1 | tr -d ' \n')
# Frames: header (0x80, 16-bit length), then the message.
bad_frames="800000 800400 04000000 800e00 1400 0000 0581 0100 01000000 0000 $oversized"
good_frame="800e00 0e00 0000 0581 0700 01000000 0000"
start_emulator "$emulator" "$scratch/port" "$scratch/host.log" --exit-after 60 --verbose \
  --inject-after=1 "--inject=$bad_frames $good_frame" --drop-after=2
[ -n "$port" ] || { echo "windows_check: the emulated host did not start" >&2; exit 1; }
timeout 60 wine "$folder/libcapi20_windows_check.exe" "$port" | tr -d '\r' >"$scratch/out"
cat "$scratch/out"
grep -qx 'windows check: ok' "$scratch/out" || { cat "$scratch/host.log" >&2; exit 1; }
