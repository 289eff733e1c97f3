"""Servers, apps and endpoints of the end-to-end benchmark, and the means to run one cell.

A cell is one app under one server loaded on one endpoint by wrk. `run.py` measures every cell
round after round; `cell.py` measures one, for whoever is making it faster.
"""

from __future__ import annotations

import contextlib
import http.client
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

HERE = Path(__file__).resolve().parent
APPS_DIR = HERE / "apps"
HOST = "127.0.0.1"

sys.path.insert(0, str(APPS_DIR))
from bench_payloads import BODY_64K, ECHO_BODY, MESSAGE  # noqa: E402


@dataclass(frozen=True)
class Endpoint:
    name: str
    method: str
    path: str
    expected: object  # the reply: text as str, JSON as its parsed value
    body: bytes = b""

    @property
    def is_json(self) -> bool:
        return not isinstance(self.expected, str)


ENDPOINTS = {
    e.name: e
    for e in (
        Endpoint("text", "GET", "/text", MESSAGE),
        Endpoint("json", "GET", "/json", {"message": MESSAGE}),
        Endpoint("param", "GET", "/items/12345", {"id": 12345}),
        Endpoint("echo-1k", "POST", "/echo", json.loads(ECHO_BODY), ECHO_BODY),
        Endpoint("body-64k", "GET", "/64k", BODY_64K),
    )
}


@dataclass(frozen=True)
class App:
    name: str
    asgi: str | None  # module in apps/ whose `app` speaks ASGI, None when there is none
    rsgi: str | None

    def module(self, interface: str) -> str | None:
        return self.asgi if interface == "asgi" else self.rsgi


# "raw" is the ceiling of each server: the raw ASGI app under the ASGI servers, the raw RSGI app
# under granian's RSGI. Every ratio is to the raw app under the same server.
APPS = {
    a.name: a
    for a in (
        App("raw", "app_raw_asgi", "app_raw_rsgi"),
        App("quenmark", "app_quenmark", "app_quenmark"),
        App("starlette", "app_starlette", None),
        App("litestar", "app_litestar", None),
        App("falcon", "app_falcon", None),
    )
}
RAW = "raw"


@dataclass(frozen=True)
class Server:
    name: str
    title: str
    interface: str  # "asgi" or "rsgi"

    def command(self, module: str, port: int) -> list[str]:
        if self.name == "uvicorn":
            return [sys.executable, "-m", "uvicorn", f"{module}:app", "--app-dir", str(APPS_DIR),
                    "--host", HOST, "--port", str(port), "--loop", "uvloop", "--http", "httptools",
                    "--lifespan", "on", "--no-access-log", "--log-level", "warning"]
        return [sys.executable, "-m", "granian", f"{module}:app", "--interface", self.interface,
                "--working-dir", str(APPS_DIR), "--host", HOST, "--port", str(port),
                "--workers", "1", "--runtime-threads", "1", "--loop", "uvloop",
                "--no-access-log", "--log-level", "warning"]


SERVERS = {
    s.name: s
    for s in (
        Server("uvicorn", "uvicorn (httptools, uvloop), ASGI", "asgi"),
        Server("granian-asgi", "granian ASGI (uvloop)", "asgi"),
        Server("granian-rsgi", "granian RSGI (uvloop)", "rsgi"),
    )
}


def skip_reason(app: App, server: Server) -> str | None:
    if app.module(server.interface) is None:
        return f"{app.name} has no {server.interface.upper()} interface"
    return None


class BenchmarkError(RuntimeError):
    pass


# ---------------------------------------------------------------------------------------------
# Servers


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind((HOST, 0))
        return sock.getsockname()[1]


def request(port: int, endpoint: Endpoint, timeout: float = 5.0) -> tuple[int, str, bytes]:
    connection = http.client.HTTPConnection(HOST, port, timeout=timeout)
    try:
        headers = {"content-type": "application/json"} if endpoint.body else {}
        connection.request(endpoint.method, endpoint.path, body=endpoint.body or None, headers=headers)
        response = connection.getresponse()
        return response.status, response.getheader("content-type", ""), response.read()
    finally:
        connection.close()


