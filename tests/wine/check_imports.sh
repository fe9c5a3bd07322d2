#!/bin/sh
# SPDX-License-Identifier: MIT
# The Windows bridge has to start on a bare 64-bit Windows, so it may import
# nothing but the system's KERNEL32, msvcrt and WS2_32:
#   check_imports.sh <mingw objdump> <capi-bridge.exe>
set -eu
imports=$("$1" -p "$2" | sed -n 's/^[[:space:]]*DLL Name: *//p' | tr 'A-Z' 'a-z' | LC_ALL=C sort |
  tr '\n' ' ')
if [ "$imports" != "kernel32.dll msvcrt.dll ws2_32.dll " ]; then
  echo "$2 imports: ${imports:-nothing readable}" >&2
  exit 1
fi
