import pytest

from quenmark import multipart
from quenmark.contents import FormPart, MultiPartFormData
from quenmark.exceptions import BadRequest, ContentTooLarge, InvalidOperation, MessageAborted
from quenmark.multipart import get_boundary_from_header, parse_multipart_async

_SEARCHES = {"bytes.find": bytes.find}
try:
    from quenmark._multipart import find_delimiter

    _SEARCHES["vectorised"] = find_delimiter
except ImportError:
    pass


@pytest.fixture(autouse=True, params=sorted(_SEARCHES))
def delimiter_search(request, monkeypatch):
    """Run every test with each delimiter search the parser may use."""
    monkeypatch.setattr(multipart, "_find", _SEARCHES[request.param])


BOUNDARY = b"----WebKitFormBoundary7MA4YWxkTrZu0gW"
DASH = b"--" + BOUNDARY

SAMPLE = b"".join(
    [
        b"preamble to ignore\r\n",
        DASH + b"\r\n",
        b'Content-Disposition: form-data; name="title"\r\n\r\n',
        b"Hello\r\n",
        DASH + b"  \t\r\n",  # transport padding after the boundary
        b'content-disposition: form-data; name="upload"; filename="notes; v2.txt"\r\n',
        b"CONTENT-TYPE: text/plain; charset=ISO-8859-1\r\n\r\n",
        b"line one\r\n\r\n--not-the-boundary\r\n--" + BOUNDARY[:-1] + b"X\r\r\n\rcaf\xe9",
        b"\r\n",
        DASH + b"\r\n",
        b"Content-Disposition: form-data; name=\"intl\"; filename=\"fallback.txt\"; "
        b"filename*=UTF-8''%E2%82%AC%20rates.txt\r\n\r\n",
        b"\r\n",  # the data of this part is one empty line
        b"\r\n",
        DASH + b"\r\n",
        b'Content-Disposition: form-data; name="empty"\r\n\r\n',
        b"\r\n",
        DASH + b"\r\n",
        b"Content-Disposition: form-data;\r\n name=\"folded\"\r\n\r\n",
        b"x",
        b"\r\n",
        DASH + b"--\r\n",
        b"epilogue to ignore\r\n",
    ]
)
EXPECTED = [
    ("title", None, None, None, b"Hello"),
    ("upload", "notes; v2.txt", "text/plain", "ISO-8859-1",
     b"line one\r\n\r\n--not-the-boundary\r\n--" + BOUNDARY[:-1] + b"X\r\r\n\rcaf\xe9"),
    ("intl", "€ rates.txt", None, None, b"\r\n"),
    ("empty", None, None, None, b""),
    ("folded", None, None, None, b"x"),
]


async def feed(chunks):
    for chunk in chunks:
        yield chunk


async def parse(chunks, boundary=BOUNDARY, **limits):
    result = []
    async for part in parse_multipart_async(feed(chunks), boundary, **limits):
        data = b"".join([chunk async for chunk in part.stream()])
        result.append((part.name, part.file_name, part.content_type, part.charset, data))
    return result


def split_every(data, size):
    return [data[i : i + size] for i in range(0, len(data), size)]


async def test_sample_in_one_chunk():
    assert await parse([SAMPLE]) == EXPECTED


async def test_sample_split_at_every_chunk_size():
    for size in range(1, len(SAMPLE) + 1):
        assert await parse(split_every(SAMPLE, size)) == EXPECTED, size


async def test_sample_split_at_every_position():
    for index in range(len(SAMPLE) + 1):
        assert await parse([SAMPLE[:index], SAMPLE[index:]]) == EXPECTED, index


async def test_chunk_kinds_and_end_marker():
    chunks = [b"", bytearray(SAMPLE[:50]), b"", memoryview(SAMPLE[50:200]), SAMPLE[200:], None]
    assert await parse(chunks) == EXPECTED
    with pytest.raises(TypeError):
        await parse([SAMPLE[:10], "text"])


