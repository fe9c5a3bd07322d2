#!/usr/bin/env bash
# Installs what the build and the tests need (when run as root), builds
# everything with warnings as errors, and runs every test.
set -euo pipefail
cd "$(dirname "$0")"

packages=(cmake make g++ libgtest-dev libcapi20-3 libcapi20-dev)
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

cmake -S . -B build -DCAPI_BRIDGE_WERROR=ON -DCAPI_BRIDGE_TESTS=ON
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j2
