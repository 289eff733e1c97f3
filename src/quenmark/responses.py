"""Shortcuts that build the common responses, from this thread's pool."""

from __future__ import annotations

from collections.abc import AsyncIterable, AsyncIterator, Callable
from typing import TypeVar
from urllib.parse import quote

from quenmark.contents import ServerSentEvent, StreamedContent

# Most handlers answer with text(value, status=200), html(value, status=200) or
# json(data, status=200, dumps=None), so they are native: each is
# acquire_response(status, None, TextContent(value)) (HTMLContent(value), JSONContent(data, dumps)).
from quenmark.messages import Response, acquire_response, html, json, text

T = TypeVar("T")

__all__ = ["html", "json", "no_content", "redirect", "sse", "stream", "text", "write_event"]

# Characters that may stand in a Location value as they are: the reserved and
# unreserved characters of RFC 3986, and "%" so that escapes are kept as given.
_LOCATION_SAFE = ":/?#[]@!$&'()*+,;=%~-._"


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
    return acquire_response(status, [(b"location", _location(location))])


def no_content() -> Response:
    return acquire_response(204)


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
    return acquire_response(status, None, StreamedContent(content_type, _provider(provider, "stream")))


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

    return acquire_response(
        status,
        [(b"cache-control", b"no-cache"), (b"x-accel-buffering", b"no")],
        StreamedContent(b"text/event-stream", events),
    )
