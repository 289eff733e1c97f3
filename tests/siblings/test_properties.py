"""Property tests: random inputs, random chunking, round trips."""

import asyncio
import string
from datetime import UTC, datetime

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quenmark.contents import FormPart, MultiPartFormData
from quenmark.cookies import Cookie, CookieSameSiteMode, parse_cookie, write_cookie_for_response
from quenmark.multipart import get_boundary_from_header, parse_multipart_async
from quenmark.url import URL

_SETTINGS = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])

# Data that likes to look like delimiters: line breaks, dashes and boundary letters.
_tricky_bytes = st.lists(
    st.one_of(
        st.sampled_from([b"\r", b"\n", b"\r\n", b"-", b"--", b"\r\n--", b"\r\n\r\n", b"q"]),
        st.binary(max_size=20),
    ),
    max_size=30,
).map(b"".join)


async def _feed(chunks):
    for chunk in chunks:
        yield chunk


async def _parse(chunks, boundary):
    result = []
    async for part in parse_multipart_async(_feed(chunks), boundary):
        result.append((part.name, part.file_name, await part.read()))
    return result


@_SETTINGS
@given(
    fields=st.lists(
        st.tuples(
            st.text(string.ascii_letters + "é;\" ", min_size=1, max_size=8),
            st.one_of(st.none(), st.text(string.ascii_letters + ".-", min_size=1, max_size=8)),
            _tricky_bytes,
        ),
        max_size=5,
    ),
    cuts=st.lists(st.integers(min_value=0, max_value=2000), max_size=12),
)
def test_multipart_round_trip_under_any_chunking(fields, cuts):
    parts = [
        FormPart(name.encode(), data, b"application/octet-stream" if file_name else None,
                 file_name.encode() if file_name else None)
        for name, file_name, data in fields
    ]
    content = MultiPartFormData(parts)
    body = content.body
    points = sorted({min(cut, len(body)) for cut in cuts} | {0, len(body)})
    chunks = [body[a:b] for a, b in zip(points, points[1:])]
    result = asyncio.run(_parse(chunks, get_boundary_from_header(content.type)))
    expected = [
        (name.replace('"', "%22"), file_name, data) for name, file_name, data in fields
    ]
    assert result == expected


_cookie_text = st.text(
    st.characters(blacklist_categories=("Cs",), blacklist_characters="\x7f;", min_codepoint=0x20),
    max_size=12,
).map(str.strip)


@_SETTINGS
@given(
    name=_cookie_text.filter(lambda s: s and "=" not in s),
    value=_cookie_text,
    expires=st.one_of(st.none(), st.datetimes(min_value=datetime(1970, 1, 1), max_value=datetime(2200, 1, 1))),
    domain=st.one_of(st.none(), st.from_regex(r"[a-z0-9.-]{1,20}", fullmatch=True)),
    path=st.one_of(st.none(), st.from_regex(r"/[a-zA-Z0-9/_.-]{0,20}", fullmatch=True)),
    http_only=st.booleans(),
    secure=st.booleans(),
    max_age=st.integers(min_value=-1, max_value=10**9),
    same_site=st.sampled_from(list(CookieSameSiteMode)),
)
def test_cookie_round_trip(name, value, expires, domain, path, http_only, secure, max_age, same_site):
    if expires is not None:
        expires = expires.replace(microsecond=0, tzinfo=UTC)
    cookie = Cookie(name, value, expires, domain, path, http_only, secure, max_age, same_site)
    header = write_cookie_for_response(cookie)
    assert b"\r" not in header and b"\n" not in header
    assert parse_cookie(header) == cookie


_url_chars = st.text(string.ascii_letters + string.digits + "-._~%!$&'()*+,;=:@/", max_size=15)


@_SETTINGS
@given(
    scheme=st.sampled_from(["http", "https", "ws"]),
    host=st.from_regex(r"[a-z0-9-]{1,10}(\.[a-z0-9-]{1,10}){0,2}", fullmatch=True),
    port=st.one_of(st.just(0), st.integers(min_value=1, max_value=65535)),
    path=_url_chars.map(lambda p: "/" + p.lstrip("/")),
    query=st.one_of(st.none(), _url_chars.map(lambda q: q.replace("/", ""))),
    fragment=st.one_of(st.none(), _url_chars),
)
def test_url_fields_recompose_the_value(scheme, host, port, path, query, fragment):
    text = f"{scheme}://{host}{f':{port}' if port else ''}{path}"
    text += f"?{query}" if query is not None else ""
    text += f"#{fragment}" if fragment is not None else ""
    url = URL(text.encode())
    assert (url.schema, url.host, url.port, url.path) == (scheme.encode(), host.encode(), port, path.encode())
    assert url.query == (query.encode() if query is not None else None)
    assert url.fragment == (fragment.encode() if fragment is not None else None)
    if url.query != b"":  # an empty query is dropped by with_query
        assert url.with_query(url.query).value == url.value
    if "/." not in path:  # resolution removes dot segments
        assert URL(url.path).join(url).value == url.value


_token = st.text(string.ascii_letters + string.digits + "-.*", min_size=1, max_size=8).map(str.encode)
_quoted = st.text(string.ascii_letters + " ;=,:/.-", max_size=10).map(lambda t: b'"' + t.encode() + b'"')
_space = st.sampled_from([b"", b" ", b"  ", b"\t"])


@st.composite
def _header_values(draw):
    value = draw(_token)
    for _ in range(draw(st.integers(min_value=0, max_value=4))):
        name = draw(_token)
        if draw(st.booleans()):
            parameter = name  # a parameter without a value
        else:
            parameter = name + draw(_space) + b"=" + draw(_space) + draw(st.one_of(_token, _quoted))
        value += b";" + draw(_space) + parameter + draw(_space)
    return value


@_SETTINGS
@given(value=_header_values())
def test_both_parameter_parsers_agree(value):
    # Values without backslashes take the split-based parser; the scanning parser, used
    # for escaped quotes, must read every well-formed value the same way.
    from quenmark.multipart import _parse_escaped_parameters, _parse_unescaped_parameters

    assert _parse_unescaped_parameters(value) == _parse_escaped_parameters(value)
