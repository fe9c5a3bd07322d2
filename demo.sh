#!/usr/bin/env bash
# Builds the bridge and shows how to use it.
set -euo pipefail
cd "$(dirname "$0")"
if ! dpkg -s cmake g++ make libcapi20-3 >/dev/null 2>&1; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "run as root to install cmake, g++, make and libcapi20-3" >&2
    exit 1
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends cmake make g++ libcapi20-3
fi
cmake -S . -B build -DCAPI_BRIDGE_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" --target capi-bridge >/dev/null
echo "built build/capi-bridge"
echo "Start it as a child process and write request frames to its standard input:"
echo "  4-byte little-endian length, then the body: O (open), P (profile), M (put), G (get), C (close)."
printf 'Example, an unknown request kind: '
printf '\x01\x00\x00\x00A' | build/capi-bridge | od -An -tx1