async def test_every_truncation_raises_bad_request():
    end_of_close = SAMPLE.index(DASH + b"--") + len(DASH) + 2
    for index in range(1, end_of_close):
        with pytest.raises(BadRequest):
            await parse([SAMPLE[:index]])
    assert await parse([SAMPLE[:end_of_close]]) == EXPECTED


@pytest.mark.parametrize("chunks", [[], [b""], [None], [b"", None]])
async def test_empty_body_has_no_parts(chunks):
    assert await parse(chunks) == []


def _body(*parts, close=True):
    out = []
    for headers, data in parts:
        out.append(DASH + b"\r\n" + headers + b"\r\n" + data + b"\r\n")
    if close:
        out.append(DASH + b"--\r\n")
    return b"".join(out)


FIELD = b'Content-Disposition: form-data; name="f"\r\n'


@pytest.mark.parametrize(
    "body",
    [
        b"no boundary at all",
        DASH + b"garbage\r\n" + FIELD + b"\r\nx\r\n" + DASH + b"--",
        _body((b"Content-Type: text/plain\r\n", b"x")),  # no Content-Disposition
        _body((b"Content-Disposition: form-data\r\n", b"x")),  # no name
        _body((b"Content-Disposition: form-data; name=\"a\r\n", b"x")),  # open quote
        _body((b"Not a header\r\n", b"x")),
        _body((b": no name\r\n", b"x")),
        _body((b" folded first\r\n" + FIELD, b"x")),
        _body((FIELD, b"x" + b"\r\n" + DASH + b"X")),  # boundary followed by junk
        # Parameters beyond any real header's, with and without escapes in the value.
        _body((b'Content-Disposition: form-data; name="n"' + b";" * 100 + b"\r\n", b"x")),
        _body((b'Content-Disposition: form-data; name="\\\\"' + b"; a" * 100 + b"\r\n", b"x")),
        _body((b'Content-Disposition: form-data; name="n"' + b'""' * 100 + b"\r\n", b"x")),
    ],
)
async def test_malformed_bodies_raise_bad_request(body):
    with pytest.raises(BadRequest):
        await parse([body])


async def test_header_count_and_size_are_bounded():
    many = FIELD + b"".join(b"X-H%d: v\r\n" % i for i in range(40))
    with pytest.raises(BadRequest):
        await parse([_body((many, b"x"))])
    assert await parse([_body((many, b"x"))], max_header_count=64) != []
    big = FIELD + b"X-Big: " + b"a" * 20000 + b"\r\n"
    for chunks in ([_body((big, b"x"))], split_every(_body((big, b"x")), 1000)):
        with pytest.raises(BadRequest):
            await parse(chunks)
    # An endless header line is refused without waiting for the rest of the body.
    endless = [DASH + b"\r\n" + FIELD + b"X: "] + [b"a" * 1000] * 100
    with pytest.raises(BadRequest):
        await parse(endless)


async def test_preamble_epilogue_and_part_count_are_bounded():
    body = _body((FIELD, b"x"))
    with pytest.raises(BadRequest):
        await parse(split_every(b"\r\n" * 20000 + body, 4096))
    assert await parse([b"\r\n" * 100 + body]) == [("f", None, None, None, b"x")]
    with pytest.raises(BadRequest):
        await parse(split_every(body + b"\r\n" * 20000, 4096))
    with pytest.raises(BadRequest):
        await parse([body], max_epilogue_size=1)
    three = _body((FIELD, b"1"), (FIELD, b"2"), (FIELD, b"3"))
    with pytest.raises(ContentTooLarge, match="more than 2 parts"):
        await parse([three], max_parts=2)
    assert len(await parse([three], max_parts=3)) == 3


