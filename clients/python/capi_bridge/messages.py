# SPDX-License-Identifier: MIT
"""CAPI 2.0 messages for a call with data: builders for what an application
sends, readers for what it gets, message names and info texts. Plain bytes
with little-endian fields; no I/O.

Every builder takes the application ID (the client overwrites it with the
registered one), the message number, then the message's parameters, and
returns the whole message with its length field set. Every reader returns
None when the parameters it reads run past the message's length field.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass
from typing import Callable, Optional, TypeVar, Union

# What the readers and builders take: bytes, bytearray or a memoryview of them.
Buffer = Union[bytes, bytearray, memoryview]
_T = TypeVar("_T")

# Commands and subcommands.
CONNECT = 0x02
CONNECT_ACTIVE = 0x03
DISCONNECT = 0x04
LISTEN = 0x05
CONNECT_B3 = 0x82
CONNECT_B3_ACTIVE = 0x83
DISCONNECT_B3 = 0x84
DATA_B3 = 0x86
REQ, CONF, IND, RESP = 0x80, 0x81, 0x82, 0x83

HEADER_LENGTH = 8
# DATA_B3_REQ in the form with the 64-bit Data64 field, the one the bridge
# takes; its payload travels beside it (see capi_bridge.Client.put).
DATA_B3_REQ_LENGTH = 30
# Service values (CIP) for CONNECT_REQ, and bit numbers in LISTEN_REQ's CIP mask.
CIP_SPEECH = 1
CIP_UNRESTRICTED_DIGITAL = 2

_COMMAND_NAMES = {
    CONNECT: "CONNECT", CONNECT_ACTIVE: "CONNECT_ACTIVE", DISCONNECT: "DISCONNECT",
    LISTEN: "LISTEN", 0x01: "ALERT", 0x08: "INFO", 0x41: "SELECT_B_PROTOCOL",
    0x80: "FACILITY", CONNECT_B3: "CONNECT_B3", CONNECT_B3_ACTIVE: "CONNECT_B3_ACTIVE",
    DISCONNECT_B3: "DISCONNECT_B3", DATA_B3: "DATA_B3", 0x87: "RESET_B3",
    0x88: "CONNECT_B3_T90_ACTIVE", 0xFF: "MANUFACTURER",
}
_SUBCOMMAND_NAMES = {REQ: "REQ", CONF: "CONF", IND: "IND", RESP: "RESP"}


def message_name(command: int, subcommand: int) -> str:
    """"CONNECT_B3_ACTIVE_IND" and the like; "0x12/0x34" for pairs CAPI 2.0 does not name."""
    c, s = _COMMAND_NAMES.get(command), _SUBCOMMAND_NAMES.get(subcommand)
    return f"{c}_{s}" if c and s else f"0x{command:02x}/0x{subcommand:02x}"


@dataclass(frozen=True)
class Header:
    """The 8 bytes every CAPI message starts with."""
    length: int  # of the whole message, header included
    appl_id: int
    command: int
    subcommand: int
    number: int

    @property
    def name(self) -> str:
        """The message's name, e.g. "LISTEN_CONF"."""
        return message_name(self.command, self.subcommand)


def read_header(message: Buffer) -> Optional[Header]:
    """The header, or None when fewer than 8 bytes are given or the length
    field is below 8 or beyond the bytes given."""
    if len(message) < HEADER_LENGTH:
        return None
    h = Header(*struct.unpack_from("<HHBBH", message))
    return h if HEADER_LENGTH <= h.length <= len(message) else None


def name_of(message: Buffer) -> str:
    """The message's name, or "unreadable message"."""
    h = read_header(message)
    return h.name if h else "unreadable message"


# Builders. Each returns the whole message with its length field set.

def _message(appl_id: int, command: int, subcommand: int, number: int,
             parameters: bytes) -> bytes:
    return struct.pack("<HHBBH", HEADER_LENGTH + len(parameters), appl_id, command, subcommand,
                       number) + parameters


def _struct(content: bytes = b"") -> bytes:
    if len(content) < 0xFF:
        return bytes([len(content)]) + content
    return b"\xff" + struct.pack("<H", len(content)) + content


def _called_number(digits: str) -> bytes:
    return _struct(b"\x80" + digits.encode("ascii")) if digits else _struct()


def _calling_number(digits: str) -> bytes:
    # Type and plan 0, presentation allowed.
    return _struct(b"\x00\x80" + digits.encode("ascii")) if digits else _struct()


