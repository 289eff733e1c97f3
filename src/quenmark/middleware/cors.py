"""Cross-origin resource sharing: which other origins a browser lets read the responses.

    app.middlewares.append(CORSMiddleware(
        allow_origins=["https://app.example.com"], allow_methods=["GET", "POST"],
        allow_headers=["content-type"], allow_credentials=True,
    ))

A preflight request (OPTIONS with Origin and Access-Control-Request-Method) is answered here and
never reaches the application: 204 with the permissions when the origin, the method and every
requested header are allowed, else 400 naming what was refused. An actual cross-origin request
goes to the application, and its response gets Access-Control-Allow-Origin (and the rest) when
the origin is allowed; a response to a refused origin goes out without them, so the browser keeps
it from the page. Requests without Origin pass untouched.

Methods are compared as sent (the standard ones in capitals, as browsers send them), header names
without regard to case; values that are not HTTP tokens are refused.
"""

from __future__ import annotations

import re
from collections.abc import Iterable

from quenmark.contents import TextContent
from quenmark.messages import Request, Response, is_cors_preflight_request, is_cors_request
from quenmark.middleware.pipeline import Handler
from quenmark.middleware.vary import add_vary

__all__ = ["CORSMiddleware"]

# tchar of RFC 9110: what a method or a header name may consist of.
_TOKEN = re.compile(rb"[!#$%&'*+\-.^_`|~0-9A-Za-z]+")
# What an origin ("scheme://host[:port]", or "null") may consist of: visible ASCII.
_ORIGIN = re.compile(rb"[!-~]+")
# Browsers send these in capitals whatever the page wrote.
_STANDARD_METHODS = frozenset({b"DELETE", b"GET", b"HEAD", b"OPTIONS", b"POST", b"PUT"})
# Headers a browser sends without asking; listed or not, they are allowed.
_SAFELISTED_HEADERS = frozenset({b"accept", b"accept-language", b"content-language", b"content-type"})


def _ascii(values: Iterable[str], what: str) -> list[bytes]:
    out = []
    for value in values:
        data = value.encode("ascii") if isinstance(value, str) else bytes(value)
        if value != "*" and not _TOKEN.fullmatch(data):
            raise ValueError(f"{what} {value!r} is not an HTTP token")
        out.append(data)
    return out


class CORSMiddleware:
    """`allow_origins`: origins allowed ("https://example.com"; "*" for any), and/or
    `allow_origin_regex`, a pattern an allowed origin matches whole. `allow_methods` and
    `allow_headers`: what a preflight may ask for ("*" for anything). `allow_credentials`: whether
    the browser may send cookies and read the response (not with "*" origins: list them).
    `expose_headers`: response headers a page may read. `max_age`: seconds a browser may keep a
    preflight's answer."""

    def __init__(
        self,
        allow_origins: Iterable[str] = (),
        allow_methods: Iterable[str] = ("GET", "HEAD", "POST"),
        allow_headers: Iterable[str] = (),
        allow_credentials: bool = False,
        expose_headers: Iterable[str] = (),
        max_age: int = 600,
        allow_origin_regex: str | None = None,
    ) -> None:
        origins = [o.rstrip("/").lower() for o in allow_origins]
        self.any_origin = "*" in origins
        if self.any_origin and allow_credentials:
            raise ValueError(
                "allow_credentials cannot be combined with allow_origins=['*']: list the origins "
                "that may send credentials"
            )
        self.origins = frozenset(o.encode("ascii") for o in origins if o != "*")
        self.origin_regex = re.compile(allow_origin_regex.encode("ascii")) if allow_origin_regex else None
        methods = _ascii(allow_methods, "Method")
        self.any_method = b"*" in methods
        self.methods = frozenset(m for m in methods if m != b"*")
        headers = [h.lower() for h in _ascii(allow_headers, "Header name")]
        self.any_header = b"*" in headers
        self.headers = frozenset(h for h in headers if h != b"*") | _SAFELISTED_HEADERS
        self.credentials = bool(allow_credentials)
        self.expose = b", ".join(_ascii(expose_headers, "Header name"))
        self.max_age = str(int(max_age)).encode()
        self.allowed_methods = b", ".join(sorted(self.methods)) if self.methods else b"*"

    async def __call__(self, request: Request, handler: Handler) -> Response:
        if not is_cors_request(request):
            return await handler(request)
        origin = request.get_first_header(b"origin") or b""
        if is_cors_preflight_request(request):
            return self.preflight(request, origin)
        response = await handler(request)
        if self.origin_allowed(origin):
            self.allow(response, origin)
            if self.expose:
                response.set_header(b"access-control-expose-headers", self.expose)
        return response

    def origin_allowed(self, origin: bytes) -> bool:
        if self.any_origin:
            return True
        if not _ORIGIN.fullmatch(origin):
            return False
        origin = origin.lower()
        if origin in self.origins:
            return True
        return self.origin_regex is not None and self.origin_regex.fullmatch(origin) is not None

    def allow(self, response: Response, origin: bytes) -> None:
        if self.any_origin:
            response.set_header(b"access-control-allow-origin", b"*")
            return
        # origin_allowed matched it, so it holds no byte that could break the header.
        response.set_header(b"access-control-allow-origin", origin)
        if self.credentials:
            response.set_header(b"access-control-allow-credentials", b"true")
        add_vary(response, b"Origin")

    def preflight(self, request: Request, origin: bytes) -> Response:
        refused = []
        if not self.origin_allowed(origin):
            refused.append("origin")
        method = (request.get_first_header(b"access-control-request-method") or b"").strip()
        if method.upper() in _STANDARD_METHODS:
            method = method.upper()
        if not _TOKEN.fullmatch(method) or not (self.any_method or method in self.methods):
            refused.append("method")
        requested = []
        for value in request.get_headers(b"access-control-request-headers"):
            for name in value.split(b","):
                name = name.strip().lower()
                if not name:
                    continue
                if not _TOKEN.fullmatch(name) or not (self.any_header or name in self.headers):
                    refused.append("headers")
                    break
                requested.append(name)
        if refused:
            response = Response(400, None, TextContent(f"Disallowed CORS {', '.join(dict.fromkeys(refused))}"))
            add_vary(response, b"Origin")
            return response
        response = Response(204)
        self.allow(response, origin)
        response.set_header(b"access-control-allow-methods", method if self.any_method else self.allowed_methods)
        if requested:
            response.set_header(b"access-control-allow-headers", b", ".join(dict.fromkeys(requested)))
        response.set_header(b"access-control-max-age", self.max_age)
        add_vary(response, b"Access-Control-Request-Method")
        add_vary(response, b"Access-Control-Request-Headers")
        return response
