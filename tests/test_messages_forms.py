"""Forms of a message: URL-encoded and multipart parsing, spooled parts and their files, limits
and malformed bodies."""

import os

import pytest

from quenmark.contents import ASGIContent, FormPart
from quenmark.exceptions import BadRequest, MessageAborted
from quenmark.messages import Message, Request, _encode, _multipart_to_dict_streaming

BOUNDARY = b"b0undary"
MULTIPART = b"multipart/form-data; boundary=" + BOUNDARY
URLENCODED = b"application/x-www-form-urlencoded"
SPOOL = 1048576


def multipart_body(*parts, end=True):
    """parts: (name, file_name or None, data)."""
    out = []
    for name, file_name, data in parts:
        disposition = b'Content-Disposition: form-data; name="' + name + b'"'
        if file_name is not None:
            disposition += b'; filename="' + file_name + b'"'
        out.append(b"--" + BOUNDARY + b"\r\n" + disposition + b"\r\n\r\n" + data + b"\r\n")
    if end:
        out.append(b"--" + BOUNDARY + b"--\r\n")
    return b"".join(out)


class Receive:
    """An ASGI receive channel: the body in chunks, then a disconnect (or a disconnect early)."""

    def __init__(self, body, chunk=65536, disconnect_after=None):
        self.chunks = [body[i : i + chunk] for i in range(0, len(body), chunk)] or [b""]
        self.sent = 0
        self.disconnect_after = disconnect_after

    async def __call__(self):
        if self.sent >= len(self.chunks) or self.sent == self.disconnect_after:
            return {"type": "http.disconnect"}
        self.sent += 1
        return {"type": "http.request", "body": self.chunks[self.sent - 1],
                "more_body": self.sent < len(self.chunks)}


_made = []


@pytest.fixture(autouse=True)
def reset_requests():
    """Resets the requests a test made, as the server layer does: their files close."""
    yield
    while _made:
        _made.pop().reset()


def request(body=b"", content_type=MULTIPART, **receive):
    headers = [(b"content-type", content_type)] if content_type is not None else []
    r = Request.incoming("POST", b"/", b"", headers)
    r.content = ASGIContent(Receive(body, **receive))
    _made.append(r)
    return r


THREE = multipart_body((b"a", b"f.txt", b"file"), (b"b", None, b"bee"), (b"a", None, b"second"))


# ---- behaviour ----------------------------------------------------------------------------


@pytest.mark.parametrize("content_type", [None, b"", b"multipart/form-data", b"text/plain"])
async def test_no_form(content_type):
    r = request(THREE, content_type)
    assert await r.form() is None
    assert await r.multipart() == [] and await r.files() == []
    assert [part async for part in r.multipart_stream()] == []
    assert r._form_data is None


async def test_parts_grouped_by_name_and_files_by_name_or_file_name():
    r = request(THREE)
    parts = await r.multipart()
    assert [(p.name, p.file_name, p.data) for p in parts] == [
        (b"a", b"f.txt", b"file"), (b"a", None, b"second"), (b"b", None, b"bee")]
    assert await r.files() == parts[:1]
    assert await r.files("a") == parts[:2]
    assert await r.files(b"b") == parts[2:]
    assert await r.form() == {"a": [parts[0], "second"], "b": "bee"}


async def test_the_multipart_form_is_parsed_once_and_kept():
    r = request(THREE)
    receive = r.content._source
    form = await r.form(simplify_fields=False)
    assert await r.form(False) is form is r._form_data
    assert list(form) == ["a", "b"] and all(isinstance(p, FormPart) for p in form["a"])
    assert receive.sent == 1


@pytest.mark.parametrize("size, on_disk", [(SPOOL, False), (SPOOL + 1, True)])
async def test_parts_beyond_the_spool_limit_go_to_disk(size, on_disk):
    data = os.urandom(size)
    (part,) = await request(multipart_body((b"f", b"x.bin", data)), chunk=50000).files()
    assert part.size == size and part.file.tell() == 0
    assert part.file._rolled is on_disk
    assert part.data == data


