# SPDX-License-Identifier: MIT
"""The protocol's numbers as the bridge defines them, and every copy of them:
the C++ client, the Python client, the CAPI layer and the protocol
reference. Fails, naming the file, when a copy says otherwise or is gone.

    python3 protocol_numbers.py SOURCE_ROOT
"""
import re
import sys
from pathlib import Path

root = Path(sys.argv[1])
failures = []


def text(path):
    return (root / path).read_text()


def value(path, pattern):
    """The number the first group of `pattern` finds in `path`: a C++ or
    Python expression of numbers (128 + 2048, 1 << 20, 0x100000)."""
    found = re.search(pattern, text(path))
    if not found:
        failures.append(f"{path}: nothing matches {pattern!r}")
        return None
    expression = found.group(1).replace("registered_b3_block_size", "2048")
    return eval(expression, {"__builtins__": {}})  # digits and operators only


def in_prose(path, number):
    """Whether the reference writes `number` with thousands separated (2,173)."""
    return f"{number:,}" in text(path)


# The bridge's definitions are the source.
PUT_RULES = "capimsg/include/capi_bridge/put_rules.hpp"
limits = {
    "request body": value("bridge/frames.hpp", r"max_request_length = (\w+);"),
    "message length": value(PUT_RULES, r"max_message_length = (\d+);"),
    "send limit": value(PUT_RULES, r"library_send_limit = (\d+);"),
    "block size": value("capi/binding.hpp", r"registered_b3_block_size = (\d+);"),
    "message buffer": value("capi/binding.hpp", r"library_message_buffer = ([^;]+);"),
    "longest wait": value("capi/get.cpp", r"longest_wait = (\d+);"),
}
copies = {
    "request body": [("clients/cpp/client_detail.hpp", r"max_request_body = (\w+);"),
                     ("clients/python/capi_bridge/client.py", r"MAX_REQUEST_BODY = ([\d<x ]+)")],
    "message length": [("clients/cpp/client_detail.hpp", r"max_message_length = (\d+);"),
                       ("clients/python/capi_bridge/client.py", r"MAX_MESSAGE_LENGTH = (\d+)")],
    "send limit": [("clients/cpp/client_detail.hpp", r"library_send_limit = (\d+);"),
                   ("clients/python/capi_bridge/client.py", r"LIBRARY_SEND_LIMIT = (\d+)"),
                   ("libcapi20/wire.hpp", r"largest_frame_payload = (\d+);")],
    "block size": [("clients/cpp/client_detail.hpp", r"data_b3_limit = (\d+);"),
                   (PUT_RULES, r"largest_b3_block = (\d+);"),
                   ("clients/python/capi_bridge/client.py", r"B3_BLOCK_SIZE = (\d+)"),
                   ("interface/capi20_interface.cpp", r"registered_block_size = (\d+);")],
    "message buffer": [("libcapi20/wire.hpp", r"send_buffer_size = ([^;]+);")],
    "longest wait": [("clients/cpp/include/capi_bridge/client.hpp", r"longest_wait = (\d+);"),
                     ("clients/python/capi_bridge/client.py", r"LONGEST_WAIT_MS = (\d+)"),
                     ("interface/capi20_interface.cpp", r"longest_wait = (\d+);"),
                     ("tests/wait_test.cpp", r"longest_wait = (\d+);")],
}
for name, source in limits.items():
    for path, pattern in copies[name]:
        copy = value(path, pattern)
        if source is not None and copy is not None and copy != source:
            failures.append(f"{path}: {name} {copy}, where the bridge has {source}")
    if source is not None and not in_prose("docs/protocol.md", source):
        failures.append(f"docs/protocol.md: {name} {source:,} is not stated")

# The longest wait spelt out anywhere else would be a copy nobody checks:
# every other 60000 in the sources is named for a purpose of its own (a
# slice of a system wait, the benchmark's patience and its longest slice).
wait = limits["longest wait"]
checked = {path for path, _ in copies["longest wait"]} | {"capi/get.cpp"}
other_purposes = {"clients/cpp/process_posix.cpp", "clients/cpp/process_windows.cpp",
                  "bench/child.hpp", "bench/bench_main.cpp"}
for path in sorted(root.rglob("*")):
    relative = path.relative_to(root).as_posix()
    if (path.suffix not in {".cpp", ".hpp", ".c", ".h", ".py"} or relative.startswith(("build", "."))
            or relative in checked | other_purposes | {"tests/protocol_numbers.py"}):
        continue
    if wait is not None and re.search(rf"(?<![\w.]){wait}(?![\w.])", path.read_text(errors="replace")):
        failures.append(f"{relative}: the longest wait {wait} written out; name the bridge's or check it here")


def enum(path, pattern):
    """name -> value of the info values a file defines."""
    return {m.group(1).lower(): int(m.group(2), 16) for m in re.finditer(pattern, text(path))}


bridge_info = enum("bridge/frames.hpp", r"\b(info_\w+) = 0x([0-9A-Fa-f]+)")
bridge_info.pop("info_ok", None)
for path, pattern in [("clients/cpp/client_detail.hpp", r"\b(info_\w+) = 0x([0-9A-Fa-f]+)"),
                      ("clients/python/capi_bridge/client.py", r"^(INFO_\w+) = 0x([0-9A-Fa-f]+)")]:
    copy = enum(path, re.compile(pattern, re.M) if pattern.startswith("^") else pattern)
    for name, number in bridge_info.items():
        if copy.get(name) != number:
            failures.append(f"{path}: {name} is {copy.get(name)!r}, the bridge's 0x{number:04X}")
# Elsewhere a value the bridge produces goes by the bridge's name, wherever
# it is named at all.
bridge_names = {number: name for name, number in bridge_info.items()}
for path, pattern, prefix in [
        ("interface/capi20_interface.hpp", r"\b(info_\w+) = 0x([0-9A-Fa-f]+)", ""),
        ("libcapi20/wire.hpp", r"\b(info_\w+) = 0x([0-9A-Fa-f]+)", ""),
        ("capimsg/include/capi_bridge/capimsg.hpp",
         r"std::uint16_t (\w+) = 0x([0-9A-Fa-f]+);", "info_")]:
    named = enum(path, pattern)
    if not named:
        failures.append(f"{path}: no info values found")
    for name, number in named.items():
        if number in bridge_names and prefix + name != bridge_names[number]:
            failures.append(f"{path}: 0x{number:04X} is {name}, the bridge's {bridge_names[number]}")
reference = {int(m.group(1), 16) for m in re.finditer(r"^\| 0x([0-9A-F]{4}) \|", text("docs/protocol.md"), re.M)}
for name, number in bridge_info.items():
    if number not in reference:
        failures.append(f"docs/protocol.md: 0x{number:04X} ({name}) is not in the table of the bridge's values")

for failure in failures:
    print(f"protocol_numbers: {failure}")
if failures:
    sys.exit(1)
print(f"protocol_numbers: {len(limits)} limits and {len(bridge_info)} info values agree everywhere")
