"""Cookies both ways: the request's Cookie header and the response's Set-Cookie headers."""

from datetime import timedelta

import pytest

from quenmark.cookies import Cookie, parse_cookie
from quenmark.messages import Request, Response
from quenmark.utils.time import utcnow

ARG_ERROR = "Argument '{}' has incorrect type (expected {}, got {})"


def request(*cookie_values):
    return Request("GET", b"/", [(b"Cookie", v) for v in cookie_values])


# ---- request ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "values, expected",
    [
        ((), {}),
        ((b"a=1; b=2",), {"a": "1", "b": "2"}),
        ((b"a%20b=x%3By; c=%E2%82%AC",), {"a b": "x;y", "c": "€"}),
        ((b"a=1;; ; b=2; ",), {"a": "1", "b": "2"}),
        ((b"a=1; junk; b=2",), {"a": "1", "b": "2"}),
        ((b"a=1", b"a=2; b=3"), {"a": "2", "b": "3"}),
        ((b"  sp  =  v  ",), {"sp": "v"}),
        ((b"",), {}),
        # escapes and other bytes on either side of eight-byte boundaries
        ((b"session_id=abcdefgh%41; longer_name%21=abcdefghijklmnop",),
         {"session_id": "abcdefghA", "longer_name!": "abcdefghijklmnop"}),
        (("abcdefgh\u00e9=abcdefgh\u20ac".encode(),), {"abcdefgh\u00e9": "abcdefgh\u20ac"}),
    ],
)
def test_request_cookies(values, expected):
    r = request(*values)
    assert r.cookies == expected
    for name, value in expected.items():
        assert r.get_cookie(name) == value
    assert r.get_cookie("missing") is None
    assert r.get_cookie(None) is None


def test_request_cookies_are_computed_on_every_read():
    r = request(b"a=1")
    first = r.cookies
    r.add_header(b"cookie", b"b=2")
    assert r.cookies == {"a": "1", "b": "2"} and first == {"a": "1"}


@pytest.mark.parametrize("value", [b"\xff=1", b"a=\xfe", b"abcdefgh\xff=1", b"a=abcdefgh\xfe"])
def test_undecodable_cookie_is_skipped(value):
    assert request(value + b"; ok=1").cookies == {"ok": "1"}


def test_cookie_header_that_is_not_bytes():
    r = Request("GET", b"/", [(b"cookie", "a=1")])
    with pytest.raises(TypeError, match="^Expected bytes, got str$"):
        r.cookies


def test_request_set_cookie_builds_one_header():
    r = Request("GET", b"/", [(b"x", b"1")])
    r.set_cookie("a", "1")
    r.set_cookie("b c", "é;")
    assert r.get_headers(b"cookie") == [b"a=1; b%20c=%C3%A9%3B"]
    # Every cookie set reads back as its own entry.
    assert r.cookies == {"a": "1", "b c": "é;"}


def test_request_set_cookie_merges_existing_headers_into_one_at_the_end():
    r = request(b"x=1", b"y=2")
    r.add_header(b"other", b"o")
    r.set_cookie("z", "3")
    assert list(r.headers)[-1] == (b"cookie", b"x=1; y=2; z=3")
    assert r.cookies == {"x": "1", "y": "2", "z": "3"}
    assert len(r.get_headers(b"cookie")) == 1


@pytest.mark.parametrize(
    "call, arg",
    [
        (lambda r: r.get_cookie(b"a"), ("name", "str", "bytes")),
        (lambda r: r.set_cookie(b"a", "1"), ("name", "str", "bytes")),
        (lambda r: r.set_cookie("a", 1), ("value", "str", "int")),
    ],
)
def test_request_cookie_argument_types(call, arg):
    with pytest.raises(TypeError) as info:
        call(request())
    assert str(info.value) == ARG_ERROR.format(*arg)


# ---- response -----------------------------------------------------------------------------


def test_set_cookie_twice_keeps_both_headers():
    r = Response(200)
    r.set_cookie(Cookie("sid", "first"))
    r.set_cookie(Cookie("sid", "second", path="/"))
    assert r.get_headers(b"set-cookie") == [b"sid=first", b"sid=second; Path=/"]
    assert r.cookies["sid"].value == "second"
    assert r.get_cookies()["sid"].value == "second"
    assert r.get_cookie("sid").value == "first"
    assert r.get_cookie("other") is None
    r.remove_cookie("sid")
    assert r.get_headers(b"set-cookie") == []


def test_remove_cookie_keeps_other_headers_in_order():
    r = Response(200, [(b"a", b"1")])
    r.set_cookie(Cookie("x", "1"))
    r.add_header(b"b", b"2")
    r.set_cookie(Cookie("y", "2"))
    r.set_cookie(Cookie("x", "3"))
    r.remove_cookie("x")
    assert list(r.headers) == [(b"a", b"1"), (b"b", b"2"), (b"set-cookie", b"y=2")]


def test_set_cookies_sets_each_in_order():
    r = Response(200)
    r.set_cookies([Cookie("a", "1"), Cookie("b", "2")])
    assert list(r.cookies) == ["a", "b"]


