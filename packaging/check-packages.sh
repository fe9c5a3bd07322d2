#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks what packaging/build-packages.sh built: lintian on the Debian
# packages and their source (no error, no warning), what each package holds,
# and what they install, run from the unpacked packages: the bridge once
# against the stand-in library, every program's --version, the demo through
# the real library, the C++ example against the -dev package, the Python
# example against python3-capi-bridge; and the Windows zip's contents.
# Arguments: the folder build-packages.sh filled (default build/packages) and
# the native build folder, for the stand-in library (default build).
# Application IDs 440..459 are its own.
set -euo pipefail
cd "$(dirname "$0")/.."
packages=$(realpath "${1:-build/packages}")
build=$(realpath "${2:-build}")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() {
  echo "check-packages: $*" >&2
  exit 1
}

version=$(sed -n 's/^project(capi_bridge VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no version in the project() line of CMakeLists.txt"
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
changes=$packages/capi-bridge_${version}_$arch.changes
debs=(capi-bridge_"${version}_$arch".deb libcapi-bridge-dev_"${version}_$arch".deb
  python3-capi-bridge_"${version}"_all.deb capi-bridge-dbgsym_"${version}_$arch".deb)
zip=$packages/capi-bridge-$version-win64.zip
for file in "${debs[@]/#/$packages/}" "$changes" "$packages/capi-bridge_$version.dsc" "$zip" \
  "$packages/capi_bridge-$version-py3-none-any.whl" "$packages/capi_bridge-$version.tar.gz"; do
  [ -f "$file" ] || fail "no $file"
done

# Lintian on the source and every binary package the .changes names.
lintian --fail-on error,warning --display-info --pedantic "$changes" 2>"$scratch/lintian.err" \
  | tee "$scratch/lintian" || { cat "$scratch/lintian.err" >&2; fail "lintian: see above"; }
echo "check-packages: lintian: $(grep -c . "$scratch/lintian" || true) tags on $(basename "$changes")"

# Each package: its version, its copyright, nothing outside /usr.
for deb in "${debs[@]}"; do
  name=${deb%%_*}
  [ "$(dpkg-deb -f "$packages/$deb" Version)" = "$version" ] || fail "$deb is not version $version"
  dpkg-deb -c "$packages/$deb" | awk '{print $6}' | sed 's|^\./||' | grep -vE '(^|/)$' >"$scratch/$name.files"
  if [ "$name" != capi-bridge-dbgsym ]; then
    grep -qx "usr/share/doc/$name/copyright" "$scratch/$name.files" || fail "$deb has no copyright file"
  fi
  if grep -v '^usr/' "$scratch/$name.files"; then fail "files outside /usr in $deb"; fi
  if grep -iE 'harness|libcapi20' "$scratch/$name.files"; then
    fail "the test harness or a stand-in library got into $deb"
  fi
  dpkg -x "$packages/$deb" "$scratch/root"
done
expect_files() { # PACKAGE FILE...
  local name=$1
  shift
  for file in "$@"; do
    grep -qx "$file" "$scratch/$name.files" || fail "$file is missing from $name"
  done
}

# The programs: each in /usr/bin with a man page; the bridge loads libcapi20
# at run time, so no linker saw it and the dependency is stated by hand.
dpkg-deb -f "$packages/${debs[0]}" Depends | grep -qw libcapi20-3 \
  || fail "capi-bridge does not depend on libcapi20-3"
expect_files capi-bridge usr/bin/capi-bridge usr/bin/capi-host-emulator usr/bin/capi-bridge-demo \
  usr/bin/capi-bridge-run "usr/lib/$multiarch/capi-bridge/libcapi-bridge-preload.so" \
  "usr/lib/$multiarch/capi-bridge/libcapi-bridge-opened.so" \
  usr/share/doc/capi-bridge/README.md usr/share/doc/capi-bridge/protocol.md
for program in $(cat "$scratch"/*.files | sed -n 's|^usr/bin/||p'); do
  grep -qx "usr/share/man/man1/$program.1.gz" "$scratch"/*.files || fail "$program has no man page"
done

# The installed read-me's links lead to the pages beside it; the clients'
# read-me and examples are where it says.
doc=$scratch/root/usr/share/doc
for link in $(sed -n 's/.*](\([^)#]*\)).*/\1/p' "$doc/capi-bridge/README.md"); do
  [ -f "$doc/capi-bridge/$link" ] || fail "README.md of capi-bridge links to $link, which is not there"
done
expect_files libcapi-bridge-dev usr/share/doc/libcapi-bridge-dev/examples/probe.cpp
expect_files python3-capi-bridge usr/share/doc/python3-capi-bridge/README.md \
  usr/share/doc/python3-capi-bridge/examples/example_call.py

# The -dev package: the product's headers and nothing else (the test harness
# stays out), its static libraries in the multiarch folder, its CMake package.
printf 'usr/include/capi_bridge/%s\n' calls.hpp capi_fields.hpp capimsg.hpp client.hpp emulator.hpp process.hpp \
  put_rules.hpp version.hpp \
  | diff - <(grep '^usr/include/' "$scratch/libcapi-bridge-dev.files" | sort) \
  || fail "libcapi-bridge-dev holds other headers than these"
expect_files libcapi-bridge-dev "usr/lib/$multiarch/libcapi_bridge_client.a" \
  "usr/lib/$multiarch/libcapi_bridge_capimsg.a" \
  "usr/lib/$multiarch/cmake/capi_bridge_client/capi_bridge_client-config.cmake" \
  "usr/lib/$multiarch/cmake/capi_bridge_client/capi_bridge_client-config-version.cmake"
grep -q "#define CAPI_BRIDGE_VERSION \"$version\"" "$scratch/root/usr/include/capi_bridge/version.hpp" \
  || fail "capi_bridge/version.hpp does not say $version"

expect_files python3-capi-bridge usr/lib/python3/dist-packages/capi_bridge/__init__.py \
  usr/lib/python3/dist-packages/capi_bridge/py.typed

# The Windows zip: the bridge, the demo, our libcapi20-3.dll, the CAPI DLLs
# and their import libraries, the licence, the protocol reference, a
# read-me.
unzip -l "$zip" | awk 'NR > 3 && $4 != "" {print $4}' | sort >"$scratch/zip-files"
printf "capi-bridge-$version-win64/%s\n" LICENSE.txt README.txt capi-bridge-demo.exe capi-bridge.exe \
  capi2032.dll capi2064.dll libcapi2032.a libcapi2064.a libcapi20-3.dll libcapi20.md protocol.md \
  windows-programs.md | sort \
  | diff - "$scratch/zip-files" || fail "$zip holds other files than these"
unzip -q "$zip" -d "$scratch/zip"
# Every file the zip's pages name is in it.
for page in README.txt windows-programs.md; do
  for named in $(grep -o '[A-Za-z0-9_.-]*\.\(exe\|dll\|a\|md\|txt\)\b' \
      "$scratch/zip/capi-bridge-$version-win64/$page" | sort -u); do
    [ -e "$scratch/zip/capi-bridge-$version-win64/$named" ] \
      || fail "$page names $named, which the zip does not hold"
  done
done
# Its programs and DLLs stripped, and executable where unpacked.
for name in capi-bridge.exe capi-bridge-demo.exe capi2032.dll capi2064.dll libcapi20-3.dll; do
  x86_64-w64-mingw32-objdump -h "$scratch/zip/capi-bridge-$version-win64/$name" \
    | grep -q '\.debug' && fail "$name is not stripped"
  zipinfo "$zip" "capi-bridge-$version-win64/$name" | grep -q '^-rwxr-xr-x' \
    || fail "$name is not executable in the zip"
done
# Both start on a bare 64-bit Windows: statically linked, they import
# nothing but these DLLs of the system's.
system_dlls=" kernel32.dll msvcrt.dll ws2_32.dll "
for name in capi-bridge.exe capi-bridge-demo.exe capi2064.dll libcapi20-3.dll; do
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

# The CAPI DLLs: each of its bitness, with the standard exports.
zipped=$scratch/zip/capi-bridge-$version-win64
i686-w64-mingw32-objdump -f "$zipped/capi2032.dll" | grep -q 'file format pei-i386' \
  || fail "capi2032.dll is no 32-bit DLL"
sh interface/tests/check_capi_dll.sh i686-w64-mingw32-objdump "$zipped/capi2032.dll" >/dev/null \
  || fail "capi2032.dll lacks the standard exports"
sh interface/tests/check_capi_dll.sh x86_64-w64-mingw32-objdump "$zipped/capi2064.dll" >/dev/null \
  || fail "capi2064.dll lacks the standard exports"

# From here on, what the packages install, run from where they were unpacked.
usr=$scratch/root/usr
for program in capi-host-emulator capi-bridge-demo capi-bridge-run; do
  [ "$("$usr/bin/$program" --version)" = "$program (capi-bridge) $version" ] \
    || fail "$program --version does not say $version"
done

# The bridge against the stand-in: Open, Profile, Close.
printf 'appl_id 7\n' >"$scratch/script"
printf 'TRACELEVEL 0\n' >"$scratch/.capi20rc"
printf '\x0e\x00\x00\x00O\x66\x0a\x02\x00127.0.0.1\x05\x00\x00\x00P\x01\x00\x00\x00\x01\x00\x00\x00C' \
  | HOME=$scratch LD_LIBRARY_PATH=$build/tests/fake_capi/full FAKE_CAPI_SCRIPT=$scratch/script \
    FAKE_CAPI_LOG=$scratch/log timeout 10 "$usr/bin/capi-bridge" \
  | od -An -tx1 -v | tr -d ' \n' >"$scratch/replies"
profile=$(for i in $(seq 64 127); do printf '%02x' "$i"; done)
[ "$(cat "$scratch/replies")" = "09000000000000000700000000""4400000000000000$profile""0400000000000000" ] \
  || fail "the installed bridge replied $(cat "$scratch/replies")"
grep -q 'fake libcapi20 loaded' "$scratch/log" || fail "the installed bridge did not load the stand-in"

# The demo finds the bridge and the emulated host beside it; the real
# library's application IDs stay in a /dev/shm of the run's own.
timeout 120 tests/support/private_shm.sh "$usr/bin/capi-bridge-demo" --first-appl-id=440 \
  --bytes=20000 >"$scratch/demo" 2>&1 || { cat "$scratch/demo"; fail "the installed demo failed"; }

# A program linked with libcapi20, run with the installed capi-bridge-run:
# it finds the library it preloads and the bridge from where it lies.
timeout 120 tests/support/private_shm.sh sh interface/tests/programs_test.sh run_call \
  "$usr/bin/capi-host-emulator" "$usr/bin/capi-bridge-run" "$build/interface/tests/capi20_call" \
  || fail "a program under the installed capi-bridge-run failed"
# A program that opens the library itself (Python's ctypes) gets the
# installed entry points the same way.
timeout 120 tests/support/private_shm.sh sh interface/tests/programs_test.sh run_ctypes_listen \
  "$usr/bin/capi-host-emulator" "$usr/bin/capi-bridge-run" interface/tests/programs/ctypes_listen.py \
  || fail "a ctypes program under the installed capi-bridge-run failed"

# The C++ client library, used by a project of its own.
cmake -S clients/cpp/example -B "$scratch/example" -DCMAKE_PREFIX_PATH="$usr" >/dev/null
cmake --build "$scratch/example" >/dev/null \
  || fail "clients/cpp/example does not build against libcapi-bridge-dev"

# The Python client: the example call, run from a folder of its own so that
# it imports the installed package and not the one beside it in the source.
# With its defaults it finds the installed programs on PATH.
cp "$scratch/root/usr/share/doc/python3-capi-bridge/examples/example_call.py" "$scratch/"
PATH=$usr/bin:$PATH PYTHONPATH=$usr/lib/python3/dist-packages timeout 120 \
  tests/support/private_shm.sh /usr/bin/python3 "$scratch/example_call.py" \
  --first-appl-id 450 >"$scratch/python" 2>&1 \
  || { cat "$scratch/python"; fail "the Python example failed against python3-capi-bridge"; }
grep -q "^capi_bridge $version $usr/lib/python3/dist-packages/" <(PYTHONPATH=$usr/lib/python3/dist-packages /usr/bin/python3 -c \
  'import capi_bridge; print("capi_bridge", capi_bridge.__version__, capi_bridge.__file__)') \
  || fail "python3-capi-bridge does not say $version"

# The wheel and the source archive as built, each installed offline by pip
# into a plain virtual environment of Debian's Python (the source archive
# builds with its own backend, which needs nothing from an index).
for archive in "capi_bridge-$version-py3-none-any.whl" "capi_bridge-$version.tar.gz"; do
  venv=$scratch/venv-${archive##*.}
  /usr/bin/python3 -m venv "$venv"
  PIP_DISABLE_PIP_VERSION_CHECK=1 "$venv/bin/pip" install --quiet --no-index "$packages/$archive" \
    >"$scratch/pip" 2>&1 || { cat "$scratch/pip"; fail "pip cannot install $archive offline"; }
  (cd "$scratch" && "$venv/bin/python" -c \
    'import capi_bridge, sys; print("capi_bridge", capi_bridge.__version__, capi_bridge.__file__)') \
    | grep -q "^capi_bridge $version $venv/" || fail "$archive installed does not say $version"
done

echo "check-packages: checked ${debs[*]} and $(basename "$zip")"
