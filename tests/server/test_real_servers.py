"""The example application served for real by uvicorn (ASGI) and granian (ASGI and RSGI), on
loopback only, with bounded waits."""

from pathlib import Path

import httpx
import pytest
from servers import NAMES, serve

ROOT = Path(__file__).resolve().parents[2]


@pytest.fixture(params=NAMES)
def server(request):
    with serve(request.param, "hello:app", ROOT / "examples") as running:
        yield running.url


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