# B1, B2 and B3 protocol numbers.
BProtocol = tuple[int, int, int]


def _b_protocol(b: Optional[BProtocol]) -> bytes:
    """b: None for the default (B1 HDLC, B2 X.75, B3 transparent), or (b1, b2, b3)."""
    if b is None:
        return _struct()
    return _struct(struct.pack("<HHH", *b) + b"\x00" * 4)  # empty configuration structs


def listen_req(appl_id: int, number: int, controller: int, cip_mask: int,
               info_mask: int = 0) -> bytes:
    """LISTEN_REQ: offer `controller`'s incoming calls whose CIP value's bit
    is set in `cip_mask` (1 << CIP_UNRESTRICTED_DIGITAL, say); 0 stops
    listening. `info_mask` selects the INFO_IND wanted."""
    return _message(appl_id, LISTEN, REQ, number,
                    struct.pack("<IIII", controller, info_mask, cip_mask, 0)
                    + _struct() + _struct())


def connect_req(appl_id: int, number: int, controller: int, cip: int, called: str,
                calling: str = "", b_protocol: Optional[BProtocol] = None) -> bytes:
    """CONNECT_REQ: a call to the digits `called` for service `cip`
    (CIP_UNRESTRICTED_DIGITAL, say), showing `calling` (empty: the host's
    choice). b_protocol: None for the default (B1 HDLC, B2 X.75, B3
    transparent), or (b1, b2, b3)."""
    return _message(appl_id, CONNECT, REQ, number,
                    struct.pack("<IH", controller, cip) + _called_number(called)
                    + _calling_number(calling) + _struct() * 2 + _b_protocol(b_protocol)
                    + _struct() * 4)


def connect_resp(appl_id: int, number: int, plci: int, reject: int = 0,
                 b_protocol: Optional[BProtocol] = None) -> bytes:
    """CONNECT_RESP to a CONNECT_IND for `plci`, with that indication's
    message number. reject: 0 accepts the call, 1 ignores it, 2 and up
    reject it."""
    return _message(appl_id, CONNECT, RESP, number,
                    struct.pack("<IH", plci, reject) + _b_protocol(b_protocol) + _struct() * 4)


def address_only(appl_id: int, number: int, command: int, subcommand: int,
                 address: int) -> bytes:
    """A message whose only parameter is its address (controller, PLCI or
    NCCI), such as CONNECT_ACTIVE_RESP or DISCONNECT_RESP."""
    return _message(appl_id, command, subcommand, number, struct.pack("<I", address))


def connect_active_resp(appl_id: int, number: int, plci: int) -> bytes:
    """CONNECT_ACTIVE_RESP for `plci`, with its indication's message number."""
    return address_only(appl_id, number, CONNECT_ACTIVE, RESP, plci)


def connect_b3_req(appl_id: int, number: int, plci: int) -> bytes:
    """CONNECT_B3_REQ: a B3 connection (an NCCI) on the call `plci`."""
    return _message(appl_id, CONNECT_B3, REQ, number, struct.pack("<I", plci) + _struct())


def connect_b3_resp(appl_id: int, number: int, ncci: int, reject: int = 0) -> bytes:
    """CONNECT_B3_RESP to a CONNECT_B3_IND for `ncci`; reject 0 accepts it."""
    return _message(appl_id, CONNECT_B3, RESP, number,
                    struct.pack("<IH", ncci, reject) + _struct())


def connect_b3_active_resp(appl_id: int, number: int, ncci: int) -> bytes:
    """CONNECT_B3_ACTIVE_RESP for `ncci`, with its indication's message number."""
    return address_only(appl_id, number, CONNECT_B3_ACTIVE, RESP, ncci)


def data_b3_req(appl_id: int, number: int, ncci: int, handle: int, data_length: int,
                flags: int = 0) -> bytes:
    """The 30-byte DATA_B3_REQ for a block of data_length bytes; Data and
    Data64 are 0, the bridge points them at its copy of the payload."""
    return _message(appl_id, DATA_B3, REQ, number,
                    struct.pack("<IIHHHQ", ncci, 0, data_length, handle, flags, 0))


def data_b3_resp(appl_id: int, number: int, ncci: int, handle: int) -> bytes:
    """DATA_B3_RESP to a DATA_B3_IND, with its message number; handle: the
    indication's Data handle, unchanged."""
    return _message(appl_id, DATA_B3, RESP, number, struct.pack("<IH", ncci, handle))


