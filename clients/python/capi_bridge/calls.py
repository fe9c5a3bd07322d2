# SPDX-License-Identifier: MIT
"""The steps of a call through capi-bridge, for programs and tests that place
calls: listening, dialling, answering, B3 connections, blocks of data,
clearing. Each step waits for the message it expects and raises CallError,
saying what came instead, when that message does not come.
"""

from __future__ import annotations

import random
from dataclasses import dataclass
from typing import Optional

from . import messages as cm
from .client import Client, MessageResult

STEP_TIMEOUT = 5.0  # seconds to wait for each expected message
CIP_MASK_UNRESTRICTED_DIGITAL = 1 << cm.CIP_UNRESTRICTED_DIGITAL


class CallError(Exception):
    """A step of a call did not get the message it waited for."""


def _who(client: Client) -> str:
    return f"appl {client.appl_id}"


def expect_all(client: Client, *names: str,
               wait: float = STEP_TIMEOUT) -> dict[str, MessageResult]:
    """Gets messages until one of each name (e.g. "DATA_B3_IND") has come, in
    any order, within `wait` seconds; returns their MessageResults by name.
    Any other message, or a Get that fails, raises CallError."""
    got: dict[str, MessageResult] = {}
    for _ in names:
        result = client.get(wait)
        wanted = " and ".join(name for name in names if name not in got)
        if result.empty:
            raise CallError(f"{_who(client)}: nothing came within {wait} s; expected {wanted}")
        if not result.status.ok:
            raise CallError(f"{_who(client)}: Get: {result.status}; expected {wanted}")
        if result.name not in names or result.name in got:
            raise CallError(f"{_who(client)}: got {result.name} {result.message.hex()}; "
                            f"expected {wanted}")
        got[result.name] = result
    return got


def expect(client: Client, name: str, wait: float = STEP_TIMEOUT) -> MessageResult:
    """The next message, which must be `name`; its MessageResult."""
    return expect_all(client, name, wait=wait)[name]


def put_ok(client: Client, message: cm.Buffer, payload: cm.Buffer = b"") -> None:
    """Puts a message; raises CallError unless the library accepted it."""
    status = client.put(message, payload)
    if not status.ok:
        raise CallError(f"{_who(client)}: Put {cm.name_of(message)}: {status}")


def _number(result: MessageResult) -> int:
    header = result.header
    if header is None:
        raise CallError(f"no message where one was expected: {result.status}")
    return header.number


def _confirmed(client: Client, name: str) -> int:
    """The address of the next message, a CONF that must say 0."""
    conf = cm.read_conf(expect(client, name).message)
    if conf is None or conf.info != 0:
        raise CallError(f"{_who(client)}: {name}: " +
                        (cm.info_text(conf.info) if conf else "unreadable"))
    return conf.address


def _answered_indication(client: Client, command: int, address: int) -> MessageResult:
    """The next message, the indication `command` for `address` (a PLCI or an
    NCCI), answered with a response that carries its message number."""
    name = cm.message_name(command, cm.IND)
    result = expect(client, name)
    if cm.read_address(result.message) != address:
        raise CallError(f"{_who(client)}: {name} {result.message.hex()} is not for 0x{address:x}")
    put_ok(client, cm.address_only(client.appl_id, _number(result), command, cm.RESP, address))
    return result


def listen(client: Client, controller: int, cip_mask: int) -> None:
    """LISTEN_REQ for `cip_mask` on `controller`; its LISTEN_CONF must say 0."""
    put_ok(client, cm.listen_req(client.appl_id, client.next_number(), controller, cip_mask))
    _confirmed(client, "LISTEN_CONF")


def dial(client: Client, controller: int, number: str,
         cip: int = cm.CIP_UNRESTRICTED_DIGITAL) -> int:
    """CONNECT_REQ to `number`; the PLCI from its CONNECT_CONF, which must say 0."""
    put_ok(client, cm.connect_req(client.appl_id, client.next_number(), controller, cip, number))
    return _confirmed(client, "CONNECT_CONF")


def await_call(client: Client) -> tuple[cm.ConnectInd, int]:
    """Waits for CONNECT_IND; returns it read, and its message number for answer()."""
    result = expect(client, "CONNECT_IND")
    offered = cm.read_connect_ind(result.message)
    if offered is None:
        raise CallError(f"{_who(client)}: unreadable CONNECT_IND {result.message.hex()}")
    return offered, _number(result)


def answer(client: Client, plci: int, number: int) -> None:
    """CONNECT_RESP accepting the call on `plci`; `number`: its CONNECT_IND's."""
    put_ok(client, cm.connect_resp(client.appl_id, number, plci, 0))


def await_connected(client: Client, plci: int) -> None:
    """CONNECT_ACTIVE_IND for `plci`, answered."""
    _answered_indication(client, cm.CONNECT_ACTIVE, plci)


def connect_b3(client: Client, plci: int) -> int:
    """CONNECT_B3_REQ on `plci`; the NCCI from its CONNECT_B3_CONF, which must say 0."""
    put_ok(client, cm.connect_b3_req(client.appl_id, client.next_number(), plci))
    return _confirmed(client, "CONNECT_B3_CONF")


