#!/bin/sh
# SPDX-License-Identifier: MIT
# The Python client names every info value, and every command and
# subcommand pair, as capimsg does.
#   same_texts.sh INFO_TEXTS_PROGRAM PYTHON_CLIENT_FOLDER
set -eu
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$1" >"$scratch/cpp"
PYTHONPATH=$2 python3 -c '
from capi_bridge import messages as cm
for value in range(0x10000):
    print("%04x\t%s" % (value, cm.info_text(value)))
for command in range(0x100):
    for subcommand in range(0x100):
        print(cm.message_name(command, subcommand))' >"$scratch/python"
diff "$scratch/cpp" "$scratch/python" >"$scratch/differences" || {
  echo "same_texts: the clients name these info values differently (< C++, > Python):" >&2
  head -20 "$scratch/differences" >&2
  exit 1
}
echo "same_texts: every info value and message name the same in both clients"
