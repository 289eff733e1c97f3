"""The example application served for real by uvicorn (ASGI) and granian (ASGI and RSGI), on
loopback only, with bounded waits."""

import os
import socket
import subprocess
import sys
import time
from pathlib import Path

import httpx
import pytest

ROOT = Path(__file__).resolve().parents[2]
BIN = Path(sys.executable).parent


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


SERVERS = {
    "uvicorn": lambda port: [str(BIN / "uvicorn"), "--app-dir", "examples", "--host", "127.0.0.1",
                             "--port", str(port), "--log-level", "warning", "hello:app"],
    "granian-rsgi": lambda port: [str(BIN / "granian"), "--interface", "rsgi", "--host", "127.0.0.1",
                                  "--port", str(port), "--no-log", "hello:app"],
    "granian-asgi": lambda port: [str(BIN / "granian"), "--interface", "asgi", "--host", "127.0.0.1",
                                  "--port", str(port), "--no-log", "hello:app"],
}


@pytest.fixture(params=sorted(SERVERS))
def server(request):
    port = free_port()
    env = dict(os.environ, PYTHONPATH=str(ROOT / "examples"))
    process = subprocess.Popen(SERVERS[request.param](port), cwd=ROOT, env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    base = f"http://127.0.0.1:{port}"
    try:
        deadline = time.monotonic() + 30
        while True:
            if process.poll() is not None:
                pytest.fail(f"{request.param} exited: {process.stdout.read().decode(errors='replace')}")
            try:
                httpx.get(base + "/", timeout=1)
                break
            except httpx.TransportError:
                if time.monotonic() > deadline:
                    pytest.fail(f"{request.param} did not start within 30 s")
                time.sleep(0.1)
        yield base
    finally:
        process.terminate()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        process.stdout.close()


def test_example_application(server):
    with httpx.Client(base_url=server, timeout=10) as c:
        home = c.get("/")
        assert (home.status_code, home.text) == (200, "Hello from quenmark!")
        assert home.headers["content-type"] == "text/plain; charset=utf-8"
        assert c.get("/items/1").json() == {"id": 1, "name": "lamp"}
        assert c.get("/items/99").status_code == 404
        assert c.get("/hello/ann", params={"greeting": "Hi"}).text == "Hi, ann!"
        created = c.post("/items", json={"name": "desk"})
        assert created.status_code == 201
        assert created.json()["name"] == "desk"
        assert c.post("/items", content=b"{not json", headers={"content-type": "application/json"}).status_code == 400
