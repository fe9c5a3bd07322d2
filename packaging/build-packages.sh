#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds every package the project ships into the folder OUT, from the
# sources of this checkout as they are (committed or not; what git ignores,
# such as build folders, left out):
#   - the Debian packages, the Debian way (debian/, dpkg-buildpackage):
#     capi-bridge, libcapi-bridge-dev, python3-capi-bridge and
#     capi-bridge-dbgsym, with the source package (.dsc, .tar.xz) and the
#     .changes and .buildinfo files;
#   - the Windows zip, capi-bridge-VERSION-win64.zip (mingw-w64, CPack).
# test.sh installs what it needs. packaging/check-packages.sh checks the result.
# Usage: packaging/build-packages.sh OUT
set -euo pipefail
if [ $# -ne 1 ]; then
  echo "usage: $0 OUT" >&2
  exit 2
fi
cd "$(dirname "$0")/.."
mkdir -p "$1"
out=$(realpath "$1")
version=$(sed -n 's/^project(capi_bridge VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
# Left over from an earlier build of this version, they could pass for new ones.
rm -f "$out"/*_"$version"[._]* "$out/capi-bridge-$version-win64.zip"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/capi-bridge-packages.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

fail() {
  echo "build-packages: $*" >&2
  exit 1
}
# Runs a step with its output in a log, shown only when it fails.
step() {
  local name=$1
  shift
  echo "build-packages: $name"
  "$@" >"$scratch/$name.log" 2>&1 || { tail -n 60 "$scratch/$name.log" >&2; fail "$name failed"; }
}

# The sources alone, in a folder named as Debian expects.
tree=$scratch/capi-bridge-$version
mkdir "$tree"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -z --cached --others --exclude-standard \
    | while IFS= read -r -d '' file; do
        # Tracked files deleted in the working tree stay out.
        if [ -e "$file" ] || [ -L "$file" ]; then printf '%s\0' "$file"; fi
      done \
    | tar --null -T - -cf - | tar -xf - -C "$tree"
else
  tar --exclude='./build*' --exclude=./.cache --exclude=./fuzz-findings -cf - . | tar -xf - -C "$tree"
fi

# Debian's own tools, compilers and Python, whatever else the PATH offers.
debian_path=/usr/sbin:/usr/bin:/sbin:/bin
build_debian() {
  cd "$tree" && env PATH=$debian_path dpkg-buildpackage -us -uc -j"$(nproc)"
}
step debian build_debian
for file in "$scratch"/*_"$version"*.{deb,dsc,tar.xz,changes,buildinfo}; do
  [ -e "$file" ] && cp "$file" "$out/"
done

# The 32-bit capi2032.dll first: the zip holds it beside the 64-bit programs.
build_windows() {
  cmake -S "$tree" -B "$scratch/windows32" --toolchain "$tree/cmake/mingw-w64-i686.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCAPI_BRIDGE_TESTS=OFF -DCAPI_BRIDGE_WERROR=ON &&
    cmake --build "$scratch/windows32" -j"$(nproc)" --target capi2032 &&
    i686-w64-mingw32-strip "$scratch/windows32/interface/capi2032.dll" &&
    cmake -S "$tree" -B "$scratch/windows" --toolchain "$tree/cmake/mingw-w64.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DCAPI_BRIDGE_TESTS=OFF -DCAPI_BRIDGE_WERROR=ON \
      -DCAPI_BRIDGE_WINDOWS32_DLL="$scratch/windows32/interface/capi2032.dll" &&
    cmake --build "$scratch/windows" -j"$(nproc)" &&
    (cd "$scratch/windows" && cpack -G ZIP -B "$scratch/windows-packages")
}
step windows build_windows
cp "$scratch/windows-packages/capi-bridge-$version-win64.zip" "$out/"

# The Python client's wheel and source archive, built offline as the
# Debian package's is (its own backend, no isolation).
build_python() {
  cp -rL "$tree/clients/python" "$scratch/python" && rm -rf "$scratch/python/build" &&
    /usr/bin/python3 -m build --no-isolation --sdist --wheel --outdir "$scratch/python-dist" \
      "$scratch/python"
}
step python build_python
cp "$scratch"/python-dist/* "$out/"

echo "build-packages: in $out:"
(cd "$out" && ls -1 ./*"$version"*)
