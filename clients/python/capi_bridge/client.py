# SPDX-License-Identifier: MIT
"""The client: starts capi-bridge as a child process and makes its requests
(docs/protocol.md) over the child's standard input and output, each under a
time limit. POSIX only: it waits on the pipes with poll.
"""

from __future__ import annotations

import enum
import os
import select
import struct
import subprocess
import sys
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Mapping, NoReturn, Optional, Sequence, Union

from . import messages as cm

MAX_REQUEST_BODY = 1 << 20  # kind letter included
MAX_MESSAGE_LENGTH = 8192   # the longest message length field Put accepts
# The most of a message, a DATA_B3_REQ's data included, that the library sends
# intact; the bridge refuses more.
LIBRARY_SEND_LIMIT = 2173
B3_BLOCK_SIZE = 2048        # the bridge registers B3 blocks of this size unless asked
B3_DATA_BLOCKS = 7          # and this many of them
SMALLEST_B3_BLOCK_SIZE = 128
PROFILE_SIZE = 64
LONGEST_WAIT_MS = 60000     # the longest wait one waiting Get asks for

# The info values the bridge produces itself; the library has some of them too.
INFO_LOGICAL_BLOCK_TOO_SMALL = 0x1002
INFO_BUFFER_TOO_LARGE = 0x1003
INFO_OS_RESOURCE_ERROR = 0x1008
INFO_NOT_INSTALLED = 0x1009
INFO_ILLEGAL_APPL_ID = 0x1101
INFO_ILLEGAL_COMMAND = 0x1102
INFO_QUEUE_BUSY = 0x1103
INFO_QUEUE_EMPTY = 0x1104
INFO_HOST_GONE = 0x1108
INFO_NOT_IN_CURRENT_STATE = 0x2001
INFO_DATA_LENGTH_NOT_SUPPORTED = 0x300C

# The longest reply: info, then a message of up to 65535 bytes and as much B3 data.
_MAX_REPLY_LENGTH = 4 + 0xFFFF + 0xFFFF


class TransportError(Exception):
    """No reply: the bridge could not be started, ended, wrote a malformed
    reply, or did not answer in time. The bridge is gone (killed if need be)
    and every later request raises this again; start a new Client."""


class Source(enum.Enum):
    """Who produced a result. Transport failures are TransportError instead
    (the C++ client's source::transport); the names are the C++ client's."""
    NONE = "none"        # success: info 0
    LIBRARY = "library"  # a CAPI info value from libcapi20 inside the bridge
    BRIDGE = "bridge"    # a value the bridge produced itself


@dataclass(frozen=True)
class Outcome:
    """A reply's info value and who produced it.

    The bridge answers some conditions itself with values the library also
    has. The client tells them apart by the request and by what it knows:
      Open    0x1009 with stage 1 is the bridge's when the library could not
              be loaded, the library's when it reaches no CAPI host (a refused
              or unreachable connection): open() asks for a profile after
              such a failure, which the bridge answers with 0x1009 itself
              while no library is loaded. Every other value is the library's.
      Profile 0x1009 is the bridge's (the library answers 0x1109 when CAPI is
              not installed).
      Put     0x1101 is the bridge's when no application is registered or the
              message is under 8 bytes; 0x1102 when the message's length field
              is below 8, above 8192 or beyond the bytes sent, when the message
              (a DATA_B3_REQ's data included) is longer than the 2173 bytes the
              library sends intact, or it is a DATA_B3_REQ under 30 bytes; 0x1103 when it is a DATA_B3_REQ
              whose Data handle has not had its DATA_B3_CONF yet; 0x1008 when
              it is a DATA_B3_REQ; 0x300C when it is a DATA_B3_REQ declaring
              more than 2048 bytes; 0x2001 when it is a DATA_B3_RESP.
      Get     0x1104 is the bridge's ("nothing waiting"). 0x1102 is the
              bridge's: the host sent a frame too short for a message, or a
              message whose length field is below 8 or claims more than the
              frame or the library's buffer, and it was dropped. 0x1108 is the
              bridge's: the host has gone (MessageResult.host_gone), though the
              library also answers it when it has no free buffer (more
              DATA_B3_IND unanswered than it holds; a client that answers each
              one never sees that).
      waiting Get (get with a wait): as Get.
      Close   every value is the library's.
    Every other non-zero value is the library's.
    """
    source: Source
    info: int = 0
    # A Put the bridge refused with 0x1102: which of its rules the message
    # broke (not compared).
    why: str = field(default="", compare=False)

    @property
    def ok(self) -> bool:
        """Success: info 0."""
        return self.source is Source.NONE

    def __str__(self) -> str:
        if self.ok:
            return "ok"
        text = f"0x{self.info:04X} ({self.source.value}): {cm.info_text(self.info)}"
        return f"{text}: {self.why}" if self.why else text