def accept_b3(client: Client) -> int:
    """CONNECT_B3_IND, accepted; its NCCI."""
    result = expect(client, "CONNECT_B3_IND")
    ncci = cm.read_address(result.message)
    if ncci is None:
        raise CallError(f"{_who(client)}: unreadable CONNECT_B3_IND {result.message.hex()}")
    put_ok(client, cm.connect_b3_resp(client.appl_id, _number(result), ncci, 0))
    return ncci


def await_b3_active(client: Client, ncci: int) -> None:
    """CONNECT_B3_ACTIVE_IND for `ncci`, answered."""
    _answered_indication(client, cm.CONNECT_B3_ACTIVE, ncci)


def send_block(client: Client, ncci: int, handle: int, block: bytes) -> None:
    """DATA_B3_REQ carrying `block` (at most 2048 bytes) under Data handle `handle`."""
    put_ok(client, cm.data_b3_req(client.appl_id, client.next_number(), ncci, handle, len(block)),
           block)


def block_confirmed(client: Client, ncci: int, handle: int,
                    result: Optional[MessageResult] = None) -> None:
    """The DATA_B3_CONF for `handle` (the next message unless given) must say 0."""
    result = result or expect(client, "DATA_B3_CONF")
    conf = cm.read_data_b3_conf(result.message)
    if conf != cm.DataB3Conf(ncci, handle, 0):
        raise CallError(f"{_who(client)}: {result.message.hex()} is no successful DATA_B3_CONF "
                        f"for handle {handle}")


def receive_block(client: Client, ncci: int, result: Optional[MessageResult] = None) -> bytes:
    """The data of a DATA_B3_IND for `ncci` (the next message unless given),
    answered with DATA_B3_RESP."""
    result = result or expect(client, "DATA_B3_IND")
    ind = cm.read_data_b3(result.message)
    if ind is None or ind.ncci != ncci or ind.data_length != len(result.b3_data):
        raise CallError(f"{_who(client)}: DATA_B3_IND {result.message.hex()} with "
                        f"{len(result.b3_data)} data bytes")
    put_ok(client, cm.data_b3_resp(client.appl_id, _number(result), ncci, ind.handle))
    return result.b3_data


def clear_b3(client: Client, ncci: int) -> None:
    """DISCONNECT_B3_REQ for `ncci`; its DISCONNECT_B3_CONF must say 0."""
    put_ok(client, cm.disconnect_b3_req(client.appl_id, client.next_number(), ncci))
    _confirmed(client, "DISCONNECT_B3_CONF")


def await_b3_cleared(client: Client, ncci: int) -> None:
    """DISCONNECT_B3_IND for `ncci`, answered."""
    _answered_indication(client, cm.DISCONNECT_B3, ncci)


def hang_up(client: Client, plci: int) -> None:
    """DISCONNECT_REQ for `plci`; its DISCONNECT_CONF must say 0."""
    put_ok(client, cm.disconnect_req(client.appl_id, client.next_number(), plci))
    _confirmed(client, "DISCONNECT_CONF")


def await_cleared(client: Client, plci: int) -> int:
    """DISCONNECT_IND for `plci`, answered; its reason."""
    result = _answered_indication(client, cm.DISCONNECT, plci)
    ind = cm.read_disconnect_ind(result.message)
    if ind is None:
        raise CallError(f"{_who(client)}: unreadable DISCONNECT_IND {result.message.hex()}")
    return ind.reason


@dataclass
class Call:
    """Both ends of a call with its B3 connection up (the callee's are 0 on an echo call)."""
    caller_plci: int = 0
    caller_ncci: int = 0
    callee_plci: int = 0
    callee_ncci: int = 0
    offered: Optional[cm.ConnectInd] = None  # as the callee saw it


def place_call(caller: Client, callee: Client, number: str, controller: int = 1) -> Call:
    """`callee` listens on `controller` for data calls, `caller` dials
    `number`, `callee` answers, `caller` sets up B3 and `callee` accepts it."""
    call = Call()
    listen(callee, controller, CIP_MASK_UNRESTRICTED_DIGITAL)
    call.caller_plci = dial(caller, controller, number)
    call.offered, ind_number = await_call(callee)
    call.callee_plci = call.offered.plci
    answer(callee, call.callee_plci, ind_number)
    await_connected(caller, call.caller_plci)
    await_connected(callee, call.callee_plci)
    call.caller_ncci = connect_b3(caller, call.caller_plci)
    call.callee_ncci = accept_b3(callee)
    await_b3_active(caller, call.caller_ncci)
    await_b3_active(callee, call.callee_ncci)
    return call


def place_echo_call(caller: Client, number: str, controller: int = 1) -> Call:
    """A call to a number that answers by itself; B3 set up by the caller."""
    call = Call()
    call.caller_plci = dial(caller, controller, number)
    await_connected(caller, call.caller_plci)
    call.caller_ncci = connect_b3(caller, call.caller_plci)
    await_b3_active(caller, call.caller_ncci)
    return call


def pattern(seed: int, size: int) -> bytes:
    """`size` bytes of varied content, the same for the same seed."""
    return random.Random(seed).randbytes(size)
