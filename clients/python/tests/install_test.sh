#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs the Python client as a user does: its wheel and its source
# archive, built from the sources offline by Debian's Python (build, no
# isolation, the package's own backend), each installed with pip --no-index
# into a fresh virtual environment that sees no system packages (the source
# archive built there by pip in isolation, from nothing but itself); then
# imports it from there: it must give the project's version, carry its type
# information, and leave nothing behind when uninstalled.
# Arguments: the Python interpreter, the client's source folder, the
# project() version.
set -eu
python=$1 source=$2 version=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# A copy: the build leaves files behind where it runs.
cp -rL "$source" "$scratch/source"
rm -rf "$scratch/source/build" "$scratch/source"/*.egg-info
"$python" -m build --no-isolation --sdist --wheel --outdir "$scratch/dist" "$scratch/source" \
  >"$scratch/build.log" 2>&1 || { cat "$scratch/build.log" >&2; exit 1; }
rm -rf "$scratch/source"
for archive in "capi_bridge-$version-py3-none-any.whl" "capi_bridge-$version.tar.gz"; do
  venv=$scratch/venv-${archive##*.}
  "$python" -m venv "$venv"
  PIP_NO_INDEX=1 PIP_DISABLE_PIP_VERSION_CHECK=1 \
    "$venv/bin/pip" install --quiet --no-index "$scratch/dist/$archive" >"$scratch/pip.log" 2>&1 \
    || { cat "$scratch/pip.log" >&2; echo "install_test: pip cannot install $archive" >&2; exit 1; }
  (cd "$scratch" && "$venv/bin/python" - "$version" "$venv") <<'PYTHON'
import pathlib, sys
import capi_bridge
version, venv = sys.argv[1], pathlib.Path(sys.argv[2]).resolve()
where = pathlib.Path(capi_bridge.__file__).resolve()
assert venv in where.parents, f"capi_bridge came from {where}, not from the venv"
assert capi_bridge.__version__ == version, f"__version__ {capi_bridge.__version__}, project() {version}"
assert (where.parent / "py.typed").exists(), "py.typed is not installed"
from capi_bridge import calls, emulator, messages  # noqa: F401
print(f"capi_bridge {capi_bridge.__version__} installed in {where.parent}")
PYTHON
  # The wheel's RECORD names every file with its hash: pip removes them all.
  PIP_DISABLE_PIP_VERSION_CHECK=1 "$venv/bin/pip" uninstall --quiet --yes capi-bridge
  if ls -d "$venv"/lib/python3*/site-packages/capi_bridge* 2>/dev/null; then
    echo "install_test: left behind after uninstalling $archive" >&2
    exit 1
  fi
done
