"""The real servers the tests run an application under: uvicorn (ASGI), granian ASGI and granian
RSGI, on loopback only, with bounded waits.

    with serve("granian-rsgi", "module:app", app_dir) as server:
        httpx.get(server.url + "/")
"""

import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
from contextlib import contextmanager
from pathlib import Path

import httpx
import pytest

BIN = Path(sys.executable).parent
NAMES = ("granian-asgi", "granian-rsgi", "uvicorn")


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def command(name: str, target: str, port: int, app_dir: Path, options: tuple[str, ...] = ()) -> list[str]:
    if name == "uvicorn":
        return [str(BIN / "uvicorn"), "--app-dir", str(app_dir), "--host", "127.0.0.1",
                "--port", str(port), "--log-level", "warning", *options, target]
    interface = name.removeprefix("granian-")
    return [str(BIN / "granian"), "--interface", interface, "--host", "127.0.0.1", "--port", str(port),
            "--log-level", "warning", "--no-access-log", *options, target]


class Server:
    def __init__(self, name: str, port: int, process: subprocess.Popen, log) -> None:
        self.name = name
        self.port = port
        self.process = process
        self._log = log

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.port}"

    def output(self) -> str:
        """What the server has written to its stdout and stderr so far."""
        self._log.seek(0)
        return self._log.read().decode(errors="replace")

    def stop(self, timeout: float = 10) -> float:
        """Asks the server to shut down (SIGTERM) and returns the seconds it took to exit; kills
        it after `timeout` seconds."""
        started = time.monotonic()
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        return time.monotonic() - started


@contextmanager
def serve(name: str, target: str, app_dir: Path, ready: str = "/", env: dict | None = None,
          options: tuple[str, ...] = ()):
    """Runs `target` ("module:app", found in `app_dir`) under server `name` until the context
    ends; waits (30 s at most) until GET `ready` answers."""
    port = free_port()
    # The tests' own folder too: application modules that are test modules import from it.
    path = os.pathsep.join([str(app_dir), str(Path(__file__).resolve().parent)])
    environment = dict(os.environ, PYTHONPATH=path, **(env or {}))
    with tempfile.TemporaryFile() as log:
        process = subprocess.Popen(command(name, target, port, app_dir, options), cwd=app_dir,
                                   env=environment, stdout=log, stderr=subprocess.STDOUT)
        server = Server(name, port, process, log)
        try:
            deadline = time.monotonic() + 30
            while True:
                if process.poll() is not None:
                    pytest.fail(f"{name} exited: {server.output()}")
                try:
                    httpx.get(server.url + ready, timeout=1)
                    break
                except httpx.TransportError:
                    if time.monotonic() > deadline:
                        pytest.fail(f"{name} did not start within 30 s")
                    time.sleep(0.1)
            yield server
        finally:
            server.stop()
