"""Multipart parsing: any body under any chunking gives what the whole body in one chunk gives,
parts and data or the same refusal, also when the reader skips parts."""

import asyncio

from hypothesis import strategies as st

from fuzz import fuzzer, note
from quenmark.contents import FormPart, MultiPartFormData
from quenmark.exceptions import BadRequest, ContentTooLarge
from quenmark.multipart import parse_multipart_async
from tests.siblings.test_properties import _tricky_bytes

BOUNDARY = b"b0undary"
HEADERS = [b'Content-Disposition: form-data; name="a"',
           b"Content-Disposition: form-data; name=b; filename=f.txt",
           b"content-disposition: form-data; name*=utf-8''%C3%A9",
           b'Content-Disposition: form-data; name="x\\"y"',
           b"Content-Type: text/plain; charset=latin-1", b"Content-Type: application/octet-stream",
           b" folded", b"X-Other: 1", b"Content-Disposition: form-data", b"broken"]


@st.composite
def bodies(draw):
    """Well-formed bodies, written by the form writer or by hand, then maybe damaged."""
    if draw(st.booleans()):
        part = st.builds(FormPart, st.sampled_from([b"a", b"b", b"\xc3\xa9", b'q"']), _tricky_bytes,
                         st.sampled_from([None, b"text/plain"]), st.sampled_from([None, b"f.bin"]))
        parts = draw(st.lists(part, max_size=4))
        content = MultiPartFormData(parts)
        body, boundary = content.body, content.boundary
    else:
        boundary = BOUNDARY
        pieces = [draw(st.sampled_from([b"", b"preamble\r\n", b"\r\n"]))]
        for _ in range(draw(st.integers(0, 4))):
            pieces.append(b"--" + boundary + draw(st.sampled_from([b"\r\n", b" \t\r\n"])))
            headers = draw(st.lists(st.sampled_from(HEADERS), min_size=1, max_size=3))
            pieces.append(b"\r\n".join(headers))
            pieces.append(b"\r\n\r\n" + draw(_tricky_bytes) + b"\r\n")
        pieces.append(b"--" + boundary + b"--" + draw(st.sampled_from([b"", b"\r\n", b"epilogue"])))
        body = b"".join(pieces)
    for _ in range(draw(st.integers(0, 3))):
        at = draw(st.integers(0, len(body)))
        cut = draw(st.integers(0, 3))
        damage = draw(st.sampled_from([b"", b"\r", b"\n", b"-", b"--", b"\r\n--" + boundary]))
        body = body[:at] + damage + body[at + cut :]
    return body, boundary


async def parse(chunks, boundary, skip):
    async def stream():
        for chunk in chunks:
            yield chunk

    found = []
    try:
        async for part in parse_multipart_async(stream(), boundary):
            data = None if skip and len(found) % 2 else await part.read()
            found.append((part.name, part.file_name, part.content_type, part.charset, part.headers,
                          data))
    except (BadRequest, ContentTooLarge) as error:
        found.append(("refused", str(error)))
    return found


loop = asyncio.new_event_loop()


@fuzzer(body=bodies(), cuts=st.lists(st.integers(0, 5000), max_size=20), skip=st.booleans())
def chunkings(body, cuts, skip):
    body, boundary = body
    points = sorted({min(cut, len(body)) for cut in cuts} | {0, len(body)})
    chunks = [body[a:b] for a, b in zip(points, points[1:])]
    whole = loop.run_until_complete(parse([body], boundary, skip))
    assert loop.run_until_complete(parse(chunks, boundary, skip)) == whole, chunks
    note("outcome", whole[-1][1] if whole and whole[-1][0] == "refused" else f"{len(whole)} parts")