def _judged(info: int, bridge: bool, why: str = "") -> Outcome:
    """The outcome of `info`, the bridge's when `bridge` is true."""
    if info == 0:
        return Outcome(Source.NONE)
    return Outcome(Source.BRIDGE if bridge else Source.LIBRARY, info, why)


class OpenStage(enum.IntEnum):
    """How far an Open got."""
    REGISTERED = 0
    CAPI_NOT_AVAILABLE = 1  # the library is missing or reaches no CAPI host
    REGISTER_FAILED = 2


@dataclass(frozen=True)
class OpenResult:
    """What Open gave: the library's value, the application and the stage,
    and the B3 blocks the registration asked for: those given to open(), or
    7 of 2048 bytes where the bridge is too old to take others."""
    status: Outcome
    appl_id: int  # 0 unless registered
    stage: OpenStage
    b3_data_blocks: int = B3_DATA_BLOCKS
    b3_block_size: int = B3_BLOCK_SIZE


@dataclass(frozen=True)
class ControllerProfile:
    """A controller's CAPI profile (64 bytes), decoded. Controller 0 carries
    only the number of controllers."""
    controllers: int
    b_channels: int
    global_options: int
    b1_protocols: int  # bit n: B1 protocol n supported
    b2_protocols: int
    b3_protocols: int
    manufacturer: tuple[int, ...]  # the five manufacturer-specific 32-bit words
    raw: bytes

    @classmethod
    def decode(cls, raw: bytes) -> ControllerProfile:
        """Reads the 64 bytes of a profile as the bridge sends them."""
        controllers, b_channels, options, b1, b2, b3 = struct.unpack_from("<HHIIII", raw)
        # Bytes 20..43 are reserved; the manufacturer's words follow.
        return cls(controllers, b_channels, options, b1, b2, b3,
                   struct.unpack_from("<5I", raw, 44), bytes(raw))


@dataclass(frozen=True)
class ProfileResult:
    """What Profile gave."""
    status: Outcome
    value: ControllerProfile  # as the bridge sent it, whatever the status


@dataclass(frozen=True)
class MessageResult:
    """What Get gave: a message, with a DATA_B3_IND's data, or why none."""
    status: Outcome
    message: bytes = b""  # one CAPI message, its own length
    # A DATA_B3_IND's data. Empty when the bridge could not read it; the
    # message's Data length still says how much there was.
    b3_data: bytes = b""

    @property
    def empty(self) -> bool:
        """Nothing was waiting."""
        return self.status == Outcome(Source.BRIDGE, INFO_QUEUE_EMPTY)

    @property
    def host_gone(self) -> bool:
        """The host has gone: the library's connection to it has ended or can
        no longer be used (the bridge's 0x1108 from a waiting Get). Close and
        start again."""
        return self.status == Outcome(Source.BRIDGE, INFO_HOST_GONE)

    @property
    def name(self) -> str:
        """The message's name, e.g. "DATA_B3_IND"; empty without a message."""
        return cm.name_of(self.message) if self.message else ""

    @property
    def header(self) -> Optional[cm.Header]:
        """The message's header; None without a message."""
        return cm.read_header(self.message)


