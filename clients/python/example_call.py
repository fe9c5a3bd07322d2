#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A call with data through capi-bridge against capi-host-emulator: calls the
emulator's echo number (or, with --peer, a second bridge that answers and
sends every block back), checks that the data comes back byte for byte, hangs
up and closes. Exit status 0 on success, 1 on failure.
"""

import argparse
import contextlib
import os
import shutil
import sys
import tempfile
from pathlib import Path

import capi_bridge
from capi_bridge import calls
from capi_bridge import messages as cm
from capi_bridge.emulator import LocalEmulator, quiet_home

BUILD = Path(__file__).resolve().parents[2] / "build"
CONTROLLER = 1
BLOCK_SIZES = (1, 100, 1000, capi_bridge.B3_BLOCK_SIZE)


def find_program(given, variable, in_build):
    """A program from the command line, else from the environment, else from the
    source tree's build folder, else the installed one on PATH. A name without
    a folder is looked up on PATH."""
    name = Path(in_build).name
    tried = [given] if given else [os.environ.get(variable)] if os.environ.get(variable) else [
        str(BUILD / in_build), name]
    for path in tried:
        found = shutil.which(path)
        if found:
            return found
    raise calls.CallError(f"no program {' nor '.join(tried)}: install or build {name}, "
                          "or pass its path")


def tracer(name):
    """Shows every message a client puts and gets, for --verbose."""
    def show(direction, message, data):
        more = f" + {len(data)} data bytes" if data else ""
        print(f"  {name} {direction} {cm.name_of(message)} {message.hex()}{more}")
    return show


def send_and_check(caller, callee, call, handle, block):
    """Sends one block; the echo number or the callee sends it back."""
    calls.send_block(caller, call.caller_ncci, handle, block)
    if callee:
        echoed = calls.receive_block(callee, call.callee_ncci)
        calls.send_block(callee, call.callee_ncci, handle, echoed)
        calls.block_confirmed(callee, call.callee_ncci, handle)
    got = calls.expect_all(caller, "DATA_B3_CONF", "DATA_B3_IND")
    calls.block_confirmed(caller, call.caller_ncci, handle, got["DATA_B3_CONF"])
    returned = calls.receive_block(caller, call.caller_ncci, got["DATA_B3_IND"])
    if returned != block:
        raise calls.CallError(f"a block of {len(block)} bytes came back as "
                              f"{len(returned)} different bytes")


def run(args, folder):
    bridge = find_program(args.bridge, "CAPI_BRIDGE_EXECUTABLE", "capi-bridge")
    emulator = find_program(args.emulator, "CAPI_HOST_EMULATOR", "emulator/capi-host-emulator")
    environment = {"HOME": quiet_home(folder)}
    with contextlib.ExitStack() as stack:
        host = stack.enter_context(LocalEmulator(
            emulator, ["--first-appl-id", str(args.first_appl_id), "--exit-after", "120",
                       "--verbose"], os.path.join(folder, "emulator.log")))
        print(f"emulator listening on 127.0.0.1:{host.port}")
        clients = []
        for name in ("A", "B") if args.peer else ("A",):
            client = stack.enter_context(capi_bridge.Client(
                bridge, environment, os.path.join(folder, f"bridge-{name}.log")))
            if args.verbose:
                client.trace = tracer(name)
            opened = client.open("127.0.0.1", host.port, 2)
            if opened.stage != capi_bridge.OpenStage.REGISTERED:
                raise calls.CallError(f"{name}: Open: {opened.stage.name}, {opened.status}")
            profile = client.profile(CONTROLLER)
            if not profile.status.ok:
                raise calls.CallError(f"{name}: Profile: {profile.status}")
            print(f"{name}: application {client.appl_id} registered; controller {CONTROLLER} "
                  f"has {profile.value.b_channels} B channels")
            clients.append(client)

        caller = clients[0]
        callee = clients[1] if args.peer else None
        if callee:
            call = calls.place_call(caller, callee, "42", CONTROLLER)
            print(f"A called 42, B answered: A has PLCI 0x{call.caller_plci:04x}, "
                  f"NCCI 0x{call.caller_ncci:08x}")
        else:
            call = calls.place_echo_call(caller, args.echo_number, CONTROLLER)
            print(f"A called {args.echo_number}: PLCI 0x{call.caller_plci:04x}, "
                  f"NCCI 0x{call.caller_ncci:08x}")

        blocks = [calls.pattern(size, size) for size in BLOCK_SIZES]
        for handle, block in enumerate(blocks, start=1):
            send_and_check(caller, callee, call, handle, block)
        print(f"sent {len(blocks)} blocks of {', '.join(str(len(b)) for b in blocks)} bytes: "
              "all came back byte for byte")

        calls.clear_b3(caller, call.caller_ncci)
        calls.await_b3_cleared(caller, call.caller_ncci)
        if callee:
            calls.await_b3_cleared(callee, call.callee_ncci)
        calls.hang_up(caller, call.caller_plci)
        reason = calls.await_cleared(caller, call.caller_plci)
        if callee:
            calls.await_cleared(callee, call.callee_plci)
        print(f"hung up: reason 0x{reason:04x} ({cm.info_text(reason)})")
        for client in clients:
            client.close()
        print("closed")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--bridge", help="capi-bridge (default: CAPI_BRIDGE_EXECUTABLE, else "
                        "build/capi-bridge in the source tree, else capi-bridge on PATH)")
    parser.add_argument("--emulator",
                        help="capi-host-emulator (default: CAPI_HOST_EMULATOR, else "
                        "build/emulator/capi-host-emulator in the source tree, else "
                        "capi-host-emulator on PATH)")
    parser.add_argument("--first-appl-id", type=int, default=490,
                        help="lowest application ID the emulator hands out (default 490)")
    parser.add_argument("--peer", action="store_true",
                        help="bridge A calls bridge B instead of the echo number")
    parser.add_argument("--echo-number", default="999")
    parser.add_argument("--verbose", "-v", action="store_true", help="show every message")
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="capi-bridge-example-")
    try:
        run(args, folder)
    except (calls.CallError, capi_bridge.TransportError, RuntimeError) as e:
        print(f"example call failed: {e} (logs in {folder})", file=sys.stderr)
        return 1
    shutil.rmtree(folder)
    return 0


if __name__ == "__main__":
    sys.exit(main())
