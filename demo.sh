#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the bridge, the emulated CAPI host and capi-bridge-demo, then runs
# the demo: two bridges calling each other through the emulated host. Its
# arguments are passed on (--trace; --host ADDRESS --port N probes a real
# CAPI host; --help). Installs what the build needs when run as root.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-packages.sh cmake make g++ libcapi20-3 libcapi20-dev

echo "building capi-bridge, capi-host-emulator and capi-bridge-demo in build/ ..."
cmake -S . -B build -DCAPI_BRIDGE_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" --target capi-bridge-demo >/dev/null
exec build/demo/capi-bridge-demo "$@"