async def test_urlencoded_forms_are_parsed_on_every_call():
    r = request(b"a=1&b=2&b=3&c=%zz&d=%ff&e", URLENCODED)
    expected = {"a": "1", "b": ["2", "3"], "c": "%zz", "d": "\ufffd", "e": ""}
    assert await r.form() == expected
    assert await r.form() == expected and r._form_data is None
    # A field's text is one element, not a sequence of characters; none of them is a file.
    assert await r.multipart() == ["1", "2", "3", "%zz", "\ufffd", ""]
    assert await r.files() == [] and await r.files("a") == []


async def _fixed_parts():
    class Part:
        name, file_name, content_type, charset = "x", None, None, None

        async def stream(self):
            yield b"da"
            yield b"ta"

    yield Part()


async def test_form_reads_parts_through_the_host_visible_multipart_stream():
    class Fixed(Message):
        def multipart_stream(self):
            return _fixed_parts()

    m = Fixed([(b"content-type", MULTIPART)])
    assert await m.form() == {"x": "data"}
    m._form_data["x"][0].close()
    form = await _multipart_to_dict_streaming(_fixed_parts(), spool_max_size=1)
    (part,) = form["x"]
    assert (part.name, part.size, part.file._rolled, part.data) == (b"x", 4, True, b"data")
    part.close()
    assert _encode("") is None and _encode(None) is None and _encode("é") == "é".encode()


async def test_a_content_type_without_a_usable_boundary_is_an_empty_form():
    r = request(THREE, b"multipart/form-data; boundary=" + b"x" * 71)
    assert await r.form() == {} and r._form_data == {}


# ---- temporary files --------------------------------------------------------------------


@pytest.mark.parametrize("end", ["reset", "dispose", "response reset"])
async def test_spooled_files_close_with_the_message(open_temp_files, end):
    body = multipart_body((b"f", b"big", b"x" * (SPOOL + 1)), (b"g", b"small", b"y"))
    r = request(body)
    parts = await r.files()
    assert open_temp_files() == 2
    if end == "reset":
        r.reset()
    elif end == "dispose":
        r.dispose()
    else:
        from quenmark.messages import Response

        response = Response(200)
        response._form_data = r._form_data
        response.reset()
    assert all(p.file.closed for p in parts) and open_temp_files() == 0


@pytest.mark.parametrize(
    "body, receive, error",
    [
        (multipart_body((b"f", b"a", b"x" * (SPOOL + 10)), end=False)[:-200], {}, BadRequest),
        (multipart_body((b"f", b"a", b"x" * 2 * SPOOL), (b"g", None, b"y")),
         {"disconnect_after": 20}, MessageAborted),
        (multipart_body((b"f", b"a", b"x" * (SPOOL + 10)), (b"", None, b"y"))
         .replace(b'name=""', b"x"), {}, BadRequest),
    ],
    ids=["truncated", "client-gone", "part-without-name"],
)
async def test_a_failed_parse_leaves_no_file_open(open_temp_files, body, receive, error):
    r = request(body, chunk=65536, **receive)
    with pytest.raises(error):
        await r.form()
    assert r._form_data is None and open_temp_files() == 0


# ---- limits and malformed bodies --------------------------------------------------------


@pytest.mark.parametrize(
    "body",
    [
        THREE.replace(b"bee\r\n", b"bee\r\n" + b"\r\n" * 30000, 1),  # ... inside a part is data
        THREE.replace(b"--" + BOUNDARY + b"\r\n", b"--" + BOUNDARY + b"\r\n\r\n", 1),
        THREE.replace(b'name="b"', b'name="b"; filename*=bogus-charset\'\'%ff'),
        b"garbage without any boundary",
    ],
    ids=["crlf-data", "empty-part-headers", "bad-filename-star", "garbage"],
)
async def test_malformed_multipart_gives_a_bad_request_or_a_form(body, open_temp_files):
    try:
        form = await request(body, chunk=4096).form(simplify_fields=False)
    except BadRequest:
        pass
    else:
        assert isinstance(form, dict)
        for parts in form.values():
            for part in parts:
                part.close()
    assert open_temp_files() == 0
