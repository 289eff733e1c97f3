"""Cookies: Set-Cookie values of any bytes, and the Set-Cookie round trip the tests state."""

from hypothesis import strategies as st

from fuzz import fuzzer, note, reuse
from quenmark.cookies import Cookie, parse_cookie, split_value, write_cookie_for_response
from tests.siblings import test_properties as properties

reuse("cookies.round_trip", properties.test_cookie_round_trip)

PIECES = [b";", b"; ", b"=", b" ", b'"', b"\\", b"\r\n", b"\x00", b"\xff", b"%", b"Expires=",
          b"Max-Age=", b"-1", b"99999999999999999999", b"Domain=", b"Path=", b"Secure", b"HttpOnly",
          b"SameSite=", b"Lax", b"none", b"Thu, 01 Jan 1970 00:00:00 GMT", b"Feb 30 2020",
          b"\xc3\xa9"]
set_cookie = st.lists(st.one_of(st.sampled_from(PIECES), st.binary(max_size=4)), max_size=16)
set_cookie = set_cookie.map(b"".join)


@fuzzer(value=set_cookie)
def parse_any_set_cookie(value):
    """Any value parses to a cookie or is refused with ValueError; a parsed cookie that can be
    written again reads back the same."""
    try:
        cookie = parse_cookie(value)
    except ValueError as error:
        note("parse_cookie", error)
        assert b"=" not in value.split(b";", 1)[0], value
        return
    assert isinstance(cookie, Cookie) and cookie.max_age >= -1
    try:
        written = write_cookie_for_response(cookie)
    except ValueError as error:
        note("write_cookie_for_response", error)
        return
    assert not any(c in written for c in b"\r\n\x00")
    again = parse_cookie(written)
    if cookie.expires is not None:  # written to the second
        cookie.expires = cookie.expires.replace(microsecond=0)
    assert again == cookie, (value, written)


@fuzzer(raw=set_cookie, separator=st.sampled_from([b"=", b"; ", b"\\", b"ab"]))
def split(raw, separator):
    try:
        name, value = split_value(raw, separator)
    except ValueError:
        assert separator not in raw
        return
    assert name == raw[: raw.index(separator)].strip(b" \t")
    assert value == raw[raw.index(separator) + len(separator) :].strip(b" \t")
