"""Requests: `Request.incoming` on hostile methods, paths, queries, headers and scopes, every
property and method read and compared with its plain meaning; and whole requests through the
application, in process, over ASGI and RSGI."""

import asyncio
from urllib.parse import parse_qs

from hypothesis import strategies as st

from tests import inprocess
from fuzz import fuzzer, note, outcome
from quenmark import Application
from quenmark.contents import Content
from quenmark.exceptions import BadRequest
from quenmark.messages import Request
from quenmark.responses import json, text
from tests.test_messages_cookies import reference_cookies

NAMES = [b"host", b"cookie", b"content-type", b"content-length", b"transfer-encoding", b"expect",
         b"etag", b"if-none-match", b"x-forwarded-for", b"x-forwarded-proto", b"forwarded",
         b"origin"]
SPECIAL = [b"", b"\r\n", b"\x00", b"\xff\xfe", b"%", b"%zz", b"%ff", b"%C3%A9", b"\xc3\xa9", b"=",
           b";", b"; ", b"&", b"?", b"#", b"//", b"/../", b"@", b":", b"[::1]", b'"', b"\\",
           b"100-Continue",
           b"multipart/form-data; boundary=x", b"text/plain; charset=latin-1", b"application/json"]

chaos = st.lists(st.one_of(st.sampled_from(SPECIAL), st.binary(max_size=6)), max_size=8)
chaos = chaos.map(b"".join)
name = st.one_of(st.sampled_from(NAMES).map(lambda n: n.upper() if len(n) % 3 == 0 else n), chaos)
headers = st.lists(st.tuples(name, chaos), max_size=10)
method = st.one_of(st.sampled_from(["GET", "POST", "get", "", "\u00e9", "M" * 40]),
                   st.text(max_size=6))
scope = st.one_of(st.none(), st.fixed_dictionaries({}, optional={
    "scheme": st.one_of(st.sampled_from(["http", "https"]), st.text(max_size=4), st.integers()),
    "root_path": st.one_of(st.text(max_size=6), st.none()),
    "client": st.one_of(st.none(), st.tuples(st.text(max_size=8), st.integers()),
                        st.text(max_size=3),
                        st.lists(st.integers(), max_size=3)),
}))


def check_decoding(request, what, raw, meaning):
    """`request.<what>` has the plain meaning of its raw bytes."""
    got = outcome(lambda: getattr(request, what))
    assert got == meaning(raw), (what, raw, got)


BODIES = [b"", b"{}", b'{"a": [1, 2]}', b"[" * 5000, b"\xff\xfe", b"caf\xc3\xa9", b"a=1&b=%zz",
          b"null"]
body = st.one_of(st.sampled_from(BODIES), st.binary(max_size=20))
loop = asyncio.new_event_loop()


@fuzzer(method=method, path=chaos, query=chaos, headers=headers, scope=scope, body=body,
        cookie=st.tuples(st.text(max_size=5), st.text(max_size=5)))
def properties(method, path, query, headers, scope, body, cookie):
    request = Request.incoming(method, path, query, list(headers))
    request.scope = scope
    first = {}
    for key, value in headers:
        first.setdefault(key.lower(), value)

    check_decoding(request, "path", path, lambda raw: raw.decode("utf-8", "replace"))
    check_decoding(request, "query", query,
                   lambda raw: parse_qs(raw.decode("utf-8", "replace")) if raw else {})
    check_decoding(request, "cookies", [v for k, v in headers if k.lower() == b"cookie"],
                   reference_cookies)
    host = outcome(lambda: request.host)
    try:
        assert host == first[b"host"].decode("utf-8")
    except (KeyError, UnicodeDecodeError):
        assert isinstance(host, BadRequest), host
    assert request.etag == first.get(b"etag")
    assert request.if_none_match == first.get(b"if-none-match")
    expect = first.get(b"expect")
    continues = expect is not None and expect.lower() == b"100-continue"
    assert request.expect_100_continue() is continues
    assert request.content_type() == first.get(b"content-type")
    for what in ["url", "scheme", "base_path", "client_ip", "original_client_ip", "charset", "user",
                 "identity", "session", "headers", "body_buffer", "has_body", "declares_json",
                 "declares_xml", "scratchpad_arena_stats", "__repr__"]:
        result = outcome(lambda: getattr(request, what))
        if callable(result) and not isinstance(result, Exception):
            result = outcome(result)
        if isinstance(result, Exception):
            note(what, result)
    outcome(lambda: request.declares_content_type(first.get(b"content-type", b"x")))
    request.content = Content(None, body)
    for reading in ("read", "text", "json"):
        result = outcome(lambda: loop.run_until_complete(getattr(request, reading)()))
        if isinstance(result, Exception):
            note(reading, result)
    outcome(lambda: request.get_cookie(cookie[0]))
    outcome(lambda: request.set_cookie(*cookie))
    outcome(lambda: setattr(request, "query", {cookie[0]: [cookie[1], cookie[0]]}))
    outcome(lambda: setattr(request, "url", path))
    outcome(lambda: (request.url, request.path, request.query, request.host))
    request.reset()
    assert (request.method, request._path, request.scope) == ("", b"", None)
    assert request.headers.values == []


app = Application()


@app.router.get("/items/{item_id:int}")
async def item(request):
    return json({"id": request.route_values["item_id"], "q": request.query})


@app.router.route("/echo/{name}", methods=["GET", "POST"])
async def echo(request):
    body = await request.read() or b""
    return text(f"{request.route_values['name']} {request.host} {request.cookies} {len(body)}")


paths = st.tuples(st.sampled_from([b"/items/", b"/echo/", b"/", b"/x/"]),
                  st.one_of(st.integers(0, 10**30).map(lambda n: str(n).encode()), chaos))
paths = paths.map(b"".join)


@fuzzer(method=st.sampled_from(["GET", "POST", "HEAD", "get"]), path=paths, query=chaos,
        headers=headers, body=st.binary(max_size=40))
def application(method, path, query, headers, body):
    """Whole requests through the server layer: every one gets a response, and none of them a
    server error (the handlers here have no fault of their own). The statuses are noted."""
    framing = (b"content-length", b"transfer-encoding")
    headers = [(k, v) for k, v in headers if k.lower() not in framing]
    headers.append((b"content-length", str(len(body)).encode()))
    for name, drive in (("asgi", inprocess.asgi), ("rsgi", inprocess.rsgi)):
        status, _, content = loop.run_until_complete(drive(app, method, path, query, headers, body))
        note(f"{name} status", str(status))
        assert status < 500, (name, status, content)