def disconnect_b3_req(appl_id: int, number: int, ncci: int) -> bytes:
    """DISCONNECT_B3_REQ: clears the B3 connection `ncci`."""
    return _message(appl_id, DISCONNECT_B3, REQ, number, struct.pack("<I", ncci) + _struct())


def disconnect_b3_resp(appl_id: int, number: int, ncci: int) -> bytes:
    """DISCONNECT_B3_RESP for `ncci`, with its indication's message number."""
    return address_only(appl_id, number, DISCONNECT_B3, RESP, ncci)


def disconnect_req(appl_id: int, number: int, plci: int) -> bytes:
    """DISCONNECT_REQ: hangs up the call `plci`."""
    return _message(appl_id, DISCONNECT, REQ, number, struct.pack("<I", plci) + _struct())


def disconnect_resp(appl_id: int, number: int, plci: int) -> bytes:
    """DISCONNECT_RESP for `plci`, with its indication's message number."""
    return address_only(appl_id, number, DISCONNECT, RESP, plci)


# Readers. Each reads the parameters a call needs and returns None when they
# run past the message's length field; none checks the command: dispatch on
# read_header first.

class _Truncated(Exception):
    pass


class _Reader:
    def __init__(self, message: Buffer) -> None:
        h = read_header(message)
        if h is None:
            raise _Truncated
        self.m = bytes(message[:h.length])
        self.pos = HEADER_LENGTH

    def take(self, n: int) -> bytes:
        if self.pos + n > len(self.m):
            raise _Truncated
        self.pos += n
        return self.m[self.pos - n:self.pos]

    def u16(self) -> int:
        return int(struct.unpack("<H", self.take(2))[0])

    def u32(self) -> int:
        return int(struct.unpack("<I", self.take(4))[0])

    def struct_content(self) -> bytes:
        n = self.take(1)[0]
        if n == 0xFF:
            n = self.u16()
        return self.take(n)


def _read(message: Buffer, parse: Callable[[_Reader], _T]) -> Optional[_T]:
    try:
        return parse(_Reader(message))
    except _Truncated:
        return None


def _digits(content: bytes, with_presentation: bool) -> str:
    """The digits of a party number struct's content (ASCII, unprintables as ?)."""
    if not content:
        return ""
    # In calling and connected numbers a presentation octet follows the first
    # one when that one's extension bit is clear.
    skip = 2 if with_presentation and not content[0] & 0x80 and len(content) > 1 else 1
    return "".join(chr(c) if 0x21 <= c <= 0x7E else "?" for c in content[skip:])


@dataclass(frozen=True)
class Conf:
    """LISTEN_CONF, CONNECT_CONF, CONNECT_B3_CONF, DISCONNECT_B3_CONF, DISCONNECT_CONF."""
    address: int  # controller, PLCI or NCCI
    info: int


def read_conf(message: Buffer) -> Optional[Conf]:
    """The address and info of a CONF message."""
    return _read(message, lambda r: Conf(r.u32(), r.u16()))


def read_address(message: Buffer) -> Optional[int]:
    """The first parameter of any message: the controller, PLCI or NCCI it is
    about (CONNECT_ACTIVE_IND, CONNECT_B3_IND, CONNECT_B3_ACTIVE_IND, ...)."""
    return _read(message, lambda r: r.u32())


@dataclass(frozen=True)
class ConnectInd:
    """An incoming call."""
    plci: int
    cip: int
    called: str
    calling: str


def read_connect_ind(message: Buffer) -> Optional[ConnectInd]:
    """The PLCI, CIP value and numbers of a CONNECT_IND."""
    return _read(message, lambda r: ConnectInd(
        r.u32(), r.u16(), _digits(r.struct_content(), False),
        _digits(r.struct_content(), True)))


@dataclass(frozen=True)
class DisconnectInd:
    """A call cleared, and why (0x34xx: the network's cause)."""
    plci: int
    reason: int


def read_disconnect_ind(message: Buffer) -> Optional[DisconnectInd]:
    """The PLCI and reason of a DISCONNECT_IND."""
    return _read(message, lambda r: DisconnectInd(r.u32(), r.u16()))


@dataclass(frozen=True)
class DisconnectB3Ind:
    """A B3 connection cleared, and why."""
    ncci: int
    reason_b3: int


def read_disconnect_b3_ind(message: Buffer) -> Optional[DisconnectB3Ind]:
    """The NCCI and B3 reason of a DISCONNECT_B3_IND."""
    return _read(message, lambda r: DisconnectB3Ind(r.u32(), r.u16()))


