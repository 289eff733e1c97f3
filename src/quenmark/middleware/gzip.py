"""Compressing responses with gzip for the clients that accept it.

    app.middlewares.append(GZipMiddleware(minimum_size=500))

A response is compressed when the request's Accept-Encoding accepts gzip (an explicit "gzip" or
"x-gzip", or "*", with a quality above zero: "gzip;q=0" refuses it) and the response lends itself
to it: a body of `minimum_size` bytes or more, or a stream; a compressible media type (text,
JSON, JavaScript, XML, SVG...; `text/event-stream` is left alone, its events must arrive as they
are sent); no Content-Encoding of its own, no Cache-Control "no-transform", not a partial (206)
or bodiless status. A stream is compressed chunk by chunk, each one flushed, so that it still
arrives as it is produced; it goes out with chunked transfer coding, since its compressed size is
not known in advance.

Every response that lends itself to compression gets "Vary: Accept-Encoding", whether this
client's copy is compressed or not, so that a cache does not hand one client's form to another;
a compressed one's strong ETag is made weak, since its bytes are not the identity form's.
"""

from __future__ import annotations

import zlib
from collections.abc import AsyncIterator, Callable, Iterable

from quenmark.contents import Content, StreamedContent
from quenmark.messages import Request, Response
from quenmark.middleware.pipeline import Handler
from quenmark.middleware.vary import add_vary

__all__ = ["GZipMiddleware", "accepts_gzip"]

_COMPRESSIBLE_PREFIXES = (b"text/",)
_COMPRESSIBLE_TYPES = frozenset({
    b"application/json", b"application/javascript", b"application/xml", b"application/xhtml+xml",
    b"application/ld+json", b"application/manifest+json", b"application/wasm",
    b"application/x-www-form-urlencoded", b"image/svg+xml", b"application/rss+xml",
    b"application/atom+xml", b"application/graphql-response+json", b"application/problem+json",
})
_NEVER = frozenset({b"text/event-stream"})


def _quality(parameters: list[bytes]) -> float | None:
    """The q value among a coding's parameters: 1 without one, None when it is malformed."""
    for parameter in parameters:
        name, _, value = parameter.partition(b"=")
        if name.strip().lower() == b"q":
            try:
                q = float(value.strip())
            except ValueError:
                return None
            return q if 0 <= q <= 1 else None
    return 1.0


def accepts_gzip(values: Iterable[bytes]) -> bool:
    """Whether Accept-Encoding `values` accept gzip: named with a quality above zero, or covered
    by "*" when not named. A coding whose quality is malformed counts as not accepted."""
    named: float | None = None
    anything: float | None = None
    for value in values:
        for item in value.split(b","):
            coding, *parameters = item.split(b";")
            coding = coding.strip().lower()
            if coding in (b"gzip", b"x-gzip"):
                q = _quality(parameters)
                named = max(named or 0.0, q or 0.0)
            elif coding == b"*":
                anything = _quality(parameters) or 0.0
    if named is not None:
        return named > 0
    return anything is not None and anything > 0


class GZipMiddleware:
    """`minimum_size`: the smallest body, in bytes, worth compressing (streams always are).
    `compress_level`: zlib's level, 1 (fast) to 9 (small). `media_types`: further media types to
    compress, besides the text and structured-text ones."""

    def __init__(self, minimum_size: int = 500, compress_level: int = 6,
                 media_types: Iterable[str] = ()) -> None:
        if not 1 <= compress_level <= 9:
            raise ValueError("compress_level must be between 1 and 9")
        self.minimum_size = int(minimum_size)
        self.level = compress_level
        self.extra_types = frozenset(t.lower().encode("ascii") for t in media_types)

    async def __call__(self, request: Request, handler: Handler) -> Response:
        response = await handler(request)
        content = response.content
        if content is None or not self.lends_itself(response, content):
            return response
        add_vary(response, b"Accept-Encoding")
        if not accepts_gzip(request.get_headers(b"accept-encoding")):
            return response
        if content.body is not None:
            response.content = Content(content.type, gzip_bytes(content.body, self.level))
        else:
            response.content = StreamedContent(content.type, _compressed_parts(content, self.level))
        response.remove_header(b"content-length")
        response.set_header(b"content-encoding", b"gzip")
        etag = response.get_first_header(b"etag")
        if etag is not None and not etag.startswith(b"W/"):
            response.set_header(b"etag", b"W/" + etag)
        return response

    def lends_itself(self, response: Response, content: Content | None) -> bool:
        status = response.status
        if content is None or status < 200 or status in (204, 206, 304):
            return False
        if content.body is not None and len(content.body) < self.minimum_size:
            return False
        media_type = (content.type or b"").partition(b";")[0].strip().lower()
        declared = response.get_first_header(b"content-type")
        if declared is not None:
            media_type = declared.partition(b";")[0].strip().lower()
        if media_type in _NEVER or not (
            media_type.startswith(_COMPRESSIBLE_PREFIXES)
            or media_type in _COMPRESSIBLE_TYPES
            or media_type in self.extra_types
            or media_type.endswith((b"+json", b"+xml"))
        ):
            return False
        if response.has_header(b"content-encoding") or response.has_header(b"content-range"):
            return False
        cache_control = b",".join(response.get_headers(b"cache-control")).lower()
        return b"no-transform" not in cache_control


def gzip_bytes(data: bytes, level: int) -> bytes:
    compressor = zlib.compressobj(level, zlib.DEFLATED, 16 + zlib.MAX_WBITS)
    return compressor.compress(data) + compressor.flush()


def _compressed_parts(content: Content, level: int) -> Callable[[], AsyncIterator[bytes]]:
    async def parts() -> AsyncIterator[bytes]:
        compressor = zlib.compressobj(level, zlib.DEFLATED, 16 + zlib.MAX_WBITS)
        source = content.get_parts()
        try:
            async for chunk in source:
                if chunk:
                    # Flushed, so that what the stream produced reaches the client now.
                    yield compressor.compress(chunk) + compressor.flush(zlib.Z_SYNC_FLUSH)
            yield compressor.flush()
        finally:
            close = getattr(source, "aclose", None)
            if close is not None:
                await close()

    return parts