def test_set_cookies_stops_at_a_non_cookie_after_setting_earlier_ones():
    r = Response(200)
    with pytest.raises(TypeError, match=r"^Cannot convert str to .*Cookie$"):
        r.set_cookies([Cookie("a", "1"), "b"])
    assert list(r.cookies) == ["a"]


def test_set_cookies_none():
    with pytest.raises(TypeError, match="^'NoneType' object is not iterable$"):
        Response(200).set_cookies(None)


def test_unset_cookie_adds_an_expired_empty_cookie():
    r = Response(200)
    r.set_cookie(Cookie("sid", "x"))
    before = utcnow()
    r.unset_cookie("sid")
    values = r.get_headers(b"set-cookie")
    assert len(values) == 2
    cookie = parse_cookie(values[1])
    assert (cookie.name, cookie.value) == ("sid", "")
    expected = before - timedelta(days=365)
    assert abs((cookie.expires - expected).total_seconds()) < 5


def test_response_cookie_header_of_another_type():
    r = Response(200, [(b"set-cookie", "a=1")])
    with pytest.raises(TypeError, match="^Expected bytes, got str$"):
        r.get_cookies()
    with pytest.raises(TypeError, match="^Expected bytes, got str$"):
        r.remove_cookie("a")


READERS = [
    pytest.param(lambda r: r.get_cookies(), id="get_cookies"),
    pytest.param(lambda r: r.get_cookie("a"), id="get_cookie"),
    pytest.param(lambda r: r.remove_cookie("a"), id="remove_cookie"),
]


@pytest.mark.parametrize("call", READERS)
@pytest.mark.parametrize(
    "entry, error, message",
    [
        ((b"set-cookie",), IndexError, "tuple index out of range"),
        (None, TypeError, "'NoneType' object is not subscriptable"),
        ([b"set-cookie", b"a=1"], TypeError, "Expected tuple, got list"),
    ],
)
def test_response_cookie_readers_refuse_unreadable_entries(call, entry, error, message):
    # The bad entry comes after a good one: the whole list is read before any cookie is parsed.
    r = Response(200, [(b"set-cookie", b"a=1"), entry])
    with pytest.raises(error) as info:
        call(r)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda r: r.set_cookie(Cookie("a", "1")), AttributeError,
         "'NoneType' object has no attribute 'append'"),
        (lambda r: r.unset_cookie("a"), AttributeError,
         "'NoneType' object has no attribute 'append'"),
        (lambda r: r.get_cookies(), TypeError, "'NoneType' object is not iterable"),
        (lambda r: r.remove_cookie("a"), TypeError, "'NoneType' object is not iterable"),
    ],
)
def test_response_cookies_without_a_header_list(call, error, message):
    with pytest.raises(error) as info:
        call(Response.__new__(Response))
    assert str(info.value) == message


def test_subclass_set_cookie_is_used_by_set_cookies_and_unset_cookie():
    seen = []

    class R(Response):
        def set_cookie(self, cookie):
            seen.append(cookie.name)
            super().set_cookie(cookie)

    r = R(200)
    r.set_cookies([Cookie("a", "1")])
    r.unset_cookie("b")
    assert seen == ["a", "b"]


def test_cookies_property_uses_a_subclass_get_cookies():
    class R(Response):
        def get_cookies(self):
            return {"fixed": None}

    assert R(200).cookies == {"fixed": None}


@pytest.mark.parametrize(
    "call, arg",
    [
        (lambda r: r.set_cookie("a=1"), ("cookie", "Cookie", "str")),
        (lambda r: r.set_cookies((Cookie("a", "1"),)), ("cookies", "list", "tuple")),
        (lambda r: r.get_cookie(1), ("name", "str", "int")),
        (lambda r: r.unset_cookie(b"a"), ("name", "str", "bytes")),
        (lambda r: r.remove_cookie(b"a"), ("name", "str", "bytes")),
    ],
)
def test_response_cookie_argument_types(call, arg):
    with pytest.raises(TypeError) as info:
        call(Response(200))
    assert str(info.value) == ARG_ERROR.format(*arg)


# ---- the Cookie header parser agrees with the plain reading of the rules ----------------------

from urllib.parse import unquote  # noqa: E402

from hypothesis import given, settings, strategies as st  # noqa: E402

from quenmark.cookies import split_value  # noqa: E402


def reference_cookies(values):
    out = {}
    for value in values:
        for part in value.split(b"; "):
            try:
                name, raw = split_value(part, b"=")
                out[unquote(name.decode("utf-8"))] = unquote(raw.rstrip(b"; ").decode("utf-8"))
            except ValueError:  # no "=", or bytes that are not UTF-8: the part is skipped
                continue
    return out


COOKIE_TEXT = st.lists(st.sampled_from(["a", "b", "=", ";", " ", "; ", "%20", "%", "é", "\t"]),
                       max_size=25).map("".join)


@settings(max_examples=300, deadline=None)
@given(st.lists(COOKIE_TEXT, max_size=3))
def test_cookies_match_the_reference(texts):
    values = [t.encode("utf-8") for t in texts]
    assert request(*values).cookies == reference_cookies(values)