@dataclass(frozen=True)
class DataB3:
    """DATA_B3_IND or DATA_B3_REQ; the data itself travels beside the message."""
    ncci: int
    data_length: int
    handle: int  # answer with this in DATA_B3_RESP
    flags: int


def read_data_b3(message: Buffer) -> Optional[DataB3]:
    """The NCCI, Data length, Data handle and flags of a DATA_B3_IND or
    DATA_B3_REQ. Its Data and Data64 fields are left out: in a DATA_B3_IND
    they point into the bridge's memory and mean nothing here; the data
    itself comes beside the message (MessageResult.b3_data)."""
    def parse(r: _Reader) -> DataB3:
        ncci = r.u32()
        r.u32()  # Data: a pointer in the bridge's process
        return DataB3(ncci, r.u16(), r.u16(), r.u16())
    return _read(message, parse)


@dataclass(frozen=True)
class DataB3Conf:
    """A block of data confirmed (info 0) or refused."""
    ncci: int
    handle: int
    info: int


def read_data_b3_conf(message: Buffer) -> Optional[DataB3Conf]:
    """The NCCI, Data handle and info of a DATA_B3_CONF."""
    return _read(message, lambda r: DataB3Conf(r.u32(), r.u16(), r.u16()))


_INFO_TEXTS = {
    0x0000: "no error",
    0x0001: "NCPI not supported, ignored",
    0x0002: "flags not supported, ignored",
    0x0003: "alert already sent",
    0x1001: "too many applications",
    0x1002: "logical block size too small",
    0x1003: "buffer exceeds 64 kByte",
    0x1004: "message buffer size too small",
    0x1005: "max. number of logical connections not supported",
    0x1007: "the message could not be accepted because of an internal busy condition",
    0x1008: "OS resource error (no memory?)",
    0x1009: "CAPI not installed",
    0x100A: "controller does not support external equipment",
    0x100B: "controller does only support external equipment",
    0x1101: "illegal application number",
    0x1102: "illegal command or subcommand or message length less than 12 bytes",
    0x1103: "the message could not be accepted because of a queue full condition",
    0x1104: "queue is empty",
    0x1105: "queue overflow, a message was lost",
    0x1106: "unknown notification parameter",
    0x1107: "the message could not be accepted because of an internal busy condition",
    0x1108: "OS resource error (no memory?)",
    0x1109: "CAPI not installed",
    0x110A: "controller does not support external equipment",
    0x110B: "controller does only support external equipment",
    0x2001: "message not supported in current state",
    0x2002: "illegal controller / PLCI / NCCI",
    0x2003: "out of PLCI",
    0x2004: "out of NCCI",
    0x2005: "out of LISTEN",
    0x2006: "out of FAX resources",
    0x2007: "illegal message parameter coding",
    0x3001: "B1 protocol not supported",
    0x3002: "B2 protocol not supported",
    0x3003: "B3 protocol not supported",
    0x3004: "B1 protocol parameter not supported",
    0x3005: "B2 protocol parameter not supported",
    0x3006: "B3 protocol parameter not supported",
    0x3007: "B protocol combination not supported",
    0x3008: "NCPI not supported",
    0x3009: "CIP value unknown",
    0x300A: "flags not supported (reserved bits)",
    0x300B: "facility not supported",
    0x300C: "data length not supported by current protocol",
    0x300D: "reset procedure not supported by current protocol",
    0x3301: "protocol error layer 1",
    0x3302: "protocol error layer 2",
    0x3303: "protocol error layer 3",
    0x3304: "another application got that call",
}

_NETWORK_CAUSES = {
    1: "unallocated (unassigned) number", 16: "normal call clearing", 17: "user busy",
    18: "no user responding", 19: "no answer from user (user alerted)", 21: "call rejected",
    27: "destination out of order", 31: "normal, unspecified", 34: "no circuit/channel available",
    44: "requested circuit/channel not available", 88: "incompatible destination",
}


def info_text(value: int) -> str:
    """A text for an info or reason value; 0x34xx is the network's clearing cause."""
    if value in _INFO_TEXTS:
        return _INFO_TEXTS[value]
    if value & 0xFF80 == 0x3480:
        cause = value & 0x7F
        return "network: " + _NETWORK_CAUSES.get(cause, f"cause {cause}")
    return "unknown info value"
