"""Responses: construction, header and cookie operations in any order and with any arguments,
and what the ASGI writer sends for the result."""

import asyncio
from http import HTTPStatus

from hypothesis import strategies as st

from fuzz import fuzzer, note, outcome
from quenmark.contents import Content, StreamedContent, TextContent
from quenmark.cookies import Cookie, parse_cookie
from quenmark.messages import Response
from quenmark.scribe import send_asgi_response
from tests.siblings.test_properties import _cookie_text

names = st.sampled_from([b"set-cookie", b"Set-Cookie", b"content-type", b"location", b"x-a", b"X-A",
                         b""])
values = st.one_of(st.binary(max_size=12),
                   st.sampled_from([b"a=b; Path=/", b"=", b"a", b"\xff=\xfe"]))
cookie_name = st.one_of(_cookie_text.filter(lambda s: s and "=" not in s), st.text(max_size=4))
cookies = st.builds(Cookie, cookie_name,
                    st.text(max_size=6), path=st.one_of(st.none(), st.text(max_size=4)))
cookie_names = st.one_of(st.text(max_size=3), st.none(), st.integers())
operations = st.lists(st.one_of(
    st.tuples(st.sampled_from(["add_header", "set_header"]), names, values),
    st.tuples(st.sampled_from(["remove_header", "get_headers", "get_first_header",
                               "get_single_header", "has_header"]), names),
    st.tuples(st.just("set_cookie"), st.one_of(cookies, st.none(), st.integers())),
    st.tuples(st.just("set_cookies"), st.lists(st.one_of(cookies, st.none()), max_size=3)),
    st.tuples(st.sampled_from(["get_cookie", "unset_cookie", "remove_cookie"]), cookie_names),
    st.tuples(st.sampled_from(["get_cookies", "is_redirect", "reset", "content_type", "has_body"])),
), max_size=12)
contents = st.one_of(
    st.none(),
    st.builds(Content, st.sampled_from([None, b"", b"text/plain", b"\xff"]),
              st.binary(max_size=70_000)),
    st.builds(TextContent, st.text(max_size=20)),
    st.lists(st.binary(max_size=20), max_size=4).map(
        lambda chunks: StreamedContent(b"application/octet-stream", lambda: _chunks(chunks))),
)


async def _chunks(chunks):
    for chunk in chunks:
        yield chunk


loop = asyncio.new_event_loop()


@fuzzer(status=st.one_of(st.integers(100, 599), st.integers()),
        headers=st.lists(st.tuples(names, values), max_size=5), content=contents,
        operations=operations)
def operations_and_writing(status, headers, content, operations):
    response = outcome(lambda: Response(status, list(headers), content))
    if isinstance(response, Exception):
        assert not -(2**31) <= status < 2**31, (status, response)
        return
    for name, *args in operations:
        result = outcome(lambda: getattr(response, name)(*args))
        if isinstance(result, Exception):
            note(name, result)
    assert response.is_redirect() is (response.status in (301, 302, 303, 307, 308))
    assert (outcome(lambda: response.reason) == HTTPStatus(response.status).phrase
            if response.status in HTTPStatus._value2member_map_ else True)

    # Every Set-Cookie header set through the cookie methods parses back to its cookie.
    set_cookie = [v for k, v in response.headers.values if k.lower() == b"set-cookie"]
    parsed = outcome(lambda: response.cookies)
    if not isinstance(parsed, Exception):
        assert parsed == {c.name: c for c in map(parse_cookie, set_cookie)}

    sent = []

    async def send(message):
        sent.append(message)

    result = outcome(lambda: loop.run_until_complete(send_asgi_response(response, send)))
    if isinstance(result, Exception):
        note("send_response", result)
        return
    start, *bodies = sent
    assert start["status"] == response.status
    assert all(type(k) is bytes and type(v) is bytes for k, v in start["headers"])
    if any(c in v for _, v in start["headers"] for c in b"\r\n\x00"):
        note("send_response", "passed on a header value holding CR, LF or NUL")
    body = b"".join(message["body"] for message in bodies)
    assert not bodies[-1].get("more_body", False)
    content = response.content
    if content is not None and content.body is not None:
        assert body == content.body
        assert (b"content-length", str(len(body)).encode()) in start["headers"]
