#!/usr/bin/env bash
# Installs what the build and the tests need (when run as root), builds
# everything with warnings as errors, natively and for 64-bit Windows, runs
# every test (the Windows build's under Wine), and builds and checks the
# Debian package and the Windows zip.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-packages.sh cmake make g++ libgtest-dev libcapi20-3 libcapi20-dev \
  g++-mingw-w64-x86-64-posix wine wine64 wine64-tools clang libclang-rt-14-dev python3 \
  dpkg-dev unzip strace valgrind clang-format clang-tidy

# The tests start the Windows bridge under one Wine server, which CTest stops
# at the end; should the run break off first, stop it here.
trap 'tests/wine/wine_prefix.sh stop "$PWD/build/wine-prefix"' EXIT

cmake --preset windows
cmake --build --preset windows -j"$(nproc)"

cmake --preset linux -DCAPI_BRIDGE_WINDOWS_BUILD="$PWD/build-windows"
cmake --build --preset linux -j"$(nproc)"
ctest --preset linux

# The Debian package and the Windows zip, their contents, and what they install.
packaging/check-packages.sh build build-windows

# The native suite again, built with AddressSanitizer and
# UndefinedBehaviorSanitizer (LeakSanitizer included).
cmake --preset asan
cmake --build --preset asan -j"$(nproc)"
ctest --preset asan

# A bounded run of the request-loop fuzzer; any finding fails.
fuzz/run.sh "${CAPI_BRIDGE_FUZZ_SECONDS:-120}"
