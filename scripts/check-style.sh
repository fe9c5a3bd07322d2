#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Style checks of the test command: clang-format over every C and C++ source
# of the tree (nothing may differ), and clang-tidy (.clang-tidy) over the
# bridge itself and our libcapi20.
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t sources < <(git ls-files '*.cpp' '*.hpp' '*.c' '*.h')
clang-format --dry-run --Werror "${sources[@]}"

# Every source file says its licence in its first lines.
mapfile -t licensed < <(git ls-files '*.cpp' '*.hpp' '*.c' '*.h' '*.sh' '*.py' '*.cmake' \
  'CMakeLists.txt' '*/CMakeLists.txt')
unlicensed=()
for file in "${licensed[@]}"; do
  head -n 3 "$file" | grep -q 'SPDX-License-Identifier: MIT' || unlicensed+=("$file")
done
if [ ${#unlicensed[@]} -gt 0 ]; then
  printf 'no SPDX-License-Identifier line: %s\n' "${unlicensed[@]}" >&2
  exit 1
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake -S . -B "$scratch" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DCAPI_BRIDGE_TESTS=OFF >/dev/null
if ! findings=$(clang-tidy --quiet -p "$scratch" bridge/*.cpp capi/*.cpp \
                  platform/platform_posix.cpp libcapi20/capi20.cpp libcapi20/application.cpp \
                  libcapi20/wire.cpp libcapi20/socket_posix.cpp 2>&1); then
  grep -v "warnings generated" <<<"$findings"
  exit 1
fi
echo "style: clang-format and clang-tidy find nothing"