@dataclass
class Running:
    server: Server
    app: App
    port: int
    process: subprocess.Popen
    log: Path

    def pids(self) -> list[int]:
        """The server's process and its workers: the processes that serve the requests."""
        pids = [self.process.pid]
        for pid in pids:  # grows while it is walked: children, then theirs
            children = Path(f"/proc/{pid}/task/{pid}/children")
            with contextlib.suppress(OSError):
                pids.extend(int(p) for p in children.read_text().split())
        return pids

    def url(self, endpoint: Endpoint) -> str:
        return f"http://{HOST}:{self.port}{endpoint.path}"

    def log_tail(self, lines: int = 30) -> str:
        with contextlib.suppress(OSError):
            return "\n".join(self.log.read_text(errors="replace").splitlines()[-lines:])
        return ""


def verify(running: Running, endpoint: Endpoint) -> None:
    """Fails unless the app answers the endpoint as every app must: same status, kind, content."""
    status, content_type, body = request(running.port, endpoint)
    where = f"{running.app.name} under {running.server.name}, {endpoint.method} {endpoint.path}"
    if status != 200:
        raise BenchmarkError(f"{where}: status {status}: {body[:200]!r}")
    kind = "application/json" if endpoint.is_json else "text/plain"
    if not content_type.startswith(kind):
        raise BenchmarkError(f"{where}: content-type {content_type!r}, expected {kind}")
    value = json.loads(body) if endpoint.is_json else body.decode()
    if value != endpoint.expected:
        raise BenchmarkError(f"{where}: unexpected reply {body[:200]!r}")


@contextlib.contextmanager
def running(server: Server, app: App, env: dict[str, str] | None = None,
            startup_timeout: float = 60.0) -> Iterator[Running]:
    """Runs `app` under `server` on a free loopback port until the block ends."""
    module = app.module(server.interface)
    if module is None:
        raise BenchmarkError(skip_reason(app, server))
    port = free_port()
    log = Path(tempfile.mkstemp(prefix=f"qm-e2e-{server.name}-{app.name}-", suffix=".log")[1])
    with log.open("wb") as out:
        # A session of its own, so that stopping the server stops its workers too.
        process = subprocess.Popen(server.command(module, port), cwd=APPS_DIR, stdout=out,
                                   stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                   env={**os.environ, **(env or {})}, start_new_session=True)
    run = Running(server, app, port, process, log)
    try:
        _wait_ready(run, startup_timeout)
        yield run
    finally:
        _stop(process)
        log.unlink(missing_ok=True)


def _wait_ready(run: Running, timeout: float) -> None:
    deadline = time.monotonic() + timeout
    probe = ENDPOINTS["text"]
    while True:
        if run.process.poll() is not None:
            raise BenchmarkError(f"{run.server.name} with {run.app.name} exited "
                                 f"({run.process.returncode}):\n{run.log_tail()}")
        try:
            request(run.port, probe, timeout=1.0)
            return
        except OSError:
            if time.monotonic() > deadline:
                raise BenchmarkError(f"{run.server.name} with {run.app.name} did not answer within "
                                     f"{timeout:.0f} s:\n{run.log_tail()}") from None
            time.sleep(0.1)


def _stop(process: subprocess.Popen) -> None:
    if process.poll() is None:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(process.pid, signal.SIGINT)
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(process.pid, signal.SIGKILL)
            process.wait()
    # Workers that outlived their parent are still in its process group.
    with contextlib.suppress(ProcessLookupError):
        os.killpg(process.pid, signal.SIGKILL)


# ---------------------------------------------------------------------------------------------
# Load


@dataclass(frozen=True)
class Load:
    duration: int = 5  # seconds; wrk takes whole seconds
    connections: int = 64
    threads: int = 1


