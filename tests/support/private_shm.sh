#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs a command with a /dev/shm of its own: a new mount namespace with an
# empty tmpfs on /dev/shm. libcapi20 keeps its table of application IDs
# there, shared by every process on the machine; a test that runs the real
# library this way can neither disturb that table nor be disturbed by
# another test run. Sets CAPI_BRIDGE_SHM=private for the command; where
# neither root nor a user namespace allows the mount, runs the command as it
# is with CAPI_BRIDGE_SHM=shared, and tests that need the table to
# themselves skip.
#
# usage: private_shm.sh COMMAND [ARGUMENT ...]
if [ "${1-}" = --inside ]; then
  shift
  mount -t tmpfs -o mode=1777,size=16m capi-test-shm /dev/shm || exit 125
  CAPI_BRIDGE_SHM=private exec "$@"
fi

probe='mount -t tmpfs -o size=1m capi-test-shm /dev/shm'
for how in "unshare --mount" "unshare --map-root-user --mount"; do
  if $how sh -c "$probe" >/dev/null 2>&1; then
    exec $how sh "$0" --inside "$@"
  fi
done
CAPI_BRIDGE_SHM=shared exec "$@"
