# SPDX-License-Identifier: MIT
"""A Python program that uses libcapi20 through ctypes, as such programs do:
it opens the library by name, asks who made it, registers an application,
listens on controller 1 and releases. One line per step; the last says how
many sockets the process holds (the library's own connections, or none
where bridges make them)."""

import ctypes
import os
import struct
import sys

capi = ctypes.CDLL("libcapi20.so.3")
capi.capi20_get_manufacturer.restype = ctypes.c_char_p


class Timeval(ctypes.Structure):
    _fields_ = [("tv_sec", ctypes.c_long), ("tv_usec", ctypes.c_long)]


def sockets():
    count = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            count += os.readlink(f"/proc/self/fd/{fd}").startswith("socket:")
        except OSError:
            pass  # the listing's own descriptor, closed by now
    return count


def main():
    info = capi.capi20_isinstalled()
    if info != 0:
        print(f"not installed: info 0x{info:04x}")
        return 1
    text = ctypes.create_string_buffer(64)
    print(f"manufacturer {capi.capi20_get_manufacturer(0, text).decode()}")
    appl = ctypes.c_uint(0)
    info = capi.capi20_register(1, 7, 2048, ctypes.byref(appl))
    if info != 0:
        print(f"register: info 0x{info:04x}")
        return 1
    print(f"registered {appl.value}")
    # LISTEN_REQ: controller 1, no info, every CIP value, no numbers.
    message = ctypes.create_string_buffer(
        struct.pack("<HHBBHIIII", 26, appl.value, 0x05, 0x80, 1, 1, 0, 0x1FFF03FF, 0) + b"\0\0")
    info = capi.capi20_put_message(appl.value, message)
    if info != 0:
        print(f"put: info 0x{info:04x}")
        return 1
    for _ in range(50):
        if capi.capi20_waitformessage(appl.value, ctypes.byref(Timeval(0, 100000))) != 0:
            continue
        got = ctypes.c_void_p()
        if capi.capi20_get_message(appl.value, ctypes.byref(got)) != 0:
            continue
        header = ctypes.string_at(got.value, 14)
        if header[4:6] == b"\x05\x81":
            print(f"LISTEN_CONF info 0x{struct.unpack_from('<H', header, 12)[0]:04x}")
            break
    else:
        print("no LISTEN_CONF")
        return 1
    print(f"sockets {sockets()}")
    capi.capi20_release(appl.value)
    print("released")
    return 0


if __name__ == "__main__":
    sys.exit(main())