@dataclass(frozen=True)
class Sample:
    requests: int
    seconds: float
    p50_us: float
    p99_us: float
    cpu_us: float  # CPU time the server's processes spent per request

    @property
    def rate(self) -> float:
        return self.requests / self.seconds


# wrk calls done() once at the end; it prints the figures as one JSON line for this module.
_REPORT_LUA = """
done = function(summary, latency, requests)
  local e = summary.errors
  io.write(string.format(
    'QM_E2E {"requests": %d, "microseconds": %d, "p50": %d, "p99": %d, "socket_errors": %d, "status_errors": %d}\\n',
    summary.requests, summary.duration, latency:percentile(50), latency:percentile(99),
    e.connect + e.read + e.write + e.timeout, e.status))
end
"""


def wrk_script(endpoint: Endpoint) -> str:
    lines = [f'wrk.method = "{endpoint.method}"']
    if endpoint.body:
        assert b"]==]" not in endpoint.body
        lines.append(f"wrk.body = [==[{endpoint.body.decode()}]==]")
        lines.append('wrk.headers["Content-Type"] = "application/json"')
    return "\n".join(lines) + "\n" + _REPORT_LUA


def wrk_path() -> str:
    path = shutil.which("wrk")
    if path is None:
        raise BenchmarkError("wrk is not installed: `make bench-e2e` installs it (apt-get install wrk)")
    return path


def cpu_ns(pids: list[int]) -> int:
    """The CPU time the processes' threads have run, in nanoseconds (schedstat: on-CPU time).

    Unlike the request rate, it hardly depends on what else the machine runs meanwhile."""
    total = 0
    for pid in pids:
        for task in Path(f"/proc/{pid}/task").glob("*/schedstat"):
            with contextlib.suppress(OSError, ValueError, IndexError):
                total += int(task.read_text().split()[0])
    return total


def load(run: Running, endpoint: Endpoint, settings: Load) -> Sample:
    """Loads the endpoint for `settings.duration` seconds; fails on any error or non-2xx reply."""
    pids = run.pids()
    cpu_before = cpu_ns(pids)
    with tempfile.NamedTemporaryFile("w", prefix="qm-e2e-", suffix=".lua") as script:
        script.write(wrk_script(endpoint))
        script.flush()
        duration = settings.duration
        command = [wrk_path(), f"-t{settings.threads}", f"-c{settings.connections}",
                   f"-d{duration}s", "--timeout", "5s", "-s", script.name, run.url(endpoint)]
        result = subprocess.run(command, capture_output=True, text=True,
                                timeout=duration + 30, stdin=subprocess.DEVNULL)
    cpu = cpu_ns(pids) - cpu_before
    found = re.search(r"^QM_E2E (\{.*\})$", result.stdout, re.MULTILINE)
    where = f"wrk on {run.app.name} under {run.server.name}, {endpoint.name}"
    if result.returncode != 0 or found is None:
        raise BenchmarkError(f"{where} failed ({result.returncode}):\n{result.stdout}{result.stderr}")
    figures = json.loads(found.group(1))
    if figures["socket_errors"] or figures["status_errors"]:
        raise BenchmarkError(f"{where}: {figures['socket_errors']} socket errors, "
                             f"{figures['status_errors']} non-2xx replies\n{run.log_tail()}")
    if figures["requests"] == 0:
        raise BenchmarkError(f"{where}: no request completed\n{run.log_tail()}")
    return Sample(figures["requests"], figures["microseconds"] / 1e6, figures["p50"], figures["p99"],
                  cpu / 1e3 / figures["requests"])


def overhead_us(rate: float, raw_rate: float) -> float:
    """What one request costs above the raw app's, in microseconds: 1/rate − 1/raw rate."""
    return (1.0 / rate - 1.0 / raw_rate) * 1e6


def machine_load() -> str:
    """The load averages over 1, 5 and 15 minutes, as `uptime` shows them."""
    return "{:.2f} {:.2f} {:.2f}".format(*os.getloadavg())
