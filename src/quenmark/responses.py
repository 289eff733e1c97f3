"""Shortcuts that build the common responses.

`quenmark.messages` and `quenmark.scribe` are compiled modules that import the sibling
modules of the package while they load, so they are imported here only when a response is
built.
"""

from __future__ import annotations

from collections.abc import AsyncIterable, AsyncIterator, Callable
from typing import TYPE_CHECKING, Any, TypeVar
from urllib.parse import quote

from quenmark.contents import (
    HTMLContent,
    JSONContent,
    ServerSentEvent,
    StreamedContent,
    TextContent,
)

if TYPE_CHECKING:
    from quenmark.messages import Response

T = TypeVar("T")

__all__ = ["html", "json", "no_content", "redirect", "sse", "stream", "text", "write_event"]

# Characters that may stand in a Location value as they are: the reserved and
# unreserved characters of RFC 3986, and "%" so that escapes are kept as given.
_LOCATION_SAFE = ":/?#[]@!$&'()*+,;=%~-._"


def _response(status: int, headers: list[tuple[bytes, bytes]] | None = None, content: Any = None) -> Response:
    from quenmark.messages import acquire_response

    return acquire_response(status, headers, content)


def text(value: str, status: int = 200) -> Response:
    """A text/plain response (UTF-8)."""
    return _response(status, None, TextContent(value))


def html(value: str, status: int = 200) -> Response:
    """A text/html response (UTF-8)."""
    return _response(status, None, HTMLContent(value))


def json(data: Any, status: int = 200, dumps: Callable[[Any], str] | None = None) -> Response:
    """An application/json response; `dumps` defaults to the configured JSON settings."""
    return _response(status, None, JSONContent(data, dumps))


def _location(location: str | bytes) -> bytes:
    if isinstance(location, str):
        value = quote(location, safe=_LOCATION_SAFE).encode("ascii")
    elif isinstance(location, (bytes, bytearray, memoryview)):
        value = bytes(location)
    else:
        raise TypeError(f"location must be str or bytes, not {type(location).__name__}")
    # A line break would end the header and let the rest pose as more headers.
    if b"\r" in value or b"\n" in value or b"\x00" in value:
        raise ValueError("A redirect location must not contain CR, LF or NUL")
    return value


def redirect(location: str | bytes, status: int = 302) -> Response:
    """A redirect to `location`; text is percent-encoded where it is not ASCII."""
    return _response(status, [(b"location", _location(location))])


def no_content() -> Response:
    return _response(204)


Provider = AsyncIterable[T] | Callable[[], AsyncIterable[T]]


def _provider(source: Provider[T], what: str) -> Callable[[], AsyncIterable[T]]:
    """`source` as the function that the writers call: a function is taken as it is, an async
    iterable (a generator object) is wrapped. Anything else is refused here, while the handler
    can still be answered with an error, not after the status line went out."""
    if callable(source):
        return source
    if hasattr(type(source), "__aiter__"):
        return lambda: source
    raise TypeError(
        f"{what}() takes an async iterable or a function returning one, not {type(source).__name__}"
    )


def stream(
    provider: Provider[bytes],
    content_type: bytes = b"application/octet-stream",
    status: int = 200,
) -> Response:
    """A response whose body `provider` produces chunk by chunk (chunked encoding): an async
    iterable of bytes, or a function returning one."""
    return _response(status, None, StreamedContent(content_type, _provider(provider, "stream")))


def write_event(event: ServerSentEvent) -> bytes:
    """One event in the text/event-stream wire format (`quenmark.scribe.write_sse`): id, comment
    lines, event, data, retry, then the blank line that ends the event."""
    from quenmark.scribe import write_sse

    return write_sse(event)


def sse(provider: Provider[ServerSentEvent], status: int = 200) -> Response:
    """A text/event-stream response sending each event that `provider` yields: an async
    iterable of `ServerSentEvent`, or a function returning one."""
    from quenmark.scribe import write_sse

    source = _provider(provider, "sse")

    async def events() -> AsyncIterator[bytes]:
        iterator = aiter(source())
        try:
            async for event in iterator:
                if not isinstance(event, ServerSentEvent):
                    raise TypeError(
                        f"An event stream must yield ServerSentEvent objects, not {type(event).__name__}"
                    )
                yield write_sse(event)
        finally:
            # Closed with this generator (the client left, the writer failed): the source is
            # stopped now, not whenever it is collected.
            aclose = getattr(iterator, "aclose", None)
            if aclose is not None:
                await aclose()

    return _response(
        status,
        [(b"cache-control", b"no-cache"), (b"x-accel-buffering", b"no")],
        StreamedContent(b"text/event-stream", events),
    )
