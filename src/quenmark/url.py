"""URLs as byte strings, the way they arrive in HTTP requests.

`URL` splits a URL into scheme, authority, path, query and fragment following
RFC 3986, without decoding anything: every component stays bytes, so what comes
from the wire can be passed back to it unchanged.
"""

from __future__ import annotations

import re

from quenmark.exceptions import InvalidOperation

__all__ = ["InvalidURL", "URL", "build_absolute_url"]


class InvalidURL(ValueError):
    """The value cannot be parsed as a URL."""


# Bytes that can never appear in a URL as sent on the wire: controls and space. Letting
# them through would carry header injection (CR, LF) or request smuggling further on.
# They are percent-encoded rather than refused: a server that hands over the decoded
# request path ("/a b" for "/a%20b") must still give every request a URL, or reading
# `request.url` (and logging the request) would fail for it.
_FORBIDDEN = re.compile(rb"[\x00-\x20\x7f]")


def _percent_encode(match: re.Match[bytes]) -> bytes:
    return b"%%%02X" % match[0][0]

_SCHEME = re.compile(rb"[A-Za-z][A-Za-z0-9+.\-]*\Z")
# A host as it may stand in an authority built from a Host header: a registered name or
# IPv4 address, or a bracketed IP literal, optionally followed by a port.
_HOST_PORT = re.compile(rb"(?:\[[0-9A-Za-z:.%\-]*\]|[^\[\]/?#@\\\x00-\x20\x7f:]*)(?::[0-9]*)?\Z")


def _split_authority(authority: bytes) -> tuple[bytes | None, bytes, int]:
    """Return (userinfo, host, port) of an authority; port 0 when absent."""
    userinfo = None
    at = authority.rfind(b"@")
    if at != -1:
        userinfo = authority[:at]
        authority = authority[at + 1 :]
    port_text = b""
    if authority[:1] == b"[":
        end = authority.find(b"]")
        if end == -1:
            raise InvalidURL("Invalid IPv6 address in URL: missing ']'")
        host = authority[: end + 1]
        rest = authority[end + 1 :]
        if rest:
            if rest[:1] != b":":
                raise InvalidURL("Invalid characters after an IPv6 address in URL")
            port_text = rest[1:]
    else:
        colon = authority.rfind(b":")
        if colon == -1:
            host = authority
        else:
            host = authority[:colon]
            port_text = authority[colon + 1 :]
            if b":" in host:
                raise InvalidURL("Invalid host in URL: a colon outside an IPv6 literal")
    port = 0
    if port_text:
        if not port_text.isdigit() or len(port_text) > 5:
            raise InvalidURL(f"Invalid port in URL: {port_text!r}")
        port = int(port_text)
        if port > 65535:
            raise InvalidURL(f"Port out of range in URL: {port}")
    return userinfo, host, port


def _remove_dot_segments(path: bytes) -> bytes:
    if b"." not in path:
        return path
    absolute = path[:1] == b"/"
    segments = path.split(b"/")
    if absolute:
        segments = segments[1:]
    output: list[bytes] = []
    for segment in segments:
        if segment == b"..":
            if output:
                output.pop()
        elif segment != b".":
            output.append(segment)
    if segments and segments[-1] in (b".", b".."):
        output.append(b"")
    result = b"/".join(output)
    return b"/" + result if absolute else result


def _compose(
    schema: bytes | None,
    userinfo: bytes | None,
    host: bytes | None,
    port: int,
    path: bytes | None,
    query: bytes | None,
    fragment: bytes | None,
) -> bytes:
    parts: list[bytes] = []
    if schema is not None:
        parts.append(schema)
        parts.append(b":")
    if host is not None:
        parts.append(b"//")
        if userinfo is not None:
            parts.append(userinfo)
            parts.append(b"@")
        parts.append(host)
        if port:
            parts.append(b":%d" % port)
        if path and path[:1] != b"/":
            parts.append(b"/")
    elif path and path[:2] == b"//":
        # Without an authority a path must not start with "//", or it would be read
        # back as one; "/." keeps the path and the meaning (RFC 3986, 5.3).
        parts.append(b"/.")
    if path:
        parts.append(path)
    if query is not None:
        parts.append(b"?")
        parts.append(query)
    if fragment is not None:
        parts.append(b"#")
        parts.append(fragment)
    return b"".join(parts)


