from datetime import UTC, datetime, timedelta, timezone

import pytest
from hypothesis import given
from hypothesis import strategies as st

from quenmark.cookies import (
    Cookie,
    CookieSameSiteMode,
    datetime_to_cookie_format,
    parse_cookie,
    split_value,
    write_cookie_for_response,
)
from quenmark.messages import Request, Response

_WHEN = datetime(2015, 10, 21, 7, 28, 0, tzinfo=UTC)


@pytest.mark.parametrize(
    "cookie, expected",
    [
        (Cookie("sid", "abc"), b"sid=abc"),
        (Cookie("sid", ""), b"sid="),
        (
            Cookie("sid", "abc", _WHEN, "example.com", "/", True, True, 3600, CookieSameSiteMode.LAX),
            b"sid=abc; Expires=Wed, 21 Oct 2015 07:28:00 GMT; Max-Age=3600; "
            b"Domain=example.com; Path=/; Secure; HttpOnly; SameSite=Lax",
        ),
        (Cookie("a", "b", max_age=0), b"a=b; Max-Age=0"),
        (Cookie("a", "b", same_site=CookieSameSiteMode.STRICT), b"a=b; SameSite=Strict"),
        (Cookie("a", "b", same_site=CookieSameSiteMode.NONE, secure=True), b"a=b; Secure; SameSite=None"),
        (Cookie("lang", "café"), b"lang=caf%C3%A9"),
        (Cookie("t", "a=b=c"), b"t=a=b=c"),
        (Cookie("c", "50%25"), b"c=50%2525"),
        (Cookie("a=b", 'x; Domain=evil.com\r\n"'), b"a%3Db=x%3B%20Domain=evil.com%0D%0A%22"),
    ],
)
def test_write_cookie(cookie, expected):
    assert write_cookie_for_response(cookie) == expected


@given(name=st.text(min_size=1), value=st.text())
def test_a_cookie_set_on_a_response_reads_back_unchanged(name, value):
    # The browser sends back the name=value part of Set-Cookie as it is.
    response = Response(200)
    response.set_cookie(Cookie(name, value, path="/", http_only=True))
    sent = response.get_first_header(b"set-cookie").split(b";")[0]
    assert Request("GET", b"/", [(b"cookie", sent)]).cookies == {name: value}
    assert response.cookies[name].value == value


@pytest.mark.parametrize(
    "field, bad",
    [
        ("name", ""),
        ("domain", "example.com; Secure"),
        ("domain", "example.com\r\nX: y"),
        ("path", "/\nX: y"),
        ("path", "/; HttpOnly"),
    ],
)
def test_injection_is_refused_when_writing(field, bad):
    cookie = Cookie("ok", "ok")
    setattr(cookie, field, bad)
    with pytest.raises(ValueError):
        write_cookie_for_response(cookie)


def test_constructor_and_write_type_checks():
    with pytest.raises(TypeError):
        Cookie(None, "")
    with pytest.raises(TypeError):
        Cookie("a", None)
    with pytest.raises(TypeError):
        Cookie("a", "b", expires="tomorrow")
    with pytest.raises(TypeError):
        write_cookie_for_response(None)
    with pytest.raises(ValueError):
        Cookie("a", "b", same_site=9)


@pytest.mark.parametrize(
    "cookie",
    [
        Cookie("sid", "abc"),
        Cookie("sid", "", _WHEN),
        Cookie("sid", "xyz", _WHEN, ".example.com", "/app", True, True, 60, CookieSameSiteMode.NONE),
        Cookie("pref", "dark mode", path="/", same_site=CookieSameSiteMode.LAX),
        Cookie("lang", "日本語"),
        Cookie("q", '"quoted"', max_age=0, same_site=CookieSameSiteMode.STRICT),
    ],
)
def test_round_trip(cookie):
    parsed = parse_cookie(write_cookie_for_response(cookie))
    assert parsed == cookie
    assert parsed.name == cookie.name
    assert write_cookie_for_response(parsed) == write_cookie_for_response(cookie)


