#!/bin/sh
# SPDX-License-Identifier: MIT
# The Windows zip as a user gets it: packed by CPack from a Windows build,
# unpacked into an empty folder, nothing else installed, and its
# capi-bridge-demo.exe probing the emulated host under Wine
# (windows_demo_probe.sh does the probing and its checks).
#   zip_probe.sh <cpack> <Windows build folder> <capi-host-emulator>
set -eu
cpack=$1 windows_build=$2 emulator=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
(cd "$windows_build" && "$cpack" -G ZIP -B "$scratch/packages" >"$scratch/cpack.log" 2>&1) || {
  cat "$scratch/cpack.log" >&2
  echo "zip_probe: CPack failed" >&2
  exit 1
}
mkdir "$scratch/unpacked"
unzip -q "$scratch"/packages/capi-bridge-*-win64.zip -d "$scratch/unpacked"
folder=$(echo "$scratch"/unpacked/capi-bridge-*-win64)
[ -f "$folder/libcapi20-3.dll" ] || { echo "zip_probe: no libcapi20-3.dll in the zip" >&2; exit 1; }
sh "$(dirname "$0")/windows_demo_probe.sh" "$emulator" "$folder"
