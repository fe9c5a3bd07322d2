#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Wine's 32-bit half, wherever the kernel runs 32-bit programs; nowhere else.
# The one place that decides: it says which sort of machine this is, and
# installs wine32:i386 (as root) where 32-bit programs run. Where they do not,
# wine32:i386 would make `wine` start its 32-bit loader and break every
# 64-bit Wine program, so it is never installed there, and found installed it
# is an error. Tests of 32-bit Windows programs ask Wine itself whether it
# starts one, and skip where it does not.
set -euo pipefail
cd "$(dirname "$0")"

# The 32-bit loader comes with libc6-i386 (a 64-bit package); it runs where
# the kernel runs 32-bit code.
./install-packages.sh libc6-i386
installed() { dpkg -s wine32:i386 >/dev/null 2>&1; }

if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  echo "this machine runs no 32-bit programs: Wine's 32-bit half stays out; the 32-bit Windows cases skip"
  if installed; then
    echo "wine32:i386 is installed, but this kernel runs no 32-bit programs: under it every" \
      "Wine test fails; remove it (apt-get remove wine32:i386)" >&2
    exit 1
  fi
  exit 0
fi

echo "this machine runs 32-bit programs: Wine's 32-bit half is installed; the 32-bit Windows cases run"
installed && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: wine32:i386 (run as root to install it); the 32-bit Windows cases skip" >&2
  exit 0
fi
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends wine32:i386
