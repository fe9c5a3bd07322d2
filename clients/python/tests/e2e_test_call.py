# SPDX-License-Identifier: MIT
"""End-to-end tests of the Python client: the real bridge and Debian's
libcapi20 against capi-host-emulator. Application IDs 400..439 are theirs,
ten for each test that registers, and those of a test that has the
library's table to itself."""

import os
import shutil
import socket
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

import capi_bridge as cb
from capi_bridge import OpenResult, OpenStage, Outcome, Source, calls
from capi_bridge.emulator import LocalEmulator, quiet_home
from example_call import BUILD

EXAMPLE = Path(__file__).resolve().parents[1] / "example_call.py"
BRIDGE = os.environ.get("CAPI_BRIDGE_EXECUTABLE", str(BUILD / "capi-bridge"))
EMULATOR = os.environ.get("CAPI_HOST_EMULATOR", str(BUILD / "emulator/capi-host-emulator"))


class ExampleCallTest(unittest.TestCase):
    def run_example(self, *arguments):
        done = subprocess.run(
            [sys.executable, str(EXAMPLE), "--bridge", BRIDGE,
             "--emulator", EMULATOR, *arguments],
            capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertIn("all came back byte for byte", done.stdout)
        self.assertTrue(done.stdout.endswith("closed\n"), done.stdout)

    def test_call_to_the_echo_number(self):
        self.run_example("--first-appl-id", "400")

    def test_bridge_calls_bridge(self):
        self.run_example("--first-appl-id", "410", "--peer")


class OpenTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="capi-bridge-python-e2e-")
        self.addCleanup(shutil.rmtree, self.folder)

    def client(self):
        client = cb.Client(BRIDGE, {"HOME": quiet_home(self.folder)},
                           os.path.join(self.folder, "stderr"), open_timeout=5)
        self.addCleanup(client.kill)
        return client

    def emulator(self, first_appl_id, *arguments):
        return LocalEmulator(EMULATOR, ["--first-appl-id", str(first_appl_id),
                                        "--exit-after", "60", *arguments],
                             os.path.join(self.folder, "emulator.log"))

    def test_no_host_listening(self):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        self.assertEqual(self.client().open("127.0.0.1", port, 1),
                         OpenResult(Outcome(Source.LIBRARY, 0x1009), 0,
                                    OpenStage.CAPI_NOT_AVAILABLE))

    def test_host_refuses_registration(self):
        with self.emulator(420, "--refuse-register", "0x1001") as host:
            client = self.client()
            result = client.open("127.0.0.1", host.port, 1)
            self.assertEqual((result.stage, result.status.source),
                             (OpenStage.REGISTER_FAILED, Source.LIBRARY))
            self.assertTrue(client.profile(1).status.ok)
            self.assertEqual(client.close(), Outcome(Source.NONE))

    def test_host_that_never_answers_costs_a_time_out_not_a_hang(self):
        with self.emulator(430, "--silent-register") as host:
            client = self.client()
            client.open_timeout = 1
            with self.assertRaises(cb.TransportError):
                client.open("127.0.0.1", host.port, 1)
            self.assertFalse(client.usable)

    @unittest.skipUnless(os.environ.get("CAPI_BRIDGE_SHM") == "private",
                         "needs the library's table of application IDs to itself")
    def test_host_restart_leaves_the_id_it_hands_out_again_to_its_new_owner(self):
        # Q recovers first and gets P's old ID from the restarted host; P's
        # Close must leave that ID to Q in the library's machine-wide table.
        with self.emulator(1) as host:
            p, q = self.client(), self.client()
            self.assertEqual(p.open("127.0.0.1", host.port, 1).appl_id, 1)
            self.assertEqual(q.open("127.0.0.1", host.port, 1).appl_id, 2)
            port = host.port
        with self.emulator(1, f"--port={port}") as host:
            self.assertTrue(p.get(5.0).host_gone)
            self.assertTrue(q.get(5.0).host_gone)
            self.assertTrue(q.close().ok)
            q = self.client()
            self.assertEqual(q.open("127.0.0.1", host.port, 1).appl_id, 1)
            self.assertTrue(p.close().ok)
            calls.listen(q, 1, 0)
            self.assertTrue(q.close().ok)


if __name__ == "__main__":
    unittest.main()
