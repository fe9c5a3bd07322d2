#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what the build and the tests need (when run as root), builds
# everything with warnings as errors, natively and for 64-bit Windows, runs
# every test (the Windows build's under Wine), and builds every package with
# packaging/build-packages.sh and checks them.
set -euo pipefail
cd "$(dirname "$0")"

# The build and the tests; then what packaging/build-packages.sh needs (the
# Debian packages' Build-Depends, lintian, and the Windows zip's cross
# compiler above); then the Python client's install test and type check.
scripts/install-packages.sh cmake make g++ libgtest-dev libcapi20-3 libcapi20-dev \
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix wine wine64 wine64-tools clang libclang-rt-14-dev python3 \
  unzip strace valgrind git clang-format clang-tidy \
  build-essential dpkg-dev debhelper dh-python pybuild-plugin-pyproject python3-all \
  python3-setuptools help2man lintian \
  python3-venv python3-wheel python3-build python3-mypy
# Wine's 32-bit half where the kernel runs 32-bit programs, for capi2032.dll's
# cases; it says which sort of machine this is.
scripts/install-wine32.sh

# The tests start the Windows bridge under one Wine server, which CTest stops
# at the end; should the run break off first, stop it here.
trap 'tests/wine/wine_prefix.sh stop "$PWD/build/wine-prefix"' EXIT

# Formatting and licence lines over the whole tree, clang-tidy over the bridge.
scripts/check-style.sh

cmake --preset windows
cmake --build --preset windows -j"$(nproc)"
# capi2032.dll and a 32-bit CAPI program, for their checks.
cmake --preset windows32
cmake --build --preset windows32 -j"$(nproc)"

cmake --preset linux -DCAPI_BRIDGE_WINDOWS_BUILD="$PWD/build-windows" \
  -DCAPI_BRIDGE_WINDOWS32_BUILD="$PWD/build-windows32"
cmake --build --preset linux -j"$(nproc)"
# Now and then one test under Wine fails in a full run and never alone (3
# times in about 15 runs, a different test each time; once a Windows bridge
# ended at its start with status 1 and nothing on standard error). Where
# only tests under Wine failed, they run once more, after the report of why
# they failed.
if ! ctest --preset linux; then
  scripts/failed-tests.sh build
  if cut -d: -f2- build/Testing/Temporary/LastTestsFailed.log | grep -qv '^windows\.'; then
    exit 1
  fi
  echo "Only tests under Wine failed: they run once more."
  ctest --preset linux --rerun-failed || { scripts/failed-tests.sh build; exit 1; }
fi

# Every package, built from the sources as they are; lintian on the Debian
# ones, their contents, and what they install.
packaging/build-packages.sh build/packages
packaging/check-packages.sh build/packages build

# The native suite again, built with AddressSanitizer and
# UndefinedBehaviorSanitizer (LeakSanitizer included).
cmake --preset asan
cmake --build --preset asan -j"$(nproc)"
ctest --preset asan || { scripts/failed-tests.sh build-asan; exit 1; }

# The C++ client's and the CAPI interface's tests again, built with
# ThreadSanitizer: their threads share the client, the layer's tables and
# its bridges.
cmake --preset tsan
cmake --build --preset tsan -j"$(nproc)"
ctest --preset tsan || { scripts/failed-tests.sh build-tsan; exit 1; }

# A bounded run of the request-loop fuzzer; any finding fails.
fuzz/run.sh "${CAPI_BRIDGE_FUZZ_SECONDS:-120}"
