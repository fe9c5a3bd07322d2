#!/bin/sh
# SPDX-License-Identifier: MIT
# The bridge the CAPI interface's tests start: the stand-in whose command
# line $HOME/stand-in holds, where a test wrote one, else the bridge that
# CAPI_TEST_BRIDGE names. The interface reads its bridge's path once per
# process; HOME is each test's own.
if [ -f "$HOME/stand-in" ]; then
  exec sh "$HOME/stand-in"
fi
exec "$CAPI_TEST_BRIDGE"