class Client:
    """One capi-bridge child process and the application it registers; not
    for use from several threads at once. Request methods raise
    TransportError as that class says, and ValueError for arguments no
    request can carry. Use it in a with statement, or end it with close(),
    end_input() or kill()."""

    def __init__(self, command: Union[str, os.PathLike[str], Sequence[str]],
                 environment: Optional[Mapping[str, str]] = None,
                 stderr_path: Union[str, os.PathLike[str], None] = None,
                 request_timeout: float = 10.0, open_timeout: float = 30.0) -> None:
        """command: the bridge's path, or a program and its arguments (e.g.
        wine and the Windows build). environment: variables set in the
        bridge's environment over what it inherits (HOME decides which
        .capi20rc the library reads). stderr_path: a file the bridge's
        standard error, where the library writes its debug lines, is appended
        to; None discards it. Timeouts in seconds: Open may wait on the
        network (the library connects and registers without limits of its
        own) and has its own."""
        self.request_timeout = request_timeout
        self.open_timeout = open_timeout
        # Called as trace("put", message, payload) before each Put and as
        # trace("got", message, b3_data) for each message Get hands out.
        self.trace: Optional[Callable[[str, bytes, bytes], Any]] = None
        self._appl_id = 0
        self._message_number = 0
        self._handles_in_flight: set[int] = set()  # of DATA_B3_REQs the library accepted
        self._waiting_get: Optional[bool] = None  # whether the bridge has "W"; None until asked
        self._batch: Optional[bool] = None  # whether the bridge has "B"; None until asked
        self._gone_reason = ""
        argv = [os.fspath(command)] if isinstance(command, (str, os.PathLike)) else list(command)
        env = dict(os.environ, **(environment or {}))
        stderr: Any = subprocess.DEVNULL
        try:
            if stderr_path:
                stderr = open(stderr_path, "ab")
        except OSError as e:
            raise TransportError(f"cannot open the standard error file {stderr_path}: "
                                 f"{e.strerror}") from e
        # A process group of its own: a terminal's Ctrl-C is for this program,
        # which ends the bridge as it sees fit, and not for the bridge.
        group: dict[str, Any] = ({"process_group": 0} if sys.version_info >= (3, 11)
                                 else {"start_new_session": True})
        try:
            self._process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                             stderr=stderr, env=env, bufsize=0, **group)
        except OSError as e:
            raise TransportError(f"cannot start {argv[0]}: {e}") from e
        finally:
            if stderr_path:
                stderr.close()
        assert self._process.stdin is not None and self._process.stdout is not None
        self._stdin = self._process.stdin
        self._stdout = self._process.stdout
        self._input = self._stdin.fileno()
        self._output = self._stdout.fileno()
        os.set_blocking(self._input, False)
        os.set_blocking(self._output, False)
        self._writable = select.poll()
        self._writable.register(self._input, select.POLLOUT)
        self._readable = select.poll()
        self._readable.register(self._output, select.POLLIN)

    def __enter__(self) -> Client:
        return self

    def __exit__(self, *exc: object) -> None:
        """Ends the bridge's input (it then releases its application and
        exits), waits up to 2 s, then kills it if it still runs."""
        if self.usable and self.end_input(2.0) is None:
            self.kill()

    @property
    def usable(self) -> bool:
        """True while the bridge runs and its replies have made sense."""
        return not self._gone_reason

    @property
    def gone_reason(self) -> str:
        """Why the client stopped using the bridge; empty while usable."""
        return self._gone_reason

    @property
    def process_id(self) -> int:
        """The bridge's process ID."""
        return self._process.pid

    @property
    def exit_status(self) -> Optional[int]:
        """None while the bridge runs; then its exit status, or minus the
        signal that ended it."""
        return self._process.poll()

    @property
    def appl_id(self) -> int:
        """The application registered through this client, 0 if none."""
        return self._appl_id

    def next_number(self) -> int:
        """The next message number for a request, counting from 1."""
        self._message_number = self._message_number % 0xFFFF + 1
        return self._message_number

    def open(self, host: str, port: int, max_logical_connections: int,
             b3_data_blocks: int = B3_DATA_BLOCKS,
             b3_block_size: int = B3_BLOCK_SIZE) -> OpenResult:
        """Points the library at host:port (use a numeric address) and
        registers an application with room for max_logical_connections and
        b3_data_blocks (1..7) unanswered DATA_B3_IND of at most b3_block_size
        (128..2048) bytes each. A bridge too old to take other values than
        7 of 2048 registers those: the result says which were asked for.
        Refused with RuntimeError while an application is registered: the
        bridge would replace it and never release it."""
        if self._appl_id:
            raise RuntimeError(f"application {self._appl_id} is registered; close this "
                               "client and start another")
        name = self._host_name(host)
        if not 1 <= b3_data_blocks <= B3_DATA_BLOCKS:
            raise ValueError(f"b3_data_blocks: 1 to {B3_DATA_BLOCKS}")
        if not SMALLEST_B3_BLOCK_SIZE <= b3_block_size <= B3_BLOCK_SIZE:
            raise ValueError(f"b3_block_size: {SMALLEST_B3_BLOCK_SIZE} to {B3_BLOCK_SIZE}")
        registration = (b3_data_blocks, b3_block_size)
        if registration != (B3_DATA_BLOCKS, B3_BLOCK_SIZE):
            info, data = self._exchange(b"R" + struct.pack("<HH", *registration),
                                        self.request_timeout, "registration values")
            if info == INFO_ILLEGAL_COMMAND and not data:
                registration = (B3_DATA_BLOCKS, B3_BLOCK_SIZE)  # a bridge without "R"
            elif info != 0 or data:
                self._fail(f"registration values: the bridge refused values it takes, "
                           f"info 0x{info:04X}")
        if self._waiting_get is None:
            # Asked while no application is registered, the waiting Get
            # answers 0x1104 at once, or 0x1102 from a bridge without it.
            # Later it also answers 0x1102 for a frame of the host's that it
            # drops.
            self._get_once(b"W" + struct.pack("<I", 0))
        body = b"O" + struct.pack("<HH", port, max_logical_connections) + name
        info, data = self._exchange(body, self.open_timeout, "Open")
        if len(data) != 5:
            self._fail(f"Open: malformed reply, {len(data)} data bytes where 5 belong")
        appl_id, stage = struct.unpack("<IB", data)
        if stage > OpenStage.REGISTER_FAILED or (stage == OpenStage.REGISTERED) != (info == 0):
            self._fail(f"Open: malformed reply, stage {stage} with info 0x{info:04X}")
        if (stage == OpenStage.REGISTERED) != (appl_id != 0):
            self._fail(f"Open: malformed reply, stage {stage} with application {appl_id}")
        if stage == OpenStage.REGISTERED:
            self._appl_id = appl_id
            self._handles_in_flight.clear()
        # 0x1009 at stage 1 is the bridge's when the library could not be
        # loaded and the library's when it reaches no host: without a
        # library, the bridge answers Profile with 0x1009 itself.
        bridge = False
        if stage == OpenStage.CAPI_NOT_AVAILABLE and info == INFO_NOT_INSTALLED:
            bridge = self.profile(0).status == Outcome(Source.BRIDGE, INFO_NOT_INSTALLED)
        return OpenResult(_judged(info, bridge), appl_id, OpenStage(stage), *registration)

    def installed(self, host: str, port: int) -> Optional[Outcome]:
        """Whether CAPI is there: the library pointed at host:port answers its
        is-installed, and no application is registered (profile() works
        after it). None where the bridge is too old to ask without
        registering: then open() tells."""
        body = b"I" + struct.pack("<HH", port, 0) + self._host_name(host)
        info, data = self._exchange(body, self.open_timeout, "is-installed")
        if data:
            self._fail(f"is-installed: malformed reply, {len(data)} data bytes")
        if info == INFO_ILLEGAL_COMMAND:
            return None
        bridge = False
        if info == INFO_NOT_INSTALLED:
            bridge = self.profile(0).status == Outcome(Source.BRIDGE, INFO_NOT_INSTALLED)
        return _judged(info, bridge)

    @staticmethod
    def _host_name(host: str) -> bytes:
        name = host.encode("ascii")
        if not 1 <= len(name) <= 255 or b"\0" in name:
            raise ValueError("host: 1 to 255 characters, no NUL")
        return name

    def profile(self, controller: int) -> ProfileResult:
        """The profile of a controller; 0 asks for the number of controllers.
        Needs an earlier Open (which loads the library), not a registration."""
        info, data = self._exchange(b"P" + struct.pack("<I", controller),
                                    self.request_timeout, "Profile")
        if len(data) != PROFILE_SIZE:
            self._fail(f"Profile: malformed reply, {len(data)} data bytes where 64 belong")
        return ProfileResult(_judged(info, info == INFO_NOT_INSTALLED),
                             ControllerProfile.decode(data))

    def put(self, message: cm.Buffer, payload: cm.Buffer = b"") -> Outcome:
        """Passes one CAPI message to the library; its ApplID field is set to
        the registered application's. payload: a DATA_B3_REQ's B3 data (the
        message in its 30-byte form, see messages.data_b3_req), or
        already at the end of `message`. Use a Data handle again only once its
        DATA_B3_CONF has come back."""
        body = bytearray(b"M" + bytes(message) + bytes(payload))
        if len(body) > MAX_REQUEST_BODY:
            raise ValueError(f"message and payload above {MAX_REQUEST_BODY - 1} bytes")
        if self._appl_id and len(body) >= 5:
            struct.pack_into("<H", body, 3, self._appl_id)
        sent = bytes(body[1:])
        if self.trace:
            self.trace("put", sent[:len(message)], sent[len(message):])
        info, data = self._exchange(bytes(body), self.request_timeout, "Put")
        if data:
            self._fail(f"Put: malformed reply, {len(data)} data bytes where 0 belong")
        why = self._bridge_refusal(info, sent)
        status = _judged(info, why is not None, why or "")
        if status.ok and sent[4:6] == bytes([cm.DATA_B3, cm.REQ]) and len(sent) >= 20:
            self._handles_in_flight.add(struct.unpack_from("<H", sent, 18)[0])
        return status

    def _bridge_refusal(self, info: int, sent: bytes) -> Optional[str]:
        """None unless the bridge's own checks on `sent` give `info` (see
        Outcome); then, for 0x1102, which rule the message broke, else ""."""
        framed = len(sent) >= cm.HEADER_LENGTH
        length = struct.unpack_from("<H", sent)[0] if framed else 0
        well_formed = framed and cm.HEADER_LENGTH <= length <= min(MAX_MESSAGE_LENGTH, len(sent))
        kind = tuple(sent[4:6])
        data_b3_req = well_formed and kind == (cm.DATA_B3, cm.REQ)
        declared = struct.unpack_from("<H", sent, 16)[0] if data_b3_req and length >= 22 else 0
        handle = struct.unpack_from("<H", sent, 18)[0] if data_b3_req and length >= 22 else None
        data_sent = min(declared, len(sent) - length) if data_b3_req else 0
        if info == INFO_ILLEGAL_COMMAND:
            if not well_formed:
                return (f"not a CAPI message: its length field is below {cm.HEADER_LENGTH}, "
                        f"above {MAX_MESSAGE_LENGTH} or beyond the bytes given")
            if data_b3_req and length < cm.DATA_B3_REQ_LENGTH:
                return (f"a DATA_B3_REQ must come in its {cm.DATA_B3_REQ_LENGTH}-byte form "
                        "(with Data64)")
            if length + data_sent > LIBRARY_SEND_LIMIT:
                return f"message and data above the library's {LIBRARY_SEND_LIMIT} bytes"
            return None
        refused = {
            INFO_ILLEGAL_APPL_ID: not framed or not self._appl_id,
            INFO_QUEUE_BUSY: data_b3_req and handle in self._handles_in_flight,
            INFO_OS_RESOURCE_ERROR: data_b3_req,
            INFO_DATA_LENGTH_NOT_SUPPORTED: declared > B3_BLOCK_SIZE,
            INFO_NOT_IN_CURRENT_STATE: well_formed and kind == (cm.DATA_B3, cm.RESP),
        }.get(info, False)
        return "" if refused else None

    def get(self, wait: float = 0.0) -> MessageResult:
        """One incoming message with a DATA_B3_IND's data; result.empty when
        none is waiting (or no application is registered). With `wait`
        (seconds), waits until a message comes or the time has passed, and
        returns at once on anything but "nothing waiting": through the
        bridge's waiting Get ("W", asked once: an older bridge answers it with
        0x1102, and the client then polls with Get, pausing 0, 1, 2 ... up to
        10 ms between empty polls). Each waiting request waits up to 60 s and
        has request_timeout on top for its reply. result.host_gone when the
        library's connection to the host has ended."""
        if not self._appl_id:
            # Without an application every Get answers at once, and always will.
            return self._get_once(b"G")
        deadline = time.monotonic() + wait
        pause = 0.0
        while True:
            left = max(deadline - time.monotonic(), 0.0)
            waiting = wait > 0 and self._waiting_get is not False
            result = self._wait_once(left) if waiting else self._get_once(b"G")
            if not result.empty or time.monotonic() >= deadline:
                return result
            if waiting and self._waiting_get:
                continue
            time.sleep(pause)
            pause = min(pause + 0.001, 0.01)

    def get_batch(self, wait: float = 0.0, most: int = 64,
                  most_bytes: int = 65536) -> list[MessageResult]:
        """Every message that has come, in order, up to `most` messages and
        about `most_bytes` of them, waiting up to `wait` seconds (at most
        60) for the first, in one request: the bridge's batch ("B", asked
        at the first call: an older bridge answers it with 0x1102, and from
        then on the client gives one message of get(wait)). Each result is
        as get() gives it; the last may carry the status that ended the
        batch (host_gone, say). No message: one result with the status
        (empty when nothing came in time)."""
        if self._batch is False or not self._appl_id:
            return [self.get(wait)]
        milliseconds = max(int(wait * 1000), 0)
        body = b"B" + struct.pack("<IHI", min(milliseconds, 0xFFFFFFFF), most, most_bytes)
        info, data = self._exchange(
            body, self.request_timeout + min(milliseconds, LONGEST_WAIT_MS) / 1000, "batch")
        if self._batch is None:
            # The answer of a bridge without it, at once. (A bridge that has it
            # answers so only for a frame of the host's that it drops: taken
            # for an older bridge then, the client merely uses W.)
            self._batch = not (info == INFO_ILLEGAL_COMMAND and not data)
            if not self._batch:
                return [self.get(wait)]
        if info != 0:
            return [self._message_from(info, data, "batch")]
        results = []
        at = 0
        while at < len(data):
            if len(data) - at < 8:
                self._fail(f"batch: malformed reply, a record cut short at byte {at}")
            length, record_info = struct.unpack_from("<II", data, at)
            if length < 4 or length - 4 > len(data) - at - 8:
                self._fail(f"batch: malformed reply, a record's length field 0x{length:X}")
            record = data[at + 8:at + 4 + length]
            at += 4 + length
            if record_info != 0 and at != len(data):
                self._fail(f"batch: malformed reply, info 0x{record_info:04X} before the last")
            results.append(self._message_from(record_info, record, "batch"))
        if not results:
            self._fail("batch: malformed reply, info 0 and no records")
        return results

    def _wait_once(self, seconds: float) -> MessageResult:
        milliseconds = min(int(seconds * 1000), LONGEST_WAIT_MS)
        return self._get_once(b"W" + struct.pack("<I", milliseconds),
                              self.request_timeout + milliseconds / 1000)

    def _get_once(self, body: bytes, timeout: Optional[float] = None) -> MessageResult:
        what = "Get" if body == b"G" else "waiting Get"
        info, data = self._exchange(body, timeout or self.request_timeout, what)
        if body != b"G" and self._waiting_get is None:
            # A bridge without the waiting Get answers it as an unknown kind;
            # asked once, the answer stands. open() asks before registering.
            self._waiting_get = info != INFO_ILLEGAL_COMMAND
            if not self._waiting_get:
                return MessageResult(Outcome(Source.BRIDGE, INFO_QUEUE_EMPTY))
        return self._message_from(info, data, what)

    def _message_from(self, info: int, data: bytes, what: str) -> MessageResult:
        """A Get's reply (or a batch's record), checked and followed."""
        if info != 0:
            if data:
                self._fail(f"{what}: malformed reply, {len(data)} data bytes with info 0x{info:04X}")
            ours = (INFO_QUEUE_EMPTY, INFO_ILLEGAL_COMMAND, INFO_HOST_GONE)
            return MessageResult(_judged(info, info in ours))
        h = cm.read_header(data)
        if h is None:
            self._fail(f"{what}: malformed reply, no CAPI message in {len(data)} bytes")
        message, extra = data[:h.length], data[h.length:]
        kind = (h.command, h.subcommand)
        if extra and (kind != (cm.DATA_B3, cm.IND) or h.length < 22
                      or struct.unpack_from("<H", message, 16)[0] != len(extra)):
            self._fail(f"{what}: malformed reply, {len(extra)} bytes after {h.name}")
        if kind == (cm.DATA_B3, cm.CONF) and h.length >= 14:
            self._handles_in_flight.discard(struct.unpack_from("<H", message, 12)[0])
        if self.trace:
            self.trace("got", message, extra)
        return MessageResult(Outcome(Source.NONE), message, extra)

    def close(self) -> Outcome:
        """Releases the application; the bridge then exits, which is awaited.
        An exit status other than 0 is a TransportError."""
        deadline = time.monotonic() + self.request_timeout
        info, data = self._exchange(b"C", self.request_timeout, "Close")
        if data:
            self._fail(f"Close: malformed reply, {len(data)} data bytes where 0 belong")
        self._appl_id = 0
        self._stdin.close()
        try:
            status = self._process.wait(max(deadline - time.monotonic(), 0))
        except subprocess.TimeoutExpired:
            self._fail("Close: the bridge did not end in time")
        self._stdout.close()
        self._gone_reason = "closed"
        if status != 0:
            raise TransportError(f"Close: the bridge ended with {_how(status)}")
        return _judged(info, False)

    def end_input(self, wait: float) -> Optional[int]:
        """Closes the bridge's input without Close (the bridge releases its
        application and exits) and waits up to `wait` seconds; the exit
        status, or None if it still runs then (it keeps running)."""
        self._stdin.close()
        try:
            status = self._process.wait(wait)
        except subprocess.TimeoutExpired:
            return None
        self._stdout.close()
        self._appl_id = 0
        self._gone_reason = self._gone_reason or "its input was ended"
        return status

    def kill(self) -> None:
        """Ends the bridge at once."""
        self._stop(0)
        self._gone_reason = self._gone_reason or "killed"

    def _exchange(self, body: bytes, timeout: float, what: str) -> tuple[int, bytes]:
        """Writes one request frame and reads its reply: (info, data)."""
        if self._gone_reason:
            raise TransportError(f"{what}: the bridge is not in use any more: {self._gone_reason}")
        deadline = time.monotonic() + timeout
        self._write(struct.pack("<I", len(body)) + body, deadline, what)
        length, info = struct.unpack("<II", self._read(8, deadline, what))
        if not 4 <= length <= _MAX_REPLY_LENGTH:
            self._fail(f"{what}: malformed reply, length field 0x{length:08X}")
        return info, self._read(length - 4, deadline, what)

    def _write(self, data: bytes, deadline: float, what: str) -> None:
        view = memoryview(data)
        while view:
            self._wait(self._writable, deadline, what)
            try:
                view = view[os.write(self._input, view):]
            except BlockingIOError:
                pass
            except BrokenPipeError:
                self._fail(f"{what}: the bridge ended while the request was written", grace=1)

    def _read(self, size: int, deadline: float, what: str) -> bytes:
        buffer = bytearray()
        while len(buffer) < size:
            self._wait(self._readable, deadline, what)
            try:
                piece = os.read(self._output, size - len(buffer))
            except BlockingIOError:
                continue
            if not piece:
                self._fail(f"{what}: the bridge ended while the reply was read", grace=1)
            buffer += piece
        return bytes(buffer)

    def _wait(self, poller: select.poll, deadline: float, what: str) -> None:
        left = deadline - time.monotonic()
        if left <= 0 or not poller.poll(left * 1000):
            self._fail(f"{what}: no reply in time; the bridge was killed")

    def _fail(self, reason: str, grace: float = 0) -> NoReturn:
        """Ends the bridge and raises TransportError. grace: seconds that a
        bridge which is ending by itself gets to do so, so that the report
        can say how it ended."""
        status = self._stop(grace)
        self._gone_reason = f"{reason} ({_how(status)})"
        self._appl_id = 0
        raise TransportError(self._gone_reason)

    def _stop(self, grace: float) -> int:
        try:
            self._process.wait(grace)
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.wait()
        for pipe in (self._stdin, self._stdout):
            try:
                pipe.close()
            except OSError:
                pass
        return self._process.returncode


def _how(status: int) -> str:
    return f"exit status {status}" if status >= 0 else f"signal {-status}"
