# SPDX-License-Identifier: MIT
"""capi-host-emulator as a child process, an emulated CAPI host on 127.0.0.1
for demonstrations and tests, and a HOME that keeps libcapi20 quiet.
"""

from __future__ import annotations

import os
import re
import select
import subprocess
import time
from pathlib import Path
from typing import IO, Any, Sequence, Union


def quiet_home(folder: Union[str, os.PathLike[str]]) -> str:
    """Makes `folder` a HOME whose libcapi20 configuration only silences the
    library's debug lines, so that Open's host and port are the ones used;
    returns it, for the environment's HOME."""
    Path(folder, ".capi20rc").write_text("TRACELEVEL 0\n")
    return str(folder)


class LocalEmulator:
    """capi-host-emulator on a free port of 127.0.0.1, its log (standard
    error) appended to a file. A context manager: stopped at the end."""

    def __init__(self, program: Union[str, os.PathLike[str]], arguments: Sequence[str] = (),
                 log_path: Union[str, os.PathLike[str], None] = None) -> None:
        """Starts `program` with --port 0 and `arguments` and waits up to 5 s
        for its "listening 127.0.0.1:PORT" line; RuntimeError if it does not
        come. Pass --exit-after so that it stops by itself should this
        process die first."""
        self.log_path = log_path
        log: Any = open(log_path, "ab") if log_path else subprocess.DEVNULL
        try:
            self._process = subprocess.Popen([os.fspath(program), "--port=0", *arguments],
                                             stdout=subprocess.PIPE, stderr=log)
        finally:
            if log_path:
                log.close()
        assert self._process.stdout is not None
        self._stdout: IO[bytes] = self._process.stdout
        line = self._read_line(time.monotonic() + 5)
        found = re.fullmatch(r"listening 127\.0\.0\.1:(\d+)", line)
        if not found:
            self.stop()
            raise RuntimeError(f"capi-host-emulator did not report its port (got {line!r})")
        self.port = int(found.group(1))

    def __enter__(self) -> LocalEmulator:
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def stop(self) -> int:
        """Asks the emulator to stop, waits up to 5 s (then kills it); its exit status."""
        self._process.terminate()
        try:
            self._process.wait(5)
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.wait()
        self._stdout.close()
        return self._process.returncode

    def _read_line(self, deadline: float) -> str:
        """Its first line of output, or what came of it by the deadline."""
        poller = select.poll()
        poller.register(self._stdout, select.POLLIN)
        line = b""
        while not line.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not poller.poll(left * 1000):
                break
            byte = os.read(self._stdout.fileno(), 1)
            if not byte:
                break
            line += byte
        return line.decode(errors="replace").strip()