@pytest.mark.parametrize("chunk_size", [1, 7, 4096])
async def test_part_size_limit(monkeypatch, chunk_size):
    body = _body((FIELD, b"x" * 100), (FIELD, b"y" * 10))
    assert len(await parse(split_every(body, chunk_size), max_part_size=100)) == 2
    with pytest.raises(ContentTooLarge, match="larger than 99 bytes"):
        await parse(split_every(body, chunk_size), max_part_size=99)
    monkeypatch.setattr(multipart, "MAX_PART_SIZE", 99)
    with pytest.raises(ContentTooLarge):
        await parse(split_every(body, chunk_size))


async def test_long_runs_of_line_breaks_in_data_are_data():
    data = b"\r\n" * 300000 + b"\r" * 1000 + b"\n-" * 1000
    body = _body((FIELD, data))
    assert await parse(split_every(body, 65536)) == [("f", None, None, None, data)]


async def test_large_part_streams_in_bounded_chunks():
    data = bytes(range(256)) * 8192  # 2 MiB
    body = _body((FIELD + b"Content-Type: application/octet-stream\r\n", data))
    sizes = []
    total = 0
    async for part in parse_multipart_async(feed(split_every(body, 65536)), BOUNDARY):
        async for chunk in part.stream():
            sizes.append(len(chunk))
            total += len(chunk)
    assert total == len(data)
    assert max(sizes) <= 65536 + len(DASH) + 4


async def test_unread_parts_are_skipped_and_stale_reads_refused():
    body = _body((FIELD, b"a" * 100000), (b'Content-Disposition: form-data; name="g"\r\n', b"second"))
    parts = []
    async for part in parse_multipart_async(feed(split_every(body, 1000)), BOUNDARY):
        parts.append(part)
        if part.name == "g":
            assert await part.read() == b"second"
            with pytest.raises(InvalidOperation):
                part.stream()
    with pytest.raises(InvalidOperation):
        parts[0].stream()


async def test_abandoned_part_stream_cannot_corrupt_the_next_part():
    body = _body((FIELD, b"a" * 5000), (b'Content-Disposition: form-data; name="g"\r\n', b"second"))
    iterator = parse_multipart_async(feed(split_every(body, 1000)), BOUNDARY)
    first = await anext(iterator)
    first_stream = first.stream()
    await anext(first_stream)
    second = await anext(iterator)
    with pytest.raises(InvalidOperation):
        await anext(first_stream)
    assert await second.read() == b"second"


async def test_errors_of_the_source_propagate():
    async def broken():
        yield DASH + b"\r\n" + FIELD + b"\r\npartial"
        raise MessageAborted()

    with pytest.raises(MessageAborted):
        async for part in parse_multipart_async(broken(), BOUNDARY):
            await part.read()


@pytest.mark.parametrize(
    "disposition, name, file_name",
    [
        (b'form-data; name="a;b"; filename="x\\"y.txt"', "a;b", 'x"y.txt'),
        (b'form-data; name="caf\xc3\xa9"; filename="\xc3\xa9t\xc3\xa9.png"', "café", "été.png"),
        (b'form-data; name="latin"; filename="caf\xe9.txt"', "latin", "café.txt"),
        (b"form-data; name=plain; filename=bare.txt", "plain", "bare.txt"),
        (b'FORM-DATA ; NAME = "spaced" ; FileName = "s.txt" ', "spaced", "s.txt"),
        (b'form-data; name="n"; filename*=utf-8\'\'na%C3%AFve.txt; filename="naive.txt"', "n", "naïve.txt"),
        (b"form-data; name=\"n\"; filename*=bogus''x.txt; filename=\"ok.txt\"", "n", "ok.txt"),
        (b"form-data; name=\"n\"; filename*=undefined''x.txt; filename=\"ok.txt\"", "n", "ok.txt"),
        (b'form-data; name="n"; filename=""', "n", ""),
        (b'form-data; name="C:\\\\dir"; filename="C:\\dir\\f.txt"', "C:\\dir", "C:\\dir\\f.txt"),
        (b'form-data; flag; name="n"', "n", None),
        (b"form-data; name*=UTF-8''%C3%BC; name=\"u\"", "ü", None),
    ],
)
async def test_content_disposition_parameters(disposition, name, file_name):
    body = _body((b"Content-Disposition: " + disposition + b"\r\n", b"d"))
    [(got_name, got_file_name, *_)] = await parse([body])
    assert (got_name, got_file_name) == (name, file_name)


