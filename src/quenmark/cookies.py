"""HTTP cookies: the `Cookie` type and its Set-Cookie form (RFC 6265)."""

from __future__ import annotations

import re
from datetime import UTC, datetime
from email.utils import parsedate_to_datetime
from enum import IntEnum
from urllib.parse import quote, unquote

__all__ = [
    "Cookie",
    "CookieSameSiteMode",
    "datetime_to_cookie_format",
    "parse_cookie",
    "split_value",
    "write_cookie_for_response",
]


class CookieSameSiteMode(IntEnum):
    UNDEFINED = 0
    LAX = 1
    STRICT = 2
    NONE = 3


_SAME_SITE_TEXT = {
    CookieSameSiteMode.LAX: b"Lax",
    CookieSameSiteMode.STRICT: b"Strict",
    CookieSameSiteMode.NONE: b"None",
}
_SAME_SITE_BY_NAME = {
    "lax": CookieSameSiteMode.LAX,
    "strict": CookieSameSiteMode.STRICT,
    "none": CookieSameSiteMode.NONE,
}

# Any of these in a Domain or Path attribute would end the header line (CR, LF), truncate it
# (NUL) or start a new attribute (";"): refusing them closes header and cookie injection.
_UNSAFE = re.compile(r"[\x00-\x1f\x7f;]")

# Names and values are percent-encoded, because a request's cookies are percent-decoded when
# they are read: what a response sets is what the next request reads. Left as they are: the
# cookie-octets of RFC 6265 except "%" (and "=" in a name, which would end it).
_VALUE_SAFE = "!#$&'()*+-./:<=>?@[]^_`{|}~"
_NAME_SAFE = _VALUE_SAFE.replace("=", "")
_MAX_AGE = re.compile(r"-?[0-9]{1,18}\Z")
_NEGATIVE = re.compile(r"-[0-9]+\Z")

_WEEKDAYS = (b"Mon", b"Tue", b"Wed", b"Thu", b"Fri", b"Sat", b"Sun")
_MONTHS = (
    b"Jan", b"Feb", b"Mar", b"Apr", b"May", b"Jun",
    b"Jul", b"Aug", b"Sep", b"Oct", b"Nov", b"Dec",
)  # fmt: skip


class Cookie:
    """A cookie with the attributes of a Set-Cookie header.

    `max_age` -1 and `same_site` UNDEFINED mean "not set": the attribute is then
    left out of the header.
    """

    __slots__ = (
        "_name",
        "_value",
        "expires",
        "domain",
        "path",
        "http_only",
        "secure",
        "max_age",
        "same_site",
    )

    def __init__(
        self,
        name: str,
        value: str,
        expires: datetime | None = None,
        domain: str | None = None,
        path: str | None = None,
        http_only: bool = False,
        secure: bool = False,
        max_age: int = -1,
        same_site: CookieSameSiteMode = CookieSameSiteMode.UNDEFINED,
    ) -> None:
        if not isinstance(name, str):
            raise TypeError(f"Cookie name must be str, not {type(name).__name__}")
        if not isinstance(value, str):
            raise TypeError(f"Cookie value must be str, not {type(value).__name__}")
        if expires is not None and not isinstance(expires, datetime):
            raise TypeError("Cookie expires must be a datetime or None")
        self._name = name
        self._value = value
        self.expires = expires
        self.domain = domain
        self.path = path
        self.http_only = bool(http_only)
        self.secure = bool(secure)
        self.max_age = int(max_age)
        self.same_site = CookieSameSiteMode(same_site)

    @property
    def name(self) -> str:
        return self._name

    @name.setter
    def name(self, value: str) -> None:
        if not isinstance(value, str):
            raise TypeError(f"Cookie name must be str, not {type(value).__name__}")
        self._name = value

    @property
    def value(self) -> str:
        return self._value

    @value.setter
    def value(self, value: str) -> None:
        if not isinstance(value, str):
            raise TypeError(f"Cookie value must be str, not {type(value).__name__}")
        self._value = value

    def clone(self) -> Cookie:
        return Cookie(
            self._name,
            self._value,
            self.expires,
            self.domain,
            self.path,
            self.http_only,
            self.secure,
            self.max_age,
            self.same_site,
        )

    def _key(self) -> tuple[object, ...]:
        return (
            self._name,
            self._value,
            self.expires,
            self.domain,
            self.path,
            self.http_only,
            self.secure,
            self.max_age,
            self.same_site,
        )

    def __eq__(self, other: object) -> bool:
        if isinstance(other, Cookie):
            return self._key() == other._key()
        return NotImplemented

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"<Cookie {self._name}={self._value!r}>"


