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
    # Every command has all four subcommands but these.
    request_or_confirmation = subcommand in (REQ, CONF)
    if (command in (LISTEN, 0x41, 0x01) and not request_or_confirmation) or \
            (command in (CONNECT_ACTIVE, CONNECT_B3_ACTIVE, 0x88) and request_or_confirmation):
        c = None
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
    0x0000: 'No error, request accepted',
    0x0001: 'NCPI not supported by current protocol, NCPI ignored',
    0x0002: 'Flags not supported by current protocol, flags ignored',
    0x0003: 'Alert already sent by another application',
    0x1001: 'Too many applications',
    0x1002: 'Logical block size too small, must be at least 128 bytes',
    0x1003: 'Buffer exceeds 64 kbytes',
    0x1004: 'Message buffer size too small, must be at least 1024 bytes',
    0x1005: 'Maximum number of logical connections not supported',
    0x1006: 'Reserved',
    0x1007: 'Register not accepted: internal busy condition',
    0x1008: 'Register: operating system resource error',
    0x1009: 'CAPI not installed',
    0x100A: 'Controller does not support external equipment',
    0x100B: 'Controller does only support external equipment',
    0x1101: 'Illegal application number',
    0x1102: 'Illegal command or subcommand, or message length less than 12 bytes',
    0x1103: 'Message not accepted: queue full',
    0x1104: 'Queue is empty',
    0x1105: 'Queue overflow: a message was lost',
    0x1106: 'Unknown notification parameter',
    0x1107: 'Message not accepted: internal busy condition',
    0x1108: 'Message exchange: operating system resource error',
    0x1109: 'CAPI not installed',
    0x110A: 'Controller does not support external equipment',
    0x110B: 'Controller does only support external equipment',
    0x2001: 'Message not supported in current state',
    0x2002: 'Illegal controller, PLCI or NCCI',
    0x2003: 'No PLCI available',
    0x2004: 'No NCCI available',
    0x2005: 'No listen resources available',
    0x2006: 'No fax resources available (protocol T.30)',
    0x2007: 'Illegal message parameter coding',
    0x2008: 'No interconnection resources available',
    0x3001: 'B1 protocol not supported',
    0x3002: 'B2 protocol not supported',
    0x3003: 'B3 protocol not supported',
    0x3004: 'B1 protocol parameter not supported',
    0x3005: 'B2 protocol parameter not supported',
    0x3006: 'B3 protocol parameter not supported',
    0x3007: 'B protocol combination not supported',
    0x3008: 'NCPI not supported',
    0x3009: 'CIP value unknown',
    0x300A: 'Flags not supported (reserved bits)',
    0x300B: 'Facility not supported',
    0x300C: 'Data length not supported by current protocol',
    0x300D: 'Reset procedure not supported by current protocol',
    0x300E: 'Supplementary service not supported (or TEI assignment failed)',
    0x300F: 'Unsupported interoperability',
    0x3010: 'Request not allowed in this state',
    0x3011: 'Facility specific function not supported',
    0x3301: 'Protocol error layer 1 (broken line or B channel removed)',
    0x3302: 'Protocol error layer 2',
    0x3303: 'Protocol error layer 3',
    0x3304: 'Another application got that call',
    0x3305: 'Cleared by call control supervision',
    0x3311: 'T.30: connecting not successful (remote station is no G3 fax)',
    0x3312: 'T.30: connecting not successful (training error)',
    0x3313: 'T.30: disconnected before transfer (transfer mode not supported)',
    0x3314: 'T.30: disconnected during transfer (remote abort)',
    0x3315: 'T.30: disconnected during transfer (remote procedure error)',
    0x3316: 'T.30: disconnected during transfer (local tx data underflow)',
    0x3317: 'T.30: disconnected during transfer (local rx data overflow)',
    0x3318: 'T.30: disconnected during transfer (local abort)',
    0x3319: 'T.30: illegal parameter coding',
    0x3500: 'Modem: normal end of connection',
    0x3501: 'Modem: carrier lost',
    0x3502: 'Modem: error in negotiation (no error correction at the other end)',
    0x3503: 'Modem: no answer to protocol request',
    0x3504: 'Modem: remote modem only works in synchronous mode',
    0x3505: 'Modem: framing fails',
    0x3506: 'Modem: protocol negotiation fails',
    0x3507: 'Modem: other modem sends wrong protocol request',
    0x3508: 'Modem: sync information (data or flags) missing',
    0x3509: 'Modem: normal end of connection from the other modem',
    0x350A: 'Modem: no answer from other modem',
    0x350B: 'Modem: protocol error',
    0x350C: 'Modem: error in compression',
    0x350D: 'Modem: no connect (timeout or wrong modulation)',
    0x350E: 'Modem: no protocol fall-back allowed',
    0x350F: 'Modem: no modem or fax at requested number',
    0x3510: 'Modem: handshake error',
    0x3600: 'Supplementary service: rejected, not subscribed',
    0x3601: 'Supplementary service: rejected, not subscribed',
    0x3602: 'Supplementary service: rejected, not available',
    0x3603: 'Supplementary service: rejected, not available',
    0x3604: 'Supplementary service: rejected, not implemented',
    0x3605: 'Supplementary service: rejected, not available',
    0x3606: 'Supplementary service: invalid served user number',
    0x3607: 'Supplementary service: invalid call state',
    0x3608: 'Supplementary service: basic service not provided',
    0x3609: 'Supplementary service: not an incoming call',
    0x360A: 'Supplementary service: interaction not allowed',
    0x360B: 'Supplementary service: resource unavailable',
    0x3700: 'Supplementary service: duplicate invocation',
    0x3701: 'Supplementary service: unrecognized operation',
    0x3702: 'Supplementary service: mistyped argument',
    0x3703: 'Supplementary service: resource limitation',
    0x3704: 'Supplementary service: initiator releasing',
    0x3705: 'Supplementary service: unrecognized linked id',
    0x3706: 'Supplementary service: linked response unexpected',
    0x3707: 'Supplementary service: unexpected child operation',
}