class URL:
    """A URL held as bytes, absolute or relative.

    Fields are bytes or None; `port` is 0 when the URL has none. `host` keeps the
    brackets of an IPv6 literal, as it is written in a Host header. For a URL with an
    authority and an empty path, `path` is b"/" (the path that a request for it uses).
    Spaces and control characters are percent-encoded, so `value` is always a URL that
    can be sent as it is, and never carries a line break into a header.
    """

    __slots__ = (
        "value",
        "schema",
        "host",
        "port",
        "path",
        "query",
        "fragment",
        "is_absolute",
        "userinfo",
    )

    value: bytes
    schema: bytes | None
    host: bytes | None
    port: int
    path: bytes | None
    query: bytes | None
    fragment: bytes | None
    is_absolute: bool
    userinfo: bytes | None

    def __init__(self, value: bytes) -> None:
        if type(value) is not bytes:
            if isinstance(value, (bytes, bytearray, memoryview)):
                value = bytes(value)
            else:
                raise TypeError(
                    f"URL value must be bytes, not {type(value).__name__}"
                )
        if _FORBIDDEN.search(value) is not None:
            value = _FORBIDDEN.sub(_percent_encode, value)
        self.value = value
        self.schema = None
        self.host = None
        self.port = 0
        self.path = None
        self.query = None
        self.fragment = None
        self.is_absolute = False
        self.userinfo = None
        if not value:
            return

        rest = value
        hash_index = rest.find(b"#")
        if hash_index != -1:
            self.fragment = rest[hash_index + 1 :]
            rest = rest[:hash_index]
        question = rest.find(b"?")
        if question != -1:
            self.query = rest[question + 1 :]
            rest = rest[:question]

        # Only a colon before the first slash can end a scheme; a relative path's first
        # segment never holds one (RFC 3986, 4.2).
        colon = rest.find(b":")
        if colon > 0:
            slash = rest.find(b"/")
            if slash == -1 or colon < slash:
                scheme = rest[:colon]
                if _SCHEME.match(scheme) is None:
                    raise InvalidURL(f"Invalid scheme in URL: {scheme[:50]!r}")
                self.schema = scheme.lower()
                self.is_absolute = True
                rest = rest[colon + 1 :]
        elif colon == 0:
            raise InvalidURL("Invalid URL: it starts with ':'")

        if rest[:2] == b"//":
            slash = rest.find(b"/", 2)
            if slash == -1:
                authority, rest = rest[2:], b""
            else:
                authority, rest = rest[2:slash], rest[slash:]
            self.userinfo, self.host, self.port = _split_authority(authority)
            self.path = rest or b"/"
        else:
            self.path = rest

    # -- protocol ---------------------------------------------------------------------

    def __bool__(self) -> bool:
        return bool(self.value)

    def __eq__(self, other: object) -> bool:
        if isinstance(other, URL):
            return self.value == other.value
        if isinstance(other, bytes):
            return self.value == other
        return NotImplemented

    def __hash__(self) -> int:
        return hash(self.value)

    def __repr__(self) -> str:
        return f"<URL {self.value!r}>"

    def __str__(self) -> str:
        return self.value.decode("utf-8", "replace")

    # -- derived URLs -----------------------------------------------------------------

    def _replace(self, **changes: object) -> URL:
        fields: dict[str, object] = {
            "schema": self.schema,
            "userinfo": self.userinfo,
            "host": self.host,
            "port": self.port,
            "path": self.path,
            "query": self.query,
            "fragment": self.fragment,
        }
        fields.update(changes)
        return URL(_compose(**fields))  # type: ignore[arg-type]

    def _require_absolute(self, operation: str) -> None:
        if not self.is_absolute:
            raise InvalidOperation(f"Cannot {operation} of a relative URL")

    def join(self, other: URL | bytes) -> URL:
        """Resolve `other` against this URL as a base (RFC 3986, 5.2)."""
        if not isinstance(other, URL):
            other = URL(other)
        if other.schema is not None:
            return other._replace(path=_remove_dot_segments(other.path or b""))
        if other.host is not None:
            return other._replace(
                schema=self.schema, path=_remove_dot_segments(other.path or b"")
            )
        query = other.query
        if not other.path:
            path = self.path
            if query is None:
                query = self.query
        elif other.path[:1] == b"/":
            path = _remove_dot_segments(other.path)
        else:
            base_path = self.path or b""
            if self.host is not None and not base_path:
                merged = b"/" + other.path
            else:
                merged = base_path[: base_path.rfind(b"/") + 1] + other.path
            path = _remove_dot_segments(merged)
        return self._replace(path=path, query=query, fragment=other.fragment)

    def base_url(self) -> URL:
        """The URL of the origin: scheme, host and port, with path "/"."""
        self._require_absolute("get the base URL")
        return URL(_compose(self.schema, None, self.host, self.port, b"/", None, None))

    def with_host(self, host: bytes) -> URL:
        """Replace host and port with `host`, written as in a Host header (host[:port])."""
        self._require_absolute("set the host")
        host = bytes(host)
        if _HOST_PORT.match(host) is None:
            raise InvalidURL(f"Invalid host: {host[:200]!r}")
        _, new_host, port = _split_authority(host)
        return self._replace(host=new_host, port=port)

    def with_scheme(self, scheme: bytes) -> URL:
        self._require_absolute("set the scheme")
        scheme = bytes(scheme)
        if _SCHEME.match(scheme) is None:
            raise InvalidURL(f"Invalid scheme: {scheme[:50]!r}")
        return self._replace(schema=scheme.lower())

    def with_query(self, query: bytes | None) -> URL:
        """Replace the query; None or empty removes it. The fragment is kept."""
        return self._replace(query=bytes(query) if query else None)


def build_absolute_url(
    scheme: bytes, host: bytes, base_path: bytes, path: bytes | None
) -> URL:
    """Build the URL of `path` under `base_path` on `scheme://host`.

    Exactly one slash joins the base path and the path, however either is written.
    `host` usually comes from a request's Host header, so anything that would move
    text out of the authority (a slash, "?", "#", "@", whitespace) is refused. An
    empty scheme gives a scheme-relative URL ("//host/path").
    """
    scheme = bytes(scheme)
    host = bytes(host)
    if scheme and _SCHEME.match(scheme) is None:
        raise InvalidURL(f"Invalid scheme: {scheme[:50]!r}")
    if _HOST_PORT.match(host) is None:
        raise InvalidURL(f"Invalid host: {host[:200]!r}")
    base = bytes(base_path).strip(b"/") if base_path else b""
    tail = bytes(path).lstrip(b"/") if path else b""
    if base:
        full_path = b"/" + base + b"/" + tail if (tail or path) else b"/" + base
    else:
        full_path = b"/" + tail
    prefix = scheme.lower() + b"://" if scheme else b"//"
    return URL(prefix + host + full_path)
