#!/bin/sh
# SPDX-License-Identifier: MIT
# The check of the protocol's numbers passes on the tree, and fails when any
# one copy of a limit, an info value or an info value's name is changed.
#   protocol_numbers_test.sh SOURCE_ROOT
set -eu
root=$1
check=$root/tests/protocol_numbers.py
python3 "$check" "$root"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
files="bridge/frames.hpp capi/put.cpp capimsg/include/capi_bridge/put_rules.hpp capi/binding.hpp clients/cpp/client_detail.hpp
  clients/python/capi_bridge/client.py interface/capi20_interface.cpp interface/capi20_interface.hpp
  capimsg/include/capi_bridge/capimsg.hpp docs/protocol.md libcapi20/wire.hpp capi/get.cpp
  clients/cpp/include/capi_bridge/client.hpp tests/wait_test.cpp"
copy_tree() {
  rm -rf "$scratch/tree"
  for f in $files; do
    mkdir -p "$scratch/tree/$(dirname "$f")"
    cp "$root/$f" "$scratch/tree/$f"
  done
}
# The copied files alone pass, so that each change below fails for itself.
copy_tree
python3 "$check" "$scratch/tree" >/dev/null
# FILE EXPRESSION: the change a copy must not get away with.
while read -r file change; do
  copy_tree
  sed -i "$change" "$scratch/tree/$file"
  if python3 "$check" "$scratch/tree" >/dev/null; then
    echo "protocol_numbers_test: $file changed by '$change' passed the check" >&2
    exit 1
  fi
done <<'CHANGES'
clients/cpp/client_detail.hpp s/library_send_limit = 2173/library_send_limit = 2174/
clients/python/capi_bridge/client.py s/^B3_BLOCK_SIZE = 2048/B3_BLOCK_SIZE = 4096/
interface/capi20_interface.cpp s/registered_block_size = 2048/registered_block_size = 1024/
capimsg/include/capi_bridge/put_rules.hpp s/max_message_length = 8192/max_message_length = 8000/
clients/python/capi_bridge/client.py s/^INFO_HOST_GONE = 0x1108/INFO_HOST_GONE = 0x1109/
clients/cpp/client_detail.hpp s/info_queue_busy = 0x1103/info_queue_busy = 0x1107/
docs/protocol.md s/2,176/2,200/g
capimsg/include/capi_bridge/capimsg.hpp s/ host_gone = 0x1108/ message_os_resource_error = 0x1108/
interface/capi20_interface.hpp s/info_illegal_command = 0x1102/info_illegal_message = 0x1102/
libcapi20/wire.hpp s/largest_frame_payload = 2173/largest_frame_payload = 2174/
libcapi20/wire.hpp s/send_buffer_size = 128 + 2048/send_buffer_size = 128 + 4096/
libcapi20/wire.hpp s/info_illegal_command = 0x1102/info_illegal_message = 0x1102/
tests/wait_test.cpp s/longest_wait = 60000/longest_wait = 30000/
capi/put.cpp 1a constexpr int wait_ms = 60000;
CHANGES
echo "protocol_numbers_test: every changed copy fails the check"