async def test_round_trip_with_multipart_form_data_content():
    parts = [
        FormPart(b"text", "héllo".encode()),
        FormPart(b"file", bytes(range(256)) * 10 + b"\r\n--", b"application/octet-stream", b"d\"a;ta.bin"),
        FormPart(b"csv", b"a,b\r\n1,2\r\n", b"text/csv", b"t.csv", charset=b"utf-8"),
    ]
    content = MultiPartFormData(parts)
    boundary = get_boundary_from_header(content.type)
    result = await parse(split_every(content.body, 7), boundary)
    assert result == [
        ("text", None, None, None, "héllo".encode()),
        ("file", "d%22a;ta.bin", "application/octet-stream", None, bytes(range(256)) * 10 + b"\r\n--"),
        ("csv", "t.csv", "text/csv", "utf-8", b"a,b\r\n1,2\r\n"),
    ]


@pytest.mark.parametrize(
    "header, boundary",
    [
        (b"multipart/form-data; boundary=abc", b"abc"),
        (b"multipart/form-data; charset=utf-8; BOUNDARY=\"a b:c\"", b"a b:c"),
        (b"multipart/form-data;boundary=" + BOUNDARY, BOUNDARY),
        (b"multipart/form-data; boundary= x ; other=1", b"x"),
        (b"multipart/form-data; xboundary=no; boundary =yes; boundary=later", b"yes"),
        (b"multipart/form-data;;; boundary\t=\tb", b"b"),
        (b"multipart/form-data; boundary=" + b"b" * 70, b"b" * 70),
    ],
)
def test_get_boundary_from_header(header, boundary):
    assert get_boundary_from_header(header) == boundary


@pytest.mark.parametrize(
    "header",
    [
        b"multipart/form-data",
        b"multipart/form-data; charset=utf-8",
        b"boundary=abc",
        b"multipart/form-data; boundary",
        b"multipart/form-data; boundary-x=abc",
        b"multipart/form-data; boundary=",
        b'multipart/form-data; boundary=""',
        b'multipart/form-data; boundary="unterminated',
        b"multipart/form-data; boundary=" + b"b" * 71,
        b"multipart/form-data; boundary=a\x00b",
        b"multipart/form-data; boundary=a{b}",
        b'multipart/form-data; boundary="ends with space "',
    ],
)
def test_get_boundary_refuses_missing_or_invalid(header):
    with pytest.raises(ValueError):
        get_boundary_from_header(header)


def test_get_boundary_on_crafted_content_types_is_linear():
    # Patterns that make backtracking parsers explode: they must simply be refused or
    # parsed, in one pass.
    for header in (
        b"multipart/form-data; " + b"a=" * 200000,
        b"multipart/form-data; " + b";" * 400000,
        b"multipart/form-data; boundary=\"" + b"\\\"" * 200000,
        b"multipart/form-data" + b" " * 400000 + b"x",
        b"multipart/form-data" + b"; boundary" * 40000,
    ):
        with pytest.raises(ValueError):
            get_boundary_from_header(header)


async def test_crafted_part_header_is_parsed_in_one_pass():
    disposition = b"form-data; name=\"n\"; filename=\"" + b"\\\\" * 4000 + b"\\\"x\""
    body = _body((b"Content-Disposition: " + disposition + b"\r\n", b"d"))
    [(name, file_name, *_)] = await parse([body])
    assert name == "n" and file_name == "\\" * 4000 + '"x'
