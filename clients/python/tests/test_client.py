# SPDX-License-Identifier: MIT
"""Tests of capi_bridge.Client: the real bridge against the scriptable stand-in
for libcapi20 (framing, whose info value is whose), and stand-in bridges
written here (malformed replies, silence, early ends)."""

import os
import shutil
import signal
import struct
import sys
import tempfile
import unittest
from pathlib import Path

import capi_bridge as cb
from capi_bridge import OpenResult, OpenStage, Outcome, Source
from capi_bridge import messages as cm
from example_call import BUILD

BRIDGE = os.environ.get("CAPI_BRIDGE_EXECUTABLE", str(BUILD / "capi-bridge"))
FAKE_CAPI = os.environ.get("FAKE_CAPI_LIBRARY_DIR", str(BUILD / "tests/fake_capi/full"))
# Beside the stand-in's folder: a file with the library's name that is no library.
UNLOADABLE = str(Path(FAKE_CAPI).parent / "unloadable")

OK = Outcome(Source.NONE)
LISTEN_CONF = struct.pack("<HHBBHIH", 14, 7, cm.LISTEN, cm.CONF, 1, 1, 0)


def data_b3_ind(ncci, length, handle):
    return struct.pack("<HHBBHIIHHHQ", 30, 7, cm.DATA_B3, cm.IND, 1, ncci, 0, length, handle, 0, 0)


class StandInTest(unittest.TestCase):
    """Starts the real bridge against the stand-in library, scripted per test."""

    def setUp(self):
        for path in (BRIDGE, FAKE_CAPI):
            self.assertTrue(os.path.exists(path), f"{path} is missing: build first")
        self.folder = Path(tempfile.mkdtemp(prefix="capi-bridge-python-"))
        self.addCleanup(shutil.rmtree, self.folder)

    def start(self, script="", library=FAKE_CAPI, environment=None):
        (self.folder / "script").write_text(script)
        (self.folder / "log").unlink(missing_ok=True)
        environment = {"LD_LIBRARY_PATH": library, "HOME": str(self.folder),
                       "FAKE_CAPI_SCRIPT": str(self.folder / "script"),
                       "FAKE_CAPI_LOG": str(self.folder / "log"), **(environment or {})}
        client = cb.Client(BRIDGE, environment, self.folder / "stderr")
        self.addCleanup(client.kill)
        return client

    def opened(self, script="", environment=None):
        client = self.start("appl_id 7\n" + script, environment=environment)
        self.assertEqual(client.open("127.0.0.1", 2662, 2).appl_id, 7)
        return client

    def calls(self, prefix="capi20"):
        """The stand-in's log: one line per library call."""
        log = self.folder / "log"
        lines = log.read_text().splitlines() if log.exists() else []
        return [line for line in lines if line.startswith(prefix)]


