# SPDX-License-Identifier: MIT
"""A bridge from before the waiting Get, the batch, the registration values
and is-installed, for the clients' fallback tests: it answers "W", "B", "R"
and "I" as every kind it does not know (0x1102), "G" with 0x1104 until its
third Get and then with a LISTEN_CONF, everything else with info 0; with
GONE_AT, every Put from the GONE_AT-th on with 0x1108, as when the host has
gone. It appends each request's kind letter to the file named LOG.

    python3 older_bridge.py LOG [GONE_AT]
"""
import struct
import sys

LISTEN_CONF = struct.pack("<HHBBHIH", 14, 1, 0x05, 0x81, 1, 1, 0)


def reply(info, data=b""):
    sys.stdout.buffer.write(struct.pack("<II", 4 + len(data), info) + data)
    sys.stdout.buffer.flush()


def main():
    gets = 0
    puts = 0
    gone_at = int(sys.argv[2]) if len(sys.argv) > 2 else 0
    with open(sys.argv[1], "a") as log:
        while True:
            head = sys.stdin.buffer.read(4)
            if len(head) < 4:
                return
            body = sys.stdin.buffer.read(struct.unpack("<I", head)[0])
            kind = chr(body[0])
            log.write(kind)
            log.flush()
            if kind == "G":
                gets += 1
                reply(0, LISTEN_CONF) if gets == 3 else reply(0x1104)
            elif kind == "O":
                reply(0, struct.pack("<IB", 1, 0))
            elif kind == "M":
                puts += 1
                reply(0x1108 if gone_at and puts >= gone_at else 0)
            elif kind in "PC":
                reply(0, bytes(64) if kind == "P" else b"")
                if kind == "C":
                    return
            else:
                reply(0x1102)


main()