def datetime_to_cookie_format(value: datetime) -> bytes:
    """Format a datetime as an IMF-fixdate in GMT; a naive datetime is taken as UTC."""
    if value.tzinfo is None:
        value = value.replace(tzinfo=UTC)
    else:
        value = value.astimezone(UTC)
    return b"%s, %02d %s %04d %02d:%02d:%02d GMT" % (
        _WEEKDAYS[value.weekday()],
        value.day,
        _MONTHS[value.month - 1],
        value.year,
        value.hour,
        value.minute,
        value.second,
    )


def _checked(text: str, what: str) -> bytes:
    if _UNSAFE.search(text) is not None:
        raise ValueError(
            f"Cookie {what} contains a character that is not allowed in a "
            f"Set-Cookie header (control character or ';'): {text[:100]!r}"
        )
    return text.encode("utf-8")


def write_cookie_for_response(cookie: Cookie) -> bytes:
    """The Set-Cookie header value for `cookie`, attributes in RFC 6265 form.

    The name and the value are percent-encoded (UTF-8) where they hold anything but
    the characters a cookie may carry as they are, "%" included, so that a request
    reads back exactly the text that was set; a domain or path holding a control
    character or ";" raises `ValueError`, because it would inject headers or attributes.
    """
    if not isinstance(cookie, Cookie):
        raise TypeError(
            f"Expected a Cookie, got {type(cookie).__name__}"
        )
    name = cookie._name
    if not name:
        raise ValueError("Cookie name must not be empty")
    parts = [
        (quote(name, _NAME_SAFE) + "=" + quote(cookie._value, _VALUE_SAFE)).encode("ascii")
    ]
    if cookie.expires is not None:
        parts.append(b"Expires=" + datetime_to_cookie_format(cookie.expires))
    if cookie.max_age >= 0:
        parts.append(b"Max-Age=%d" % cookie.max_age)
    if cookie.domain:
        parts.append(b"Domain=" + _checked(cookie.domain, "domain"))
    if cookie.path:
        parts.append(b"Path=" + _checked(cookie.path, "path"))
    if cookie.secure:
        parts.append(b"Secure")
    if cookie.http_only:
        parts.append(b"HttpOnly")
    same_site = _SAME_SITE_TEXT.get(cookie.same_site)
    if same_site is not None:
        parts.append(b"SameSite=" + same_site)
    return b"; ".join(parts)


def _parse_expires(text: str) -> datetime | None:
    try:
        value = parsedate_to_datetime(text)
    except (TypeError, ValueError, IndexError, OverflowError):
        return None
    if value.tzinfo is None:
        return value.replace(tzinfo=UTC)
    return value.astimezone(UTC)


def parse_cookie(value: bytes) -> Cookie:
    """Parse one Set-Cookie header value.

    Attribute names are matched in any case and order; unknown attributes and
    attribute values that cannot be understood (a bad date, a non-numeric Max-Age)
    are ignored, as user agents do. A value without "=" in its first field is not a
    cookie and raises `ValueError`. The name and the value are percent-decoded, as a
    request's cookies are.
    """
    if not isinstance(value, (bytes, bytearray, memoryview)):
        raise TypeError(f"Expected bytes, got {type(value).__name__}")
    raw = bytes(value)
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        text = raw.decode("iso-8859-1")
    first, *attributes = text.split(";")
    name, sep, cookie_value = first.partition("=")
    if not sep:
        raise ValueError(f"Invalid Set-Cookie value, missing '=': {raw[:100]!r}")
    cookie = Cookie(unquote(name.strip()), unquote(cookie_value.strip()))
    for attribute in attributes:
        key, _, attribute_value = attribute.partition("=")
        key = key.strip().lower()
        attribute_value = attribute_value.strip()
        if key == "expires":
            expires = _parse_expires(attribute_value)
            if expires is not None:
                cookie.expires = expires
        elif key == "max-age":
            # A zero or negative Max-Age means "expire now" (RFC 6265, 5.2.2), however
            # many digits it has: reading a long one as absent would keep the cookie.
            if _MAX_AGE.match(attribute_value):
                cookie.max_age = max(int(attribute_value), 0)
            elif _NEGATIVE.match(attribute_value):
                cookie.max_age = 0
        elif key == "domain":
            cookie.domain = attribute_value or None
        elif key == "path":
            cookie.path = attribute_value or None
        elif key == "secure":
            cookie.secure = True
        elif key == "httponly":
            cookie.http_only = True
        elif key == "samesite":
            cookie.same_site = _SAME_SITE_BY_NAME.get(
                attribute_value.lower(), CookieSameSiteMode.UNDEFINED
            )
    return cookie


def split_value(raw: bytes, separator: bytes) -> tuple[bytes, bytes]:
    """Split `raw` at the first `separator`, trimming spaces and tabs around both sides.

    Raises `ValueError` when the separator does not occur.
    """
    index = raw.find(separator)
    if index == -1:
        raise ValueError(f"Separator {separator!r} not found")
    return (
        raw[:index].strip(b" \t"),
        raw[index + len(separator) :].strip(b" \t"),
    )