class OpenProfileCloseTest(StandInTest):
    def test_open_registers_and_close_releases(self):
        client = self.start("appl_id 7\n")
        self.assertEqual(client.open("127.0.0.1", 2662, 3),
                         OpenResult(OK, 7, OpenStage.REGISTERED))
        self.assertEqual(client.appl_id, 7)
        self.assertEqual(client.close(), OK)
        self.assertEqual((client.usable, client.exit_status), (False, 0))
        self.assertEqual(self.calls(), [
            "capi20ext_set_driver fritzbox", "capi20ext_set_host " + b"127.0.0.1".hex(),
            "capi20ext_set_port 2662", "capi20_isinstalled", "capi20_register 3 7 2048",
            "capi20_fileno 7", "capi20_release 7"])
        with self.assertRaises(cb.TransportError):
            client.get()

    def test_ending_the_input_releases_too(self):
        client = self.opened()
        self.assertEqual(client.end_input(5), 0)
        self.assertFalse(client.usable)
        self.assertEqual(self.calls("capi20_release"), ["capi20_release 7"])

    def test_open_failures(self):
        cases = [
            # name, library, script, info, stage, who
            ("no host", FAKE_CAPI, "isinstalled 0x1009\n", 0x1009, OpenStage.CAPI_NOT_AVAILABLE,
             Source.LIBRARY),
            ("no library", UNLOADABLE, "", 0x1009, OpenStage.CAPI_NOT_AVAILABLE, Source.BRIDGE),
            ("other installation error", FAKE_CAPI, "isinstalled 0x1108\n", 0x1108,
             OpenStage.CAPI_NOT_AVAILABLE, Source.LIBRARY),
            ("registration refused", FAKE_CAPI, "register 0x1008\nappl_id 5\n", 0x1008,
             OpenStage.REGISTER_FAILED, Source.LIBRARY),
        ]
        for name, library, script, info, stage, who in cases:
            with self.subTest(name):
                client = self.start(script, library)
                self.assertEqual(client.open("127.0.0.1", 2662, 1),
                                 OpenResult(Outcome(who, info), 0, stage))
                self.assertEqual(client.appl_id, 0)
                # Nothing is registered, so Put is refused by the bridge.
                self.assertEqual(client.put(cm.listen_req(0, 1, 1, 1)),
                                 Outcome(Source.BRIDGE, 0x1101))

    def test_open_registers_the_blocks_asked_for(self):
        client = self.start("appl_id 7\n")
        self.assertEqual(client.open("127.0.0.1", 2662, 2, 3, 128),
                         OpenResult(OK, 7, OpenStage.REGISTERED, 3, 128))
        self.assertEqual(self.calls("capi20_register"), ["capi20_register 2 3 128"])
        for blocks, size in ((0, 128), (8, 128), (3, 127), (3, 2049)):
            with self.subTest(blocks=blocks, size=size), self.assertRaises(ValueError):
                self.start().open("127.0.0.1", 2662, 2, blocks, size)

    def test_installed_registers_nothing(self):
        cases = [
            # name, library, script, outcome
            ("there", FAKE_CAPI, "", OK),
            ("no host", FAKE_CAPI, "isinstalled 0x1009\n", Outcome(Source.LIBRARY, 0x1009)),
            ("no library", UNLOADABLE, "", Outcome(Source.BRIDGE, 0x1009)),
        ]
        for name, library, script, outcome in cases:
            with self.subTest(name):
                client = self.start(script, library)
                self.assertEqual(client.installed("127.0.0.1", 2662), outcome)
                self.assertEqual(self.calls("capi20_register"), [])
                self.assertEqual(client.appl_id, 0)

    def test_a_second_open_is_refused_while_registered(self):
        client = self.opened()
        with self.assertRaises(RuntimeError):
            client.open("127.0.0.1", 2662, 1)
        self.assertEqual(len(self.calls("capi20_register")), 1)
        self.assertTrue(client.profile(1).status.ok)

    def test_host_names_the_bridge_would_cut_are_refused_before_sending(self):
        client = self.start()
        for host in ("", "1" * 256, "127.0.0.1\0x"):
            with self.subTest(host=host), self.assertRaises(ValueError):
                client.open(host, 2662, 1)
        self.assertEqual(self.calls(), [])
        self.assertTrue(client.usable)

    def test_profile_fields(self):
        raw = bytes.fromhex("0200" "0200" "11000000" "03000000" "03000000" "01000000") \
            + bytes(24) + b"EMUL" + bytes(4) + struct.pack("<I", 0x12345678) + bytes(8)
        client = self.opened(f"profile {raw.hex()}\n")
        result = client.profile(1)
        self.assertEqual(result.status, OK)
        self.assertEqual(result.value, cb.ControllerProfile(
            2, 2, 0x11, 3, 3, 1, (0x4C554D45, 0, 0x12345678, 0, 0), raw))
        self.assertEqual(self.calls("capi20_get_profile"), ["capi20_get_profile 1"])

    def test_profile_errors(self):
        client = self.start("get_profile 0x1108\n")
        self.assertEqual(client.profile(1), cb.ProfileResult(
            Outcome(Source.BRIDGE, 0x1009), cb.ControllerProfile.decode(bytes(64))))
        client.open("127.0.0.1", 2662, 1)
        self.assertEqual(client.profile(1).status, Outcome(Source.LIBRARY, 0x1108))


