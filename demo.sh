#!/usr/bin/env bash
# Builds the bridge, the emulated CAPI host and capi-bridge-demo, then runs
# the demo: two bridges calling each other through the emulated host. Its
# arguments are passed on (--trace; --host ADDRESS --port N probes a real
# CAPI host; --help). Installs what the build needs when run as root.
set -euo pipefail
cd "$(dirname "$0")"

packages=(cmake make g++ libcapi20-3 libcapi20-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

echo "building capi-bridge, capi-host-emulator and capi-bridge-demo in build/ ..."
cmake -S . -B build -DCAPI_BRIDGE_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" --target capi-bridge-demo >/dev/null
exec build/demo/capi-bridge-demo "$@"