def test_parse_tolerates_order_case_whitespace_and_unknown_attributes():
    cookie = parse_cookie(
        b"  id = 42 ;samesite=STRICT;  HTTPONLY ; Priority=High; pAtH=/p;"
        b"DOMAIN=Example.com; secure; MAX-AGE=10; Partitioned; expires=Wed, 21 Oct 2015 07:28:00 GMT;"
    )
    assert (cookie.name, cookie.value) == ("id", "42")
    assert cookie.same_site is CookieSameSiteMode.STRICT
    assert cookie.http_only and cookie.secure
    assert (cookie.path, cookie.domain, cookie.max_age) == ("/p", "Example.com", 10)
    assert cookie.expires == _WHEN


@pytest.mark.parametrize(
    "expires",
    [
        "Wed, 21 Oct 2015 07:28:00 GMT",
        "Wednesday, 21-Oct-15 07:28:00 GMT",
        "Wed Oct 21 07:28:00 2015",
        "Wed, 21 Oct 2015 09:28:00 +0200",
    ],
)
def test_parse_date_formats(expires):
    cookie = parse_cookie(f"a=b; Expires={expires}".encode())
    assert cookie.expires == _WHEN
    assert cookie.expires.utcoffset() == timedelta(0)


@pytest.mark.parametrize(
    "header, attribute, expected",
    [
        (b"a=b; Expires=not a date", "expires", None),
        (b"a=b; Max-Age=soon", "max_age", -1),
        (b"a=b; Max-Age=99999999999999999999999", "max_age", -1),
        (b"a=b; Max-Age=-5", "max_age", 0),
        (b"a=b; Max-Age=-99999999999999999999999", "max_age", 0),
        (b"a=b; Max-Age=-", "max_age", -1),
        (b"a=b; SameSite=sideways", "same_site", CookieSameSiteMode.UNDEFINED),
        (b"a=b; Domain=", "domain", None),
    ],
)
def test_parse_ignores_values_it_cannot_understand(header, attribute, expected):
    assert getattr(parse_cookie(header), attribute) == expected


def test_parse_errors_and_encodings():
    with pytest.raises(ValueError):
        parse_cookie(b"no-equals-sign; Path=/")
    with pytest.raises(TypeError):
        parse_cookie("a=b")
    assert parse_cookie(b"a=caf\xe9").value == "café"  # not UTF-8: read as Latin-1
    assert parse_cookie(bytearray(b"a=b")).value == "b"


def test_clone_is_equal_and_independent():
    original = Cookie("a", "b", _WHEN, "d", "/", True, True, 5, CookieSameSiteMode.LAX)
    copy = original.clone()
    assert copy == original and copy is not original
    copy.value = "changed"
    copy.max_age = 1
    assert original.value == "b" and original.max_age == 5


@pytest.mark.parametrize(
    "value, expected",
    [
        (_WHEN, b"Wed, 21 Oct 2015 07:28:00 GMT"),
        (datetime(2015, 10, 21, 7, 28), b"Wed, 21 Oct 2015 07:28:00 GMT"),
        (datetime(2015, 10, 21, 0, 28, tzinfo=timezone(timedelta(hours=-7))), b"Wed, 21 Oct 2015 07:28:00 GMT"),
        (datetime(2000, 1, 2, 3, 4, 5, 999999, tzinfo=UTC), b"Sun, 02 Jan 2000 03:04:05 GMT"),
        (datetime(2024, 2, 29, 23, 59, 59, tzinfo=UTC), b"Thu, 29 Feb 2024 23:59:59 GMT"),
    ],
)
def test_datetime_to_cookie_format_is_imf_fixdate_in_gmt(value, expected):
    assert datetime_to_cookie_format(value) == expected


@pytest.mark.parametrize(
    "raw, expected",
    [
        (b"a=1", (b"a", b"1")),
        (b" a = 1 ", (b"a", b"1")),
        (b"a=b=c", (b"a", b"b=c")),
        (b"=v", (b"", b"v")),
        (b"a=", (b"a", b"")),
    ],
)
def test_split_value(raw, expected):
    assert split_value(raw, b"=") == expected


def test_split_value_without_separator_raises_value_error():
    with pytest.raises(ValueError):
        split_value(b"flag", b"=")
