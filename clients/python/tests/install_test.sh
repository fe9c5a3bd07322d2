#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs the Python client as a user does: its wheel, built from the
# sources offline by Debian's Python (setuptools, wheel and build, no
# isolation), installed with pip --no-index into a fresh virtual environment
# that sees no system packages; then imports it from there: it must give the
# project's version and carry its type information.
# Arguments: the Python interpreter, the client's source folder, the
# project() version.
set -eu
python=$1 source=$2 version=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# A copy: the build leaves files behind where it runs.
cp -rL "$source" "$scratch/source"
rm -rf "$scratch/source/build" "$scratch/source"/*.egg-info
"$python" -m build --no-isolation --wheel --outdir "$scratch/dist" "$scratch/source" >"$scratch/build.log" 2>&1 \
  || { cat "$scratch/build.log" >&2; exit 1; }
wheel=$(ls "$scratch"/dist/capi_bridge-"$version"-py3-none-any.whl)
"$python" -m venv "$scratch/venv"
PIP_NO_INDEX=1 PIP_DISABLE_PIP_VERSION_CHECK=1 \
  "$scratch/venv/bin/pip" install --quiet --no-index "$wheel"
rm -rf "$scratch/source"
cd "$scratch"
"$scratch/venv/bin/python" - "$version" "$scratch/venv" <<'PYTHON'
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
