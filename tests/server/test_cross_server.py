"""One application under uvicorn, granian ASGI and granian RSGI: the same requests get the
same answers (granian's RSGI interface hands over a decoded path only: see the README)."""

from pathlib import Path

import httpx
import pytest

from servers import NAMES, serve

APPS = Path(__file__).resolve().parent / "apps"


@pytest.fixture(scope="module", params=NAMES)
def served(request):
    with serve(request.param, "consistency:app", APPS) as server:
        yield server


@pytest.mark.parametrize(
    "path, value",
    [
        ("/echo/plain", "plain"),
        ("/echo/a%20b", "a b"),
        ("/echo/caf%C3%A9", "caf\u00e9"),
        ("/echo/%2541", "%41"),  # decoded once
        ("/echo/a+b", "a+b"),
    ],
)
def test_paths_and_route_values(served, path, value):
    r = httpx.get(served.url + path, timeout=10)
    assert r.json() == {"path": path, "values": {"value": value}, "value": value}


def test_an_escaped_slash(served):
    r = httpx.get(served.url + "/echo/a%2Fb", timeout=10)
    if served.name == "granian-rsgi":
        # The path arrives decoded: the escaped slash is a slash.
        assert (r.status_code, r.text) == (404, "nothing at /echo/a/b")
    else:
        assert r.json() == {"path": "/echo/a%2Fb", "values": {"value": "a/b"}, "value": "a/b"}
    files = httpx.get(served.url + "/files/a%2Fb/c", timeout=10).json()
    assert files["values"] == {"rest": "a/b/c"}


def test_method_semantics(served):
    with httpx.Client(base_url=served.url, timeout=10) as c:
        head, get = c.head("/echo/x"), c.get("/echo/x")
        assert (head.status_code, head.content) == (200, b"")
        assert head.headers["content-length"] == get.headers["content-length"] == str(len(get.content))
        wrong = c.put("/echo/x")
        assert (wrong.status_code, wrong.headers["allow"]) == (405, "GET, HEAD")
        missing = c.get("/missing/%C3%A9")
        assert (missing.status_code, missing.text) == (404, "nothing at /missing/%C3%A9")


def test_cookies_round_trip(served):
    with httpx.Client(base_url=served.url, timeout=10) as c:
        for value in ["50%25", "a; b=c", "caf\u00e9 \u2603", '"quoted"']:
            assert c.post("/cookie/c", content=value.encode()).status_code == 200
            assert c.get("/cookies").json() == {"c": value}


def test_an_event_stream_from_a_generator_object(served):
    r = httpx.get(served.url + "/events", timeout=10)
    assert r.headers["content-type"] == "text/event-stream"
    assert r.text == "".join(f'data: {{"n":{n}}}\n\n' for n in range(3))


def test_a_handler_that_returns_no_response_is_a_500_logged_with_its_route(served):
    assert httpx.get(served.url + "/odd", timeout=10).status_code == 500
    log = served.output()
    assert 'Unhandled exception - "GET /odd"' in log
    assert "The handler consistency.odd of the route GET /odd must return a Response or None." in log
