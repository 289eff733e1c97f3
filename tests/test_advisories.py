"""Regression tests for the classes of advisory that comparable frameworks have had, one compact
group per class. Each case is an input an attacker chooses; the assertion is that it is refused,
bounded or delivered unchanged.

Work that must stay linear runs under `bounded()`: the inputs take well under a second in linear
time and hours in quadratic time, so the watchdog only turns a hang into a failure.
"""

import re
import signal
from contextlib import contextmanager

import httpx
import pytest

from quenmark import Application
from quenmark.contents import ServerSentEvent, TextServerSentEvent
from quenmark.cookies import Cookie, parse_cookie
from quenmark.exceptions import BadRequest, ContentTooLarge
from quenmark.messages import Request, Response, parse_charset
from quenmark.multipart import (
    MAX_EPILOGUE_SIZE,
    MAX_HEADER_SIZE,
    MAX_PARTS,
    MAX_PREAMBLE_SIZE,
    get_boundary_from_header,
    parse_multipart_async,
)
from quenmark.responses import redirect, sse, text, write_event
from quenmark.settings.json import json_settings

import inprocess

MB = 1 << 20


@contextmanager
def bounded(seconds=20):
    def expired(signum, frame):
        raise TimeoutError(f"still running after {seconds} s: the work is not linear")

    previous = signal.signal(signal.SIGALRM, expired)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


# An application whose handlers echo what they receive; uvicorn serves it as test_advisories:app.
app = Application()


@app.router.get("/files/{rest:path}")
async def files(request):
    return text(request.route_values["rest"])


@app.router.get("/hello/{name}")
async def hello(request):
    return text(request.route_values["name"])


@app.router.get("/cookie/{part}")
async def hostile_cookie(request):
    response = text("x")
    response.set_cookie(Cookie("a", "b", **{request.route_values["part"]: "v\r\nx-injected: 1"}))
    return response


@app.router.post("/form")
async def form(request):
    fields = await request.form()
    return text(str(len(fields)))


@app.router.get("/events")
async def events(request):
    async def provider():
        yield TextServerSentEvent("one\r\nid: 6", event="e\nretry: 1", id="7\rdata: x")
        yield ServerSentEvent({"a": "b\nc"}, comment="c\r\ndata: y")

    return sse(provider)


def asgi_client():
    return httpx.AsyncClient(transport=httpx.ASGITransport(app=app), base_url="http://test")


# --- multipart: line-break and boundary floods -------------------------------------------------

BOUNDARY = b"B" * 40


def multipart_body(data, boundary=BOUNDARY):
    return (b"--" + boundary + b'\r\nContent-Disposition: form-data; name="f"\r\n\r\n'
            + data + b"\r\n--" + boundary + b"--\r\n")


async def chunked(body, size):
    for start in range(0, len(body), size):
        yield body[start : start + size]


async def parse(stream, boundary=BOUNDARY):
    parts = parse_multipart_async(stream, boundary)
    return [(part.name, await part.read()) async for part in parts]


