#!/bin/sh
# SPDX-License-Identifier: MIT
# Starts or stops the one Wine server that a run of the Windows tests shares:
#   wine_prefix.sh start|stop <prefix folder>
# Every Wine command here has all three streams redirected: Wine's helper
# processes inherit them and would hold a test's output open long after it.
set -eu
action=$1
# Keep in step with the tests' environment in wine_tests.cmake.
export WINEPREFIX="$2"
# Quiet, but a library that fails to load is still reported.
export WINEDEBUG=-all,err+module
# No Mono or Gecko installer, and no crash debugger: it would write its dump
# into the crashed program's standard output. One comma list, no semicolon,
# so that CTest can carry it in a test's environment too.
export WINEDLLOVERRIDES=mscoree,mshtml,winedbg.exe=d
unset DISPLAY WAYLAND_DISPLAY

case $action in
start)
  # A server left behind by an interrupted run would refuse the fresh prefix.
  [ -d "$WINEPREFIX" ] && wineserver -k </dev/null >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  wineserver -p </dev/null >/dev/null 2>&1
  # Creates the prefix now, so that no test pays for it or sees its output.
  wine wineboot -i </dev/null >"$WINEPREFIX.log" 2>&1
  ;;
stop)
  [ -d "$WINEPREFIX" ] && wineserver -k </dev/null >/dev/null 2>&1 || true
  ;;
*)
  echo "usage: $0 start|stop <prefix folder>" >&2
  exit 2
  ;;
esac