_NETWORK_CAUSES = {
    1: 'unallocated (unassigned) number',
    2: 'no route to specified transit network',
    3: 'no route to destination',
    6: 'channel unacceptable',
    7: 'call awarded and being delivered in an established channel',
    16: 'normal call clearing',
    17: 'user busy',
    18: 'no user responding',
    19: 'no answer from user (user alerted)',
    21: 'call rejected',
    22: 'number changed',
    26: 'non-selected user clearing',
    27: 'destination out of order',
    28: 'invalid number format',
    29: 'facility rejected',
    30: 'response to STATUS ENQUIRY',
    31: 'normal, unspecified',
    34: 'no circuit/channel available',
    38: 'network out of order',
    41: 'temporary failure',
    42: 'switching equipment congestion',
    43: 'access information discarded',
    44: 'requested circuit/channel not available',
    47: 'resources unavailable, unspecified',
    49: 'quality of service unavailable',
    50: 'requested facility not subscribed',
    57: 'bearer capability not authorized',
    58: 'bearer capability not presently available',
    63: 'service or option not available, unspecified',
    65: 'bearer capability not implemented',
    66: 'channel type not implemented',
    69: 'requested facility not implemented',
    70: 'only restricted digital information bearer capability is available',
    79: 'service or option not implemented, unspecified',
    81: 'invalid call reference value',
    82: 'identified channel does not exist',
    83: 'a suspended call exists, but this call identity does not',
    84: 'call identity in use',
    85: 'no call suspended',
    86: 'call having the requested call identity has been cleared',
    88: 'incompatible destination',
    91: 'invalid transit network selection',
    95: 'invalid message, unspecified',
    96: 'mandatory information element is missing',
    97: 'message type non-existent or not implemented',
    98: 'message not compatible with call state or message type non-existent',
    99: 'information element non-existent or not implemented',
    100: 'invalid information element contents',
    101: 'message not compatible with call state',
    102: 'recovery on timer expiry',
    111: 'protocol error, unspecified',
    127: 'interworking, unspecified',
}


def info_text(value: int) -> str:
    """A text for an info or reason value; 0x34xx is the network's clearing cause."""
    if value in _INFO_TEXTS:
        return _INFO_TEXTS[value]
    if value & 0xFF80 == 0x3480:
        cause = value & 0x7F
        return "Network: " + _NETWORK_CAUSES.get(cause, "cause value not defined")
    return "unknown info value"