@pytest.mark.parametrize("size", [65536, 997, 8])
@pytest.mark.parametrize(
    "data",
    [b"\r" * MB, b"\n" * MB, b"\r\n" * (MB // 2), b"\r\n-" * (MB // 3), b"\r\n--" * (MB // 4),
     (b"\r\n--" + BOUNDARY[:-1]) * (MB // 45), b"\r\n--" + BOUNDARY[:-1] + b"\r"],
    ids=["cr", "lf", "crlf", "crlf-dash", "crlf-dashes", "delimiter-prefixes", "almost-delimiter"],
)
async def test_multipart_line_break_floods_are_linear_and_kept(data, size):
    if size < 64:
        data = data[: MB // 4]
    with bounded():
        assert await parse(chunked(multipart_body(data), size)) == [("f", data)]


def endless(prefix, unit):
    consumed = [0]

    async def stream():
        chunk = prefix
        while True:
            consumed[0] += len(chunk)
            yield chunk
            chunk = unit

    return stream(), consumed


PART = b'\r\n--' + BOUNDARY + b'\r\nContent-Disposition: form-data; name="f"\r\n\r\n'


@pytest.mark.parametrize(
    "prefix, unit, limit",
    [
        (b"", b"\r\n" * 512, MAX_PREAMBLE_SIZE),
        (b"", b"-" * 1024, MAX_PREAMBLE_SIZE),
        (b"--" + BOUNDARY, b" \t" * 512, 1024),
        (b"--" + BOUNDARY + b"\r\n", b"x-h: " + b"v" * 1000 + b"\r\n", MAX_HEADER_SIZE),
        (b"--" + BOUNDARY + b"--", b"\r\n" * 512, MAX_EPILOGUE_SIZE),
        (PART[2:] + b"x", PART + b"x", MAX_PARTS * len(PART + b"x")),
    ],
    ids=["preamble-crlf", "preamble-dashes", "padding", "header-block", "epilogue", "parts"],
)
async def test_multipart_floods_are_refused_after_a_bounded_read(prefix, unit, limit):
    stream, consumed = endless(prefix, unit)
    with bounded(), pytest.raises((BadRequest, ContentTooLarge)):
        await parse(stream)
    assert consumed[0] <= limit + 2 * len(unit) + len(prefix)


# --- Content-Type parameter floods -------------------------------------------------------------

FLOODS = [b"; a=b" * 200_000, b";" * MB, b" " * MB, b"\t;=" * 300_000, b'; a="' + b'\\"' * 400_000]


@pytest.mark.parametrize("flood", FLOODS)
def test_content_type_parameter_floods_are_linear(flood):
    with bounded():
        boundary = get_boundary_from_header(b"multipart/form-data" + flood + b"; boundary=xyz")
        assert boundary == b"xyz"
        assert parse_charset(b"text/plain" + flood + b"; charset=latin-1") in ("latin-1", None)
        request = Request.incoming("POST", b"/", b"", [(b"content-type", b"text/plain" + flood)])
        assert request.charset and not request.declares_json() and not request.declares_xml()


@pytest.mark.parametrize("flood",
                         [b"; a=b" * 5000, b";" * 100_000, b'; a="' + b"\\" * 100_000 + b'"'])
async def test_part_header_parameter_floods_are_refused(flood):
    body = (b"--" + BOUNDARY + b"\r\nContent-Disposition: form-data" + flood
            + b'; name="f"\r\n\r\nx\r\n--' + BOUNDARY + b"--")
    with bounded(), pytest.raises(BadRequest):
        await parse(chunked(body, 4096), BOUNDARY)


# --- part and field floods ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "body",
    [
        b"".join(PART + b"x" for _ in range(MAX_PARTS + 1))[2:] + b"\r\n--" + BOUNDARY + b"--",
        b"--" + BOUNDARY + b"\r\n" + b"x-h: v\r\n" * 100 + PART[len(BOUNDARY) + 6 :] + b"x\r\n--"
        + BOUNDARY + b"--",
    ],
    ids=["parts", "header-fields"],
)
async def test_multipart_part_and_header_floods_are_refused(body):
    with pytest.raises((BadRequest, ContentTooLarge), match="too many|more than"):
        await parse(chunked(body, 65536))


@pytest.mark.parametrize(
    "content_type, body",
    [
        (b"application/x-www-form-urlencoded", b"a=&" * 200_000),
        (b"multipart/form-data; boundary=" + BOUNDARY,
         b"".join(PART + b"x" for _ in range(5000))[2:] + b"\r\n--" + BOUNDARY + b"--"),
    ],
    ids=["urlencoded", "multipart"],
)
async def test_form_field_floods_are_refused_by_the_server_layer(content_type, body):
    async with asgi_client() as client:
        response = await client.post("/form", content=body,
                                     headers={"content-type": content_type.decode()})
    assert response.status_code == 413


# --- response splitting through headers and cookies --------------------------------------------


@pytest.mark.parametrize("field", ["name", "value", "domain", "path"])
@pytest.mark.parametrize("hostile", ["a\r\nx-injected: 1", "a\nx", "a\rx", "a\x00x", "a;x"])
def test_cookies_that_would_split_a_response_are_refused(field, hostile):
    values = {"name": "n", "value": "v"} | {field: hostile}
    response = Response(200)
    if field in ("name", "value"):
        # Names and values are percent-encoded: the text travels, inert, and reads back.
        response.set_cookie(Cookie(**values))
        assert response.cookies[values["name"]].value == values["value"]
    else:
        with pytest.raises(ValueError):
            response.set_cookie(Cookie(**values))
        with pytest.raises(ValueError):
            response.set_cookies([Cookie("ok", "1"), Cookie(**values)])
    assert not any(b"\n" in v or b"\r" in v or b"\x00" in v for _, v in response.headers.values)
    assert all(v.count(b";") == v.count(b"; ") for n, v in response.headers.values if n == b"set-cookie")


@pytest.mark.parametrize("method", ["add_header", "set_header"])
@pytest.mark.parametrize("name, value", [(b"x", b"a\r\nx-injected: 1"), (b"x\n", b"v"),
                                         (b"x", b"a\rb"), (b"x", b"a\x00b")])
def test_headers_that_would_split_a_response_are_refused_where_set(method, name, value):
    response = Response(200, [(b"x", b"kept")])
    with pytest.raises(ValueError, match="CR, LF or NUL"):
        getattr(response, method)(name, value)
    assert response.headers.values == [(b"x", b"kept")]


@pytest.mark.parametrize("part", ["value", "domain", "path"])
async def test_a_handler_cannot_split_its_response_with_a_cookie(part):
    async with asgi_client() as client:
        response = await client.get(f"/cookie/{part}")
    assert response.status_code == 500
    assert "x-injected" not in response.headers and "set-cookie" not in response.headers


def test_redirect_location_cannot_split_the_response():
    for location in [b"/a\r\nx: y", b"/a\nx", b"/a\x00"]:
        with pytest.raises(ValueError):
            redirect(location)
    assert redirect("/a\u00e9\r\nx: y").headers.values == [(b"location", b"/a%C3%A9%0D%0Ax:%20y")]


# --- event-stream field injection --------------------------------------------------------------


def event_blocks(stream):
    """The fields of each event as an event-stream reader sees them (CR LF, LF and CR end lines)."""
    lines = re.split(r"\r\n|\r|\n", stream.decode("utf-8"))
    assert lines[-1] == ""
    blocks, block = [], []
    for line in lines[:-1]:
        if not line:
            if block:
                blocks.append(block)
            block = []
            continue
        name, _, value = line.partition(":")
        block.append((name, value[1:] if value[:1] == " " else value))
    assert not block
    return blocks


HOSTILE = ["x\r\nretry: 1", "x\rid: 2", "x\nevent: y", "\r\n\r\ndata: z", "x\n\n", "\r", "a\r\r\nb"]


@pytest.mark.parametrize("hostile", HOSTILE)
def test_event_fields_cannot_inject_fields_or_events(hostile):
    event = TextServerSentEvent(hostile, event=hostile, id=hostile, comment=hostile, retry=3)
    [block] = event_blocks(write_event(event))
    names = [name for name, _ in block]
    lines = re.split(r"\r\n|\r|\n", hostile)
    assert names == ["id"] + [""] * len(lines) + ["event"] + ["data"] * len(lines) + ["retry"]
    assert dict(block)["retry"] == "3"
    assert "\n".join(value for name, value in block if name == "data") == "\n".join(lines)


def test_event_json_data_with_line_breaks_stays_one_event():
    json_settings.use(dumps=lambda value: __import__("json").dumps(value, indent=2))
    try:
        [block] = event_blocks(write_event(ServerSentEvent({"a": ["b\r\nid: 1"]})))
    finally:
        json_settings.reset()
    assert {name for name, _ in block} == {"data"}


async def test_event_stream_through_the_server_layer():
    async with asgi_client() as client:
        response = await client.get("/events")
    blocks = event_blocks(response.content)
    assert [[name for name, _ in block] for block in blocks] == [
        ["id", "event", "data", "data"], ["", "", "data"]]


# --- quadratic cookie parsing ------------------------------------------------------------------

COOKIE_FLOODS = [
    b'a="' + b'"' * MB, b'a="' + b"\\" * MB + b'"', b'a="' + b'\\"' * (MB // 2), b";" * MB,
    b"a" + b"=" * MB, b"a=b; " * (MB // 5), b"a=" + b" " * MB + b"b", b"=;" * (MB // 2),
    b"".join(b"n%d=v; " % i for i in range(100_000)),
]


@pytest.mark.parametrize("flood", COOKIE_FLOODS, ids=range(len(COOKIE_FLOODS)))
def test_cookie_header_floods_are_parsed_in_linear_time(flood):
    with bounded():
        request = Request.incoming("GET", b"/", b"", [(b"cookie", flood)] * 2)
        cookies = request.cookies
        request.get_cookie("a")
        parse_cookie(b"a=b;" + flood)
        Response(200, [(b"set-cookie", b"n%d=v;" % i + flood[:100]) for i in range(20_000)]).cookies
    assert all(type(name) is str and type(value) is str for name, value in cookies.items())


# --- path traversal through double decoding ----------------------------------------------------

TRAVERSALS = [
    ("/files/%252e%252e/%252e%252e/etc/passwd", "%2e%2e/%2e%2e/etc/passwd"),
    ("/files/%25%32%65%25%32%65/x", "%2e%2e/x"),
    ("/hello/%2541", "%41"),
    ("/hello/%252F", "%2F"),
]


# The same paths under uvicorn and granian (ASGI and RSGI): tests/test_client_input.py.
@pytest.mark.parametrize("drive", [inprocess.asgi, inprocess.rsgi], ids=["asgi", "rsgi"])
@pytest.mark.parametrize("path, value", TRAVERSALS)
async def test_path_values_are_decoded_once(drive, path, value):
    status, _, body = await drive(app, "GET", path.encode(), b"", [(b"host", b"test")])
    assert (status, body) == (200, value.encode())
