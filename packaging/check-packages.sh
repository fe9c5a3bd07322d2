#!/usr/bin/env bash
# Builds the Debian package and the Windows zip, checks what they hold, and
# runs what the Debian package installs: the bridge once against the stand-in
# library, the demo through the real one, the C++ example against its headers
# (the client library's, all under include/capi_bridge/, and no others).
# Arguments: the native build folder and the Windows one (default build and
# build-windows). Application IDs 440..449 are its own.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
windows_build=$(realpath "${2:-build-windows}")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() {
  echo "check-packages: $*" >&2
  exit 1
}

version=$(sed -n 's/^project(capi_bridge VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no version in the project() line of CMakeLists.txt"

rm -rf "$build/packages" "$windows_build/packages"
(cd "$build" && cpack -G DEB -B "$build/packages" >/dev/null)
(cd "$windows_build" && cpack -G ZIP -B "$windows_build/packages" >/dev/null)
deb=$build/packages/capi-bridge_${version}_amd64.deb
zip=$windows_build/packages/capi-bridge-${version}-win64.zip
[ -f "$deb" ] || fail "no $deb"
[ -f "$zip" ] || fail "no $zip"

# The Debian package.
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "the package's version is not $version"
dpkg-deb -f "$deb" Depends | grep -qw libcapi20-3 || fail "the package does not depend on libcapi20-3"
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./||' >"$scratch/deb-files"
for file in usr/bin/capi-bridge usr/bin/capi-host-emulator usr/bin/capi-bridge-demo \
            usr/lib/libcapi_bridge_client.a usr/lib/libcapimsg.a \
            usr/lib/cmake/capi_bridge_client/capi_bridge_client-config.cmake \
            usr/lib/cmake/capi_bridge_client/capi_bridge_client-config-version.cmake \
            usr/share/doc/capi-bridge/README.md usr/share/doc/capi-bridge/protocol.md; do
  grep -qx "$file" "$scratch/deb-files" || fail "$file is missing from $deb"
done
if grep -v '^usr/' "$scratch/deb-files"; then fail "files outside /usr in $deb"; fi
# The product's headers and nothing else: the test harness stays out.
printf '%s\n' usr/include/capi_bridge/calls.hpp usr/include/capi_bridge/capimsg.hpp \
  usr/include/capi_bridge/client.hpp usr/include/capi_bridge/process.hpp \
  | diff - <(grep '^usr/include/.*[^/]$' "$scratch/deb-files" | sort) \
  || fail "$deb holds other headers than these"
if grep -i harness "$scratch/deb-files"; then fail "the test harness got into $deb"; fi
if grep libcapi20 "$scratch/deb-files"; then fail "a stand-in library got into $deb"; fi

# The Windows zip: the bridge, the demo and the read-me, nothing else.
unzip -l "$zip" | awk 'NR > 3 && $4 != "" {print $4}' | sort >"$scratch/zip-files"
printf '%s\n' "capi-bridge-$version-win64/README.txt" "capi-bridge-$version-win64/capi-bridge-demo.exe" \
  "capi-bridge-$version-win64/capi-bridge.exe" \
  | diff - "$scratch/zip-files" || fail "$zip holds other files than these"
unzip -q "$zip" -d "$scratch/zip"
# Both start on a bare 64-bit Windows: statically linked, they import
# nothing but these DLLs of the system's.
system_dlls=" kernel32.dll msvcrt.dll ws2_32.dll "
for name in capi-bridge.exe capi-bridge-demo.exe; do
  exe=$scratch/zip/capi-bridge-$version-win64/$name
  x86_64-w64-mingw32-objdump -f "$exe" | grep -q 'file format pei-x86-64' \
    || fail "$name is no 64-bit Windows program"
  imports=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: *//p' \
    | tr 'A-Z' 'a-z')
  [ -n "$imports" ] || fail "$name imports nothing readable"
  for dll in $imports; do
    case $system_dlls in
    *" $dll "*) ;;
    *) fail "$name imports $dll, which is not one of the system's:$system_dlls" ;;
    esac
  done
done

# The installed bridge against the stand-in: Open, Profile, Close.
dpkg -x "$deb" "$scratch/root"
printf 'appl_id 7\n' >"$scratch/script"
printf 'TRACELEVEL 0\n' >"$scratch/.capi20rc"
printf '\x0e\x00\x00\x00O\x66\x0a\x02\x00127.0.0.1\x05\x00\x00\x00P\x01\x00\x00\x00\x01\x00\x00\x00C' \
  | HOME=$scratch LD_LIBRARY_PATH=$build/tests/fake_capi/full FAKE_CAPI_SCRIPT=$scratch/script \
    FAKE_CAPI_LOG=$scratch/log timeout 10 "$scratch/root/usr/bin/capi-bridge" \
  | od -An -tx1 -v | tr -d ' \n' >"$scratch/replies"
profile=$(for i in $(seq 64 127); do printf '%02x' "$i"; done)
[ "$(cat "$scratch/replies")" = "09000000000000000700000000""4400000000000000$profile""0400000000000000" ] \
  || fail "the installed bridge replied $(cat "$scratch/replies")"
grep -q 'fake libcapi20 loaded' "$scratch/log" || fail "the installed bridge did not load the stand-in"

# The installed demo finds the installed bridge and emulated host beside it.
timeout 120 tests/support/private_shm.sh "$scratch/root/usr/bin/capi-bridge-demo" \
  --first-appl-id 440 --bytes 20000 \
  >"$scratch/demo" 2>&1 || { cat "$scratch/demo"; fail "the installed demo failed"; }

# The installed client library, used by a project of its own.
cmake -S clients/cpp/example -B "$scratch/example" -DCMAKE_PREFIX_PATH="$scratch/root/usr" >/dev/null
cmake --build "$scratch/example" >/dev/null || fail "clients/cpp/example does not build against $deb"

echo "packages checked: $(basename "$deb"), $(basename "$zip")"