class PutGetTest(StandInTest):
    def test_put_outcomes(self):
        listen = cm.listen_req(7, 1, 1, 1)
        cases = [
            # name, opened, script, message, payload, outcome
            ("before open", False, "", listen, b"", Outcome(Source.BRIDGE, 0x1101)),
            ("application unknown to the library", True, "put_message 0x1101\n", listen, b"",
             Outcome(Source.LIBRARY, 0x1101)),
            ("length field below 8", True, "", b"\x04\x00" + listen[2:], b"",
             Outcome(Source.BRIDGE, 0x1102, "not a CAPI message")),
            ("length field beyond the request", True, "", b"\xff\x00" + listen[2:], b"",
             Outcome(Source.BRIDGE, 0x1102, "not a CAPI message")),
            ("DATA_B3_REQ without Data64", True, "",
             b"\x16\x00" + cm.data_b3_req(7, 1, 0x10101, 1, 4)[2:22], b"abcd",
             Outcome(Source.BRIDGE, 0x1102, "DATA_B3_REQ must come in its 30-byte form")),
            ("command the library refuses", True, "put_message 0x1102\n", listen, b"",
             Outcome(Source.LIBRARY, 0x1102)),
            ("block above 2048 bytes", True, "", cm.data_b3_req(7, 1, 0x10101, 1, 2049),
             bytes(2049), Outcome(Source.BRIDGE, 0x300C)),
            ("message longer than the library sends", True, "",
             struct.pack("<H", 2174) + listen[2:] + bytes(2174 - len(listen)), b"",
             Outcome(Source.BRIDGE, 0x1102, "above the library's 2173 bytes")),
            ("library queue full", True, "put_message 0x1103\n",
             cm.data_b3_req(7, 1, 0x10101, 1, 4), b"abcd", Outcome(Source.LIBRARY, 0x1103)),
            ("DATA_B3_RESP answering nothing", True, "", cm.data_b3_resp(7, 1, 0x10101, 3), b"",
             Outcome(Source.BRIDGE, 0x2001)),
            ("send failed", True, "put_message 0x1108\n", listen, b"",
             Outcome(Source.LIBRARY, 0x1108)),
            ("library out of memory", True, "put_message 0x1008\n", listen, b"",
             Outcome(Source.LIBRARY, 0x1008)),
        ]
        for name, opened, script, message, payload, outcome in cases:
            with self.subTest(name):
                client = self.opened(script) if opened else self.start(script)
                got = client.put(message, payload)
                self.assertEqual(got, outcome)
                self.assertIn(outcome.why, str(got))

    def test_no_memory_for_the_copy_is_the_bridges_0x1008(self):
        preload = os.environ.get("COUNT_ALLOCATIONS_LIBRARY")
        if not preload:
            self.skipTest("allocation failures are injected with an LD_PRELOAD library, which "
                          "a sanitizer's own allocator does not admit")
        client = self.opened(environment={"LD_PRELOAD": preload, "FAIL_ALLOCATIONS_OF": "1234"})
        self.assertEqual(client.put(cm.data_b3_req(7, 1, 0x10101, 1, 1234), bytes(1234)),
                         Outcome(Source.BRIDGE, 0x1008))
        self.assertEqual(self.calls("capi20_put_message"), [])

    def test_put_sets_the_registered_application(self):
        client = self.opened()
        self.assertEqual(client.put(cm.listen_req(0, 1, 1, 1)), OK)
        self.assertEqual(self.calls("capi20_put_message"),
                         ["capi20_put_message 7 " + cm.listen_req(7, 1, 1, 1).hex()])

    def test_data_handle_in_flight_until_its_conf_is_fetched(self):
        conf = struct.pack("<HHBBHIHH", 16, 7, cm.DATA_B3, cm.CONF, 2, 0x10101, 5, 0)
        client = self.opened(f"message {conf.hex()}\nput_message 0 0x1103\n")
        request = cm.data_b3_req(7, 1, 0x10101, 5, 4)
        self.assertEqual(client.put(request, b"abcd"), OK)
        self.assertEqual(client.put(request, b"efgh"), Outcome(Source.BRIDGE, 0x1103))
        self.assertEqual(client.get().message, conf)
        # The bridge has let the handle go: a refusal now is the library's.
        self.assertEqual(client.put(request, b"ijkl"), Outcome(Source.LIBRARY, 0x1103))
        self.assertEqual([line.split(" data ")[1] for line in self.calls("capi20_put_message")],
                         [b"abcd".hex(), b"ijkl".hex()])

    def test_payload_reaches_the_library_whole(self):
        block = bytes(range(256)) * 8
        client = self.opened()
        self.assertEqual(client.put(cm.data_b3_req(7, 1, 0x10101, 1, len(block)), block), OK)
        self.assertEqual(self.calls("capi20_put_message")[0].split(" data ")[1], block.hex())

    def test_get_hands_out_messages_and_b3_data(self):
        client = self.opened(
            f"message {LISTEN_CONF.hex()}\n"
            f"message {data_b3_ind(0x10101, 5, 2).hex()} data {b'hello'.hex()} via data64\n"
            f"message {data_b3_ind(0x10101, 5, 3).hex()} data {b'lost!'.hex()} via unreadable64\n")
        self.assertEqual(client.get(), cb.MessageResult(OK, LISTEN_CONF, b""))
        with_data = client.get()
        self.assertEqual(cm.read_data_b3(with_data.message), cm.DataB3(0x10101, 5, 2, 0))
        self.assertEqual(with_data.b3_data, b"hello")
        unreadable = client.get()
        self.assertEqual(cm.read_data_b3(unreadable.message).data_length, 5)
        self.assertEqual(unreadable.b3_data, b"")
        self.assertTrue(client.get().empty)

    def test_get_outcomes(self):
        cases = [
            ("before open", False, "", Outcome(Source.BRIDGE, 0x1104)),
            ("nothing waiting", True, "", Outcome(Source.BRIDGE, 0x1104)),
            ("library error", True, f"get_message 0x1101\nmessage {LISTEN_CONF.hex()}\n",
             Outcome(Source.LIBRARY, 0x1101)),
            # Whoever says it: the host has gone, or (the library) more
            # DATA_B3_IND are unanswered than it holds.
            ("no buffer or host gone", True, f"get_message 0x1108\nmessage {LISTEN_CONF.hex()}\n",
             Outcome(Source.BRIDGE, 0x1108)),
            ("length field beyond what the library receives", True,
             f"message ffff{LISTEN_CONF[2:].hex()}\n", Outcome(Source.BRIDGE, 0x1102)),
        ]
        for name, opened, script, outcome in cases:
            with self.subTest(name):
                client = self.opened(script) if opened else self.start(script)
                self.assertEqual(client.get(), cb.MessageResult(outcome))

    def test_a_batch_brings_every_message_that_has_come(self):
        client = self.opened(
            f"message {LISTEN_CONF.hex()}\n"
            f"message {data_b3_ind(0x10101, 5, 2).hex()} data {b'hello'.hex()} via data64\n"
            f"message {LISTEN_CONF.hex()}\n")
        got = client.get_batch(1.0, most=2)
        self.assertEqual(len(got), 2)
        self.assertEqual(got[0], cb.MessageResult(OK, LISTEN_CONF, b""))
        self.assertEqual(got[1].b3_data, b"hello")
        self.assertEqual(client.get_batch(), [cb.MessageResult(OK, LISTEN_CONF, b"")])
        self.assertTrue(client.get_batch()[0].empty)

    def test_waiting_get_waits_until_a_message_comes(self):
        client = self.opened(f"waitformessage 0x1104 0x1104 0x1104 0 0x1104\n"
                             f"message {LISTEN_CONF.hex()}\n")
        self.assertEqual(client.get(10).message, LISTEN_CONF)
        self.assertEqual(len(self.calls("capi20_waitformessage")), 4)
        self.assertTrue(client.get(0.05).empty)

    def test_request_above_the_limit_is_refused_before_sending(self):
        client = self.opened()
        with self.assertRaises(ValueError):
            client.put(cm.listen_req(7, 1, 1, 1), bytes(cb.MAX_REQUEST_BODY))
        self.assertEqual(client.put(cm.listen_req(7, 1, 1, 1)), OK)


