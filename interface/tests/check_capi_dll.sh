#!/bin/sh
# SPDX-License-Identifier: MIT
# Checks a CAPI 2.0 DLL as programs bind it: the ten standard names,
# undecorated, at their standard ordinals; system DLLs alone imported; for
# the 32-bit one, an import library whose symbols keep the stdcall
# decorations.
#   check_capi_dll.sh OBJDUMP DLL [NM IMPORT_LIBRARY]
set -eu
objdump=$1 dll=$2
fail() {
  echo "check_capi_dll: $(basename "$dll"): $*" >&2
  exit 1
}
table=$("$objdump" -p "$dll")
base=$(echo "$table" | sed -n 's/^Ordinal Base[[:space:]]*//p' | head -1)
[ -n "$base" ] || fail "no export table"
exports=$(echo "$table" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' \
  | sed -n 's/^[[:space:]]*\[ *\([0-9]*\)\] \(.*\)$/\1 \2/p' \
  | while read -r index name; do echo "$((index + base)) $name"; done | sort -n)
expected="1 CAPI_REGISTER 20
2 CAPI_RELEASE 4
3 CAPI_PUT_MESSAGE 8
4 CAPI_GET_MESSAGE 8
5 CAPI_WAIT_FOR_SIGNAL 4
6 CAPI_GET_MANUFACTURER 4
7 CAPI_GET_VERSION 16
8 CAPI_GET_SERIAL_NUMBER 4
9 CAPI_GET_PROFILE 8
10 CAPI_INSTALLED 0"
[ "$exports" = "$(echo "$expected" | cut -d' ' -f1,2)" ] \
  || fail "exports are not the ten standard ones at their ordinals:
$exports"
for imported in $(echo "$table" | sed -n 's/^[[:space:]]*DLL Name: *//p' | tr 'A-Z' 'a-z'); do
  case $imported in
  kernel32.dll | msvcrt.dll | ws2_32.dll) ;;
  *) fail "imports $imported, which is not the system's" ;;
  esac
done
if [ $# -ge 4 ]; then
  symbols=$("$3" "$4")
  echo "$expected" | while read -r ordinal name bytes; do
    echo "$symbols" | grep -q " T _$name@$bytes\$" || fail "the import library lacks _$name@$bytes"
  done
fi
echo "check_capi_dll: $(basename "$dll"): ten exports at their ordinals${4:+, decorated import library}"
