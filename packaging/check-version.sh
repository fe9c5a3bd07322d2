#!/bin/sh
# SPDX-License-Identifier: MIT
# The version lives in the project() line of CMakeLists.txt; the files that
# must state it as text of their own say the same. Everything else takes it
# from the build (capi_bridge/version.hpp, --version, the man pages, the
# Windows zip). Argument: the project() version.
set -eu
cd "$(dirname "$0")/.."
version=$1
status=0
check() { # WHERE FOUND
  if [ "$2" != "$version" ]; then
    echo "check-version: $1 says '$2', project() says $version" >&2
    status=1
  fi
}
check clients/python/capi_bridge/__init__.py \
  "$(sed -n 's/^__version__ = "\(.*\)"$/\1/p' clients/python/capi_bridge/__init__.py)"
check debian/changelog "$(sed -n '1s/^capi-bridge (\([^)]*\)).*/\1/p' debian/changelog)"
check CHANGELOG.md "$(sed -n 's/^## \([0-9][^ ]*\) .*/\1/p' CHANGELOG.md | head -n 1)"
exit $status