# A stand-in for the bridge: reads one request, writes the reply given in
# hex, then sleeps for the given seconds; told "deaf", it reads nothing.
FAKE_BRIDGE = r"""
import struct, sys, time
reply, pause = sys.argv[1], float(sys.argv[2])
if reply != "deaf":
    length = struct.unpack("<I", sys.stdin.buffer.read(4))[0]
    sys.stdin.buffer.read(length)
    sys.stdout.buffer.write(bytes.fromhex(reply))
    sys.stdout.buffer.flush()
time.sleep(pause)
"""


def reply(info, data=b"", length=None):
    return struct.pack("<II", 4 + len(data) if length is None else length, info) + data


class TransportTest(unittest.TestCase):
    def start(self, reply_bytes, pause=30.0):
        text = reply_bytes if isinstance(reply_bytes, str) else reply_bytes.hex()
        client = cb.Client([sys.executable, "-c", FAKE_BRIDGE, text, str(pause)],
                           request_timeout=5, open_timeout=5)
        self.addCleanup(client.kill)
        return client

    def assert_fails(self, client, request, words):
        with self.assertRaises(cb.TransportError) as caught:
            request(client)
        self.assertIn(words, str(caught.exception))
        self.assertFalse(client.usable)
        self.assertIsNotNone(client.exit_status)
        with self.assertRaises(cb.TransportError):
            client.get()

    def test_malformed_replies(self):
        ind = data_b3_ind(0x10101, 3, 1)
        open_ = lambda c: c.open("127.0.0.1", 2662, 1)
        waits = reply(0x1104)
        get = lambda c: c.get()
        cases = [
            ("length below 4", get, reply(0, length=3)),
            ("length with byte 3 set", get, reply(0, length=0x01000004)),
            # Open's replies come after the answer to the probe for the
            # waiting Get.
            ("Open with 4 bytes of data", open_, waits + reply(0, bytes(4))),
            ("Open with stage 3", open_, waits + reply(0x1009, bytes(4) + b"\x03")),
            ("Open registered with an error", open_, waits + reply(0x1008, b"\x05" + bytes(4))),
            ("Open failed with info 0", open_, waits + reply(0, b"\x05" + bytes(3) + b"\x02")),
            ("Open registered as application 0", open_, waits + reply(0, bytes(5))),
            ("Open failed with an application", open_,
             waits + reply(0x1008, b"\x05" + bytes(3) + b"\x02")),
            ("Profile of 63 bytes", lambda c: c.profile(1), reply(0, bytes(63))),
            ("Put with data", lambda c: c.put(cm.listen_req(1, 1, 1, 1)), reply(0, b"x")),
            ("Close with data", lambda c: c.close(), reply(0, b"x")),
            ("Get error with data", get, reply(0x1108, bytes(14))),
            ("Get success without a message", get, reply(0)),
            ("Get message longer than the reply", get, reply(0, b"\x20\x00" + bytes(12))),
            ("Get data after a message without any", get,
             reply(0, cm.connect_active_resp(1, 1, 0x101) + b"xyz")),
            ("Get data other than Data length says", get, reply(0, ind + b"wxyz")),
        ]
        for name, request, reply_bytes in cases:
            with self.subTest(name):
                words = "Open: malformed" if request is open_ else "malformed"
                self.assert_fails(self.start(reply_bytes), request, words)

    def test_silent_bridge_is_killed_at_the_time_out(self):
        client = self.start("")
        client.request_timeout = 0.2
        self.assert_fails(client, lambda c: c.get(), "no reply in time")
        self.assertEqual(client.exit_status, -signal.SIGKILL)

    def test_bridge_that_reads_nothing_is_killed_at_the_time_out(self):
        client = self.start("deaf")
        client.request_timeout = 0.5
        self.assert_fails(client, lambda c: c.put(cm.listen_req(1, 1, 1, 1), bytes(1 << 19)),
                          "no reply in time")

    def test_bridge_that_ends(self):
        cases = [
            ("before reading the request", "deaf"),
            ("in the middle of a reply", reply(0, bytes(64))[:20].hex()),
        ]
        for name, reply_hex in cases:
            with self.subTest(name):
                self.assert_fails(self.start(reply_hex, 0), lambda c: c.profile(1),
                                  "exit status 0")

    def test_bridge_killed_from_outside(self):
        client = self.start("")
        os.kill(client.process_id, signal.SIGKILL)
        self.assert_fails(client, lambda c: c.get(), "signal 9")

    def older_bridge(self):
        """A client of a bridge from before W, R and I, and the file of the
        kind letters it was sent."""
        older = Path(__file__).resolve().parents[3] / "tests/support/older_bridge.py"
        folder = Path(tempfile.mkdtemp(prefix="capi-bridge-older-"))
        self.addCleanup(shutil.rmtree, folder)
        log = folder / "kinds"
        client = cb.Client([sys.executable, str(older), str(log)], request_timeout=5)
        self.addCleanup(client.kill)
        return client, log

    def test_waiting_get_falls_back_to_polling_with_an_older_bridge(self):
        client, log = self.older_bridge()
        self.assertEqual(client.open("127.0.0.1", 2662, 1).status, Outcome(Source.NONE))
        self.assertEqual(client.get(5.0).message[4:6], bytes([cm.LISTEN, cm.CONF]))
        self.assertTrue(client.get(0.02).empty)
        # Asked once: "W" answered as an unknown kind, then only polls.
        kinds = log.read_text()
        self.assertEqual(kinds[:5], "WOGGG")
        self.assertNotIn("W", kinds[2:])

    def test_a_batch_falls_back_to_one_message_with_an_older_bridge(self):
        client, log = self.older_bridge()
        self.assertEqual(client.open("127.0.0.1", 2662, 1).status, Outcome(Source.NONE))
        got = client.get_batch(5.0)
        self.assertEqual(len(got), 1)
        self.assertEqual(got[0].message[4:6], bytes([cm.LISTEN, cm.CONF]))
        self.assertEqual(client.get_batch()[0].status, Outcome(Source.BRIDGE, 0x1104))
        # Asked once: "B" answered as an unknown kind, then Get.
        self.assertEqual(log.read_text(), "WOBGGGG")

    def test_an_older_bridge_registers_its_own_blocks_and_cannot_ask_installed(self):
        client, log = self.older_bridge()
        self.assertIsNone(client.installed("127.0.0.1", 2662))
        self.assertEqual(client.open("127.0.0.1", 2662, 1, 3, 128),
                         OpenResult(OK, 1, OpenStage.REGISTERED, 7, 2048))
        self.assertEqual(log.read_text()[:4], "IRWO")

    def test_bridge_that_cannot_start(self):
        with self.assertRaises(cb.TransportError):
            cb.Client("/nonexistent/capi-bridge")

    def test_stderr_file_that_cannot_be_opened(self):
        with self.assertRaisesRegex(cb.TransportError, "standard error file .*No such file"):
            cb.Client(BRIDGE, stderr_path="/nonexistent/folder/stderr")

    def test_bridge_runs_in_a_process_group_of_its_own(self):
        # A terminal's Ctrl-C reaches only the program that owns the terminal.
        client = self.start("")
        self.assertEqual(os.getpgid(client.process_id), client.process_id)


if __name__ == "__main__":
    unittest.main()
