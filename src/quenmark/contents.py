"""Message bodies: what a request carries in and what a response sends out.

A `Content` has a media type (`type`), and either a body held in memory (`body`, with
`length` its size) or, when `length` is negative, a body that arrives or leaves as a
stream of chunks. The response writers read `type`, `body` and `length` directly and
call `get_parts()` for streamed bodies; the request side reads through `read()` and
`stream()`.

Limits, read when they apply, so an application may change them at start-up
(`quenmark.contents.MAX_BODY_SIZE = 1 << 30`): `MAX_BODY_SIZE`, the bytes of a request
body a server content hands out (per request, `content.max_size`; None for no limit), and
`MAX_FORM_FIELDS`, the fields of a URL-encoded form. Going beyond one raises
`ContentTooLarge` (413).
"""

from __future__ import annotations

import asyncio
import io
import re
import secrets
from collections.abc import AsyncIterable, AsyncIterator, Awaitable, Callable, Iterable
from typing import IO, TYPE_CHECKING, Any, Union
from urllib.parse import parse_qsl, urlencode

from quenmark import _contents
from quenmark._contents import fill_asgi as _fill_asgi
from quenmark._contents import fill_json as _fill_json
from quenmark._contents import fill_server_body as _fill_server_body
from quenmark._contents import fill_text as _fill_text
from quenmark.disconnects import rsgi_wait_disconnected
from quenmark.exceptions import ContentTooLarge, InvalidOperation, MessageAborted
from quenmark.settings.encodings import encodings_settings
from quenmark.settings.json import _encode, default_json_dumps, json_settings

__all__ = [
    "ASGIContent",
    "Content",
    "FormContent",
    "FormPart",
    "HTMLContent",
    "JSONContent",
    "MultiPartFormData",
    "RSGIContent",
    "ServerSentEvent",
    "StreamedContent",
    "TextContent",
    "TextServerSentEvent",
    "parse_www_form_urlencoded",
    "simplify_multipart_data",
]

MAX_BODY_SIZE: int | None = 100 * 1024 * 1024
MAX_FORM_FIELDS: int | None = 1000

_EMPTY_VIEW = memoryview(b"")
_TEXT_PLAIN = b"text/plain; charset=utf-8"
_TEXT_HTML = b"text/html; charset=utf-8"
_APPLICATION_JSON = b"application/json"
_FORM_URLENCODED = b"application/x-www-form-urlencoded"

Receive = Callable[[], Awaitable[dict[str, Any]]]
DataProvider = Callable[[], AsyncIterable[Any]]


def _media_type(value: bytes | str | None) -> bytes | None:
    if value is None:
        return None
    if type(value) is not bytes:
        if isinstance(value, str):
            value = value.encode("latin-1")
        elif isinstance(value, (bytearray, memoryview)):
            value = bytes(value)
        else:
            raise TypeError(
                f"Content type must be bytes or None, not {type(value).__name__}"
            )
    # The media type becomes a header value as it is.
    if b"\r" in value or b"\n" in value or b"\x00" in value:
        raise ValueError("Content type must not contain CR, LF or NUL")
    return value


def _as_bytes(value: Any) -> bytes:
    if type(value) is bytes:
        return value
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value)
    if isinstance(value, str):
        return value.encode("utf-8")
    raise TypeError(f"Expected bytes, got {type(value).__name__}")


class _Gathered:
    """A request body gathered chunk by chunk. After the first chunk they go into one buffer that
    grows in place and is handed out without a copy, so that reading N bytes holds about N where
    a list of chunks joined at the end held 2N."""

    __slots__ = ("first", "buffer")

    def __init__(self) -> None:
        self.first = b""
        self.buffer: io.BytesIO | None = None

    def __bool__(self) -> bool:
        return bool(self.first) or self.buffer is not None

    def add(self, chunk: bytes) -> None:
        buffer = self.buffer
        if buffer is None:
            if not self.first:
                self.first = chunk  # most bodies come in one chunk: kept as it is
                return
            buffer = self.buffer = io.BytesIO()
            buffer.write(self.first)
            self.first = b""
        buffer.write(chunk)

    def value(self) -> bytes:
        return self.first if self.buffer is None else self.buffer.getvalue()


class Content:
    """A body held in memory."""

    __slots__ = ("type", "body", "length")

    type: bytes | None
    body: bytes | None
    length: int

    def __init__(self, content_type: bytes | None, data: bytes) -> None:
        self.type = _media_type(content_type)
        if type(data) is not bytes:
            if not isinstance(data, (bytes, bytearray, memoryview)):
                raise TypeError(
                    f"Content data must be bytes, not {type(data).__name__}"
                )
            data = bytes(data)
        self.body = data
        self.length = len(data)

    @property
    def body_buffer(self) -> memoryview:
        body = self.body
        return memoryview(body) if body is not None else _EMPTY_VIEW

    async def read(self) -> bytes | None:
        return self.body

    async def stream(self) -> AsyncIterator[bytes]:
        if self.body:
            yield self.body

    async def get_parts(self) -> AsyncIterator[bytes]:
        # An empty chunk would end a chunked body early, so an empty body yields nothing.
        if self.body:
            yield self.body

    def dispose(self) -> None:
        """Release what the content holds.

        An in-memory body is immutable and may be shared by many responses (a module
        level constant, for instance), so there is nothing to drop here.
        """

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self.type!r} length={self.length}>"


class _UTF8Content(Content):
    """Text encoded as UTF-8 under the subclass's media type."""

    __slots__ = ()
    _media_type: bytes
    _argument: str

    def __init__(self, text: str) -> None:
        # isinstance(text, str) or TypeError naming _argument; type = the class's _media_type,
        # body = text.encode("utf-8"), length = len(body).
        _fill_text(self, text)


class TextContent(_UTF8Content):
    """Text served as text/plain (UTF-8)."""

    __slots__ = ()
    _media_type = _TEXT_PLAIN
    _argument = "text"


class HTMLContent(_UTF8Content):
    """HTML served as text/html (UTF-8)."""

    __slots__ = ()
    _media_type = _TEXT_HTML
    _argument = "html"


class JSONContent(Content):
    """`data` serialised with `dumps` (by default the configured `json_settings.dumps`)."""

    __slots__ = ()

    def __init__(self, data: Any, dumps: Callable[[Any], str] | None = None) -> None:
        # body = json_settings.dumps_utf8(data), or dumps(data) encoded when it is text; then
        # as _as_bytes takes it.
        _fill_json(self, data, dumps)


class FormContent(Content):
    """An application/x-www-form-urlencoded body; list values repeat their key."""

    __slots__ = ()

    def __init__(
        self, data: dict[str, Any] | Iterable[tuple[str, Any]]
    ) -> None:
        body = urlencode(data, doseq=True).encode("ascii")  # type: ignore[arg-type]
        self.type = _FORM_URLENCODED
        self.body = body
        self.length = len(body)


class StreamedContent(Content):
    """A body produced by `data_provider()`, an async iterable of chunks.

    `length` is `data_length`: -1 (the default) sends the body with chunked transfer
    coding; a length of 0 or more is sent as Content-Length, and the stream is then
    checked against it, because a body longer or shorter than announced would corrupt
    the connection.
    """

    __slots__ = ("generator",)

    generator: DataProvider

    def __init__(
        self,
        content_type: bytes | None,
        data_provider: DataProvider,
        data_length: int = -1,
    ) -> None:
        if not callable(data_provider):
            raise TypeError("data_provider must be a callable returning an async iterable")
        self.type = _media_type(content_type)
        self.body = None
        self.length = int(data_length)
        self.generator = data_provider

    @property
    def body_buffer(self) -> memoryview:
        return _EMPTY_VIEW

    async def get_parts(self) -> AsyncIterator[bytes]:
        expected = self.length
        sent = 0
        source = self.generator()
        try:
            async for chunk in source:
                if type(chunk) is not bytes:
                    if chunk is None:
                        continue
                    chunk = _as_bytes(chunk)
                if not chunk:
                    # Empty chunks end a chunked body (and close an ASGI body): skip them.
                    continue
                sent += len(chunk)
                if 0 <= expected < sent:
                    raise InvalidOperation(
                        f"The streamed body is longer than its declared length ({expected})"
                    )
                yield chunk
        finally:
            # Stopped part way (the client left, a chunk was refused): the producer's cleanup
            # runs now, not whenever the collector gets to it.
            close = getattr(source, "aclose", None)
            if close is not None:
                await close()
        if 0 <= expected != sent:
            raise InvalidOperation(
                f"The streamed body has {sent} bytes, but {expected} were declared"
            )

    def stream(self) -> AsyncIterator[bytes]:
        return self.get_parts()

    async def read(self) -> bytes:
        return b"".join([chunk async for chunk in self.get_parts()])


class _ServerBody(Content):
    """A request body that arrives from the server, kept once read.

    `_data` holds the body once `read()` collected it; `_complete` says the server has sent all
    of it; `_streamed` says chunks were handed out without being kept, so a later `read()` or
    stream could only give a body with its start missing and refuses instead. `max_size` is
    the most bytes the body may have (`MAX_BODY_SIZE` when the content is made; None: no
    limit); `_received` counts them. `announced` is the length the request's Content-Length
    gives (-1: none): a body announced beyond `max_size` is refused at its first chunk rather
    than read up to the limit.
    """

    __slots__ = ("_source", "_data", "_complete", "_streamed", "_received", "max_size", "announced")

    _source: Any
    _data: bytes | None
    _complete: bool
    _streamed: bool
    _received: int
    max_size: int | None
    announced: int

    def __init__(self, source: Any, announced: int = -1) -> None:
        # type and body None, length -1, nothing received yet, max_size = MAX_BODY_SIZE now.
        _fill_server_body(self, source, announced)

    @property
    def body_buffer(self) -> memoryview:
        data = self._data
        return memoryview(data) if data is not None else _EMPTY_VIEW

    def _count(self, size: int) -> None:
        """Adds a chunk of `size` bytes to the bytes received, within `max_size`."""
        received = self._received + size
        self._received = received
        limit = self.max_size
        if limit is not None and (received > limit or self.announced > limit):
            # What came so far is dropped: the body can no longer be read whole.
            self._streamed = True
            raise ContentTooLarge(f"The request body is larger than {limit} bytes")

    def _channel(self) -> Any:
        source = self._source
        if source is None:
            raise InvalidOperation("The content was disposed of")
        return source

    def _refuse_if_streamed(self) -> None:
        if self._streamed:
            raise InvalidOperation(
                "The request body was already consumed as a stream and was not kept"
            )

    def dispose(self) -> None:
        self._data = None
        self._source = None


class ASGIContent(_ServerBody):
    """The body of an ASGI request, read from the `receive` channel on demand.

    `read()` collects the whole body once and keeps it in `_data`; `stream()` hands
    the chunks over as they arrive without keeping them (or the kept body, when
    `read()` came first). An `http.disconnect` raises `MessageAborted`.

    Once a body has been streamed away, a further `stream()` has nothing to yield
    and waits for the channel's next event, which for a finished request is the
    disconnect.

    One reader at a time takes events from the channel (`_reader`, the task reading): a
    read or a stream that starts while another task reads waits for it to end and then
    goes on with what it left; the task that is reading already gets `InvalidOperation`
    rather than waiting for itself.
    """

    __slots__ = ("_reader", "_read_done")

    _reader: object
    _read_done: asyncio.Future[None] | None

    def __init__(self, receive: Receive, announced: int = -1) -> None:
        # As _ServerBody's once receive is found callable (else TypeError); no reader yet.
        _fill_asgi(self, receive, announced)

    def _begin_reading(self) -> None:
        self._reader = _current_task()

    def _end_reading(self) -> None:
        self._reader = None
        done = self._read_done
        if done is not None:
            self._read_done = None
            if not done.done():
                done.set_result(None)

    async def _wait_for_reader(self) -> None:
        reader = self._reader
        if reader is _UNSUSPENDED or reader is _current_task():
            raise InvalidOperation("The request body is being read already")
        if self._read_done is None:
            self._read_done = asyncio.get_running_loop().create_future()
        await asyncio.shield(self._read_done)

    async def stream(self) -> AsyncIterator[bytes]:
        while self._reader is not None:
            await self._wait_for_reader()
        receive = self._channel()
        if self._data is not None:
            if self._data:
                yield self._data
            return
        if self._complete:
            message = await receive()
            if message.get("type") == "http.disconnect":
                raise MessageAborted()
            return
        self._begin_reading()
        try:
            while True:
                message = await receive()
                message_type = message.get("type")
                if message_type == "http.disconnect":
                    raise MessageAborted()
                if message_type != "http.request":
                    continue
                chunk = message.get("body") or b""
                more = message.get("more_body", False)
                if not more:
                    self._complete = True
                if chunk:
                    self._count(len(chunk))
                    self._streamed = True
                    yield chunk if type(chunk) is bytes else bytes(chunk)
                if not more:
                    return
        finally:
            self._end_reading()

    get_parts = stream

    if TYPE_CHECKING:
        # Native, put here by `_contents.install_server_bodies` below: the body read whole as
        # the class says and kept, through `_count`, `_end_reading` and the methods above (a
        # subclass's own when it has them). A body that arrives in one event is kept as it came.
        async def read(self) -> bytes: ...

    async def wait_disconnected(self) -> None:
        """Returns once the client has gone away.

        A body that nobody has taken yet is read first and kept, in a task of its own, so
        that cancelling this wait (the disconnect probe does) loses none of it; the task starts
        at once, so what the server has ready is read without a turn of the loop. A body that
        another reader is taking is left to it, and watched after its end.
        """
        receive = self._channel()
        while not self._complete and not self._streamed:
            if self._reader is not None:
                await self._wait_for_reader()
                continue
            reading = asyncio.get_running_loop().create_task(self.read(), eager_start=True)
            reading.add_done_callback(_retrieve)
            try:
                await asyncio.shield(reading)
            except MessageAborted:
                return
            except Exception:  # noqa: BLE001 - the reader's failure: a later read raises it too
                break
        while True:
            message = await receive()
            if message.get("type") == "http.disconnect":
                return


_NO_TASK = object()
# The `_reader` of a read whose events have come without a wait so far: no other task can have
# run since it began, so what sees it runs inside the read's own step (called by its `receive`)
# and is the reader itself. The read puts the task there once it waits.
_UNSUSPENDED = object()


def _current_task() -> object:
    try:
        return asyncio.current_task() or _NO_TASK
    except RuntimeError:  # driven by hand, without a running loop
        return _NO_TASK


def _retrieve(future: asyncio.Future[Any]) -> None:
    if not future.cancelled():
        future.exception()


class RSGIContent(_ServerBody):
    """The body of an RSGI request, read with `async for chunk in protocol`, whole by
    `read()` or as a stream. Kept like `ASGIContent` keeps it."""

    __slots__ = ()

    async def read(self) -> bytes:
        if self._data is not None:
            return self._data
        protocol = self._channel()
        self._refuse_if_streamed()
        if self._complete:
            self._data = b""
            return self._data
        announced, limit = self.announced, self.max_size
        if announced >= 0 and (limit is None or announced <= limit):
            # A length announced within the limit: the server passes no more than that, so the
            # body comes whole in one call, one wait for the server where chunks take several.
            data = _as_bytes(await protocol())
            if data:
                self._count(len(data))
            self._complete = True
            self._data = data
            return data
        # Otherwise chunk by chunk rather than `await protocol()`, which would take a body of
        # any size into memory before its length could be checked.
        gathered = _Gathered()
        try:
            async for chunk in protocol:
                if chunk:
                    self._count(len(chunk))
                    gathered.add(_as_bytes(chunk))
        except BaseException:
            if gathered:
                self._streamed = True
            raise
        self._complete = True
        self._data = gathered.value()
        return self._data

    async def stream(self) -> AsyncIterator[bytes]:
        protocol = self._channel()
        if self._data is not None:
            if self._data:
                yield self._data
            return
        # Also when an earlier stream stopped part way: the protocol would go on from there,
        # and the body would come out with its start missing.
        self._refuse_if_streamed()
        if self._complete:
            return
        async for chunk in protocol:
            if chunk:
                self._count(len(chunk))
                self._streamed = True
                yield _as_bytes(chunk)
        self._complete = True

    get_parts = stream

    async def wait_disconnected(self) -> None:
        """Returns once the client has gone away (`protocol.client_disconnect()`); never, with a
        protocol that cannot tell."""
        await rsgi_wait_disconnected(self._channel())


# Every response and every request with a body makes one of these, so a call of these classes
# allocates and fills the instance natively, without type.__call__ and the __init__ frame, while
# the class is as defined here. To that end _UTF8Content, JSONContent and _ServerBody get a native
# __new__ (object.__new__(cls), ignoring the arguments): CPython would otherwise run a Python
# __init__ straight after object.__new__ for calls from Python code, never asking the class.
_contents.install_text(_UTF8Content, TextContent, HTMLContent)
_contents.install_json(JSONContent, _APPLICATION_JSON, json_settings, default_json_dumps, _encode)
_contents.install_server_bodies(_ServerBody, ASGIContent, RSGIContent, globals())


# -- forms ----------------------------------------------------------------------------


class FormPart:
    """One field of a multipart form: its bytes in memory or in a file object.

    `data` returns the bytes, reading the whole file (from its start) when the part
    holds one; `file` is that file object, or None. `close()` releases the file.
    """

    __slots__ = ("name", "content_type", "file_name", "charset", "size", "file", "_data")

    def __init__(
        self,
        name: bytes,
        data: Union[bytes, IO[bytes]],
        content_type: bytes | None = None,
        file_name: bytes | None = None,
        charset: bytes | None = None,
        size: int | None = None,
    ) -> None:
        self.name = name
        self.content_type = content_type
        self.file_name = file_name
        self.charset = charset
        if isinstance(data, (bytes, bytearray, memoryview, str)):
            self.file: IO[bytes] | None = None
            self._data: bytes | None = _as_bytes(data)
            self.size: int | None = len(self._data) if size is None else size
        elif hasattr(data, "read"):
            self.file = data
            self._data = None
            self.size = size
        else:
            raise TypeError(
                f"FormPart data must be bytes or a file object, not {type(data).__name__}"
            )

    @property
    def data(self) -> bytes:
        file = self.file
        if file is None:
            return self._data  # type: ignore[return-value]
        file.seek(0)
        data = file.read()
        file.seek(0)
        return data

    def close(self) -> None:
        if self.file is not None:
            self.file.close()

    def __enter__(self) -> FormPart:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, FormPart):
            return NotImplemented
        return (
            self.name == other.name
            and self.file_name == other.file_name
            and self.content_type == other.content_type
            and self.charset == other.charset
            and self.data == other.data
        )

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"<FormPart {self.name!r} file_name={self.file_name!r} size={self.size}>"


def _quote_header_parameter(value: bytes) -> bytes:
    # Escape like browsers do for form-data names and file names, so a quote or a
    # line break in a value can neither end the parameter nor the header.
    return value.replace(b"\r", b"%0D").replace(b"\n", b"%0A").replace(b'"', b"%22")


def _write_multipart(parts: list[tuple[FormPart, bytes]], boundary: bytes) -> bytes:
    out: list[bytes] = []
    for part, data in parts:
        out.append(b"--" + boundary + b"\r\n")
        disposition = b'Content-Disposition: form-data; name="' + _quote_header_parameter(
            _as_bytes(part.name)
        ) + b'"'
        if part.file_name:
            disposition += b'; filename="' + _quote_header_parameter(
                _as_bytes(part.file_name)
            ) + b'"'
        out.append(disposition + b"\r\n")
        content_type = _media_type(part.content_type) if part.content_type else None
        if content_type:
            if part.charset:
                content_type += b"; charset=" + _media_type(part.charset)  # type: ignore[operator]
            out.append(b"Content-Type: " + content_type + b"\r\n")
        out.append(b"\r\n")
        out.append(data)
        out.append(b"\r\n")
    out.append(b"--" + boundary + b"--\r\n")
    return b"".join(out)


class MultiPartFormData(Content):
    """A multipart/form-data body built from `FormPart` objects."""

    __slots__ = ("parts", "boundary")

    def __init__(self, parts: list[FormPart]) -> None:
        parts = list(parts)
        for part in parts:
            if not isinstance(part, FormPart):
                raise TypeError(f"Expected FormPart, got {type(part).__name__}")
        pairs = [(part, part.data) for part in parts]
        while True:
            boundary = b"----------------quenmark" + secrets.token_hex(16).encode()
            # A random boundary practically never occurs in the data; checking makes
            # sure, since a clash would split a part in two.
            if not any(boundary in data for _, data in pairs):
                break
        body = _write_multipart(pairs, boundary)
        self.parts = parts
        self.boundary = boundary
        self.type = b"multipart/form-data; boundary=" + boundary
        self.body = body
        self.length = len(body)


def parse_www_form_urlencoded(text: str | None) -> dict[str, str | list[str]]:
    """Parse a URL-encoded form: a name seen once maps to its value, a repeated name
    to the list of its values. Blank values are kept. A form of more than
    `MAX_FORM_FIELDS` fields (counted as its "&" separators, plus one) raises
    `ContentTooLarge`."""
    result: dict[str, Any] = {}
    if not text:
        return result
    limit = MAX_FORM_FIELDS
    if limit is not None and text.count("&") >= limit:
        raise ContentTooLarge(f"The form has more than {limit} fields")
    for name, value in parse_qsl(text, keep_blank_values=True):
        if name in result:
            existing = result[name]
            if type(existing) is list:
                existing.append(value)
            else:
                result[name] = [existing, value]
        else:
            result[name] = value
    return result


def _decode_part(part: FormPart) -> str:
    data = part.data
    charset = part.charset
    if charset:
        encoding = (
            charset.decode("ascii", "replace") if isinstance(charset, bytes) else str(charset)
        )
        try:
            return data.decode(encoding)
        except UnicodeDecodeError as error:
            return encodings_settings.decode(data, error)
        except (LookupError, UnicodeError):
            # An unknown charset, a codec that is not a text encoding ("base64") or one
            # that refuses everything ("undefined"): the client's label cannot be used,
            # so fall back to UTF-8.
            pass
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        return encodings_settings.decode(data, error)


def simplify_multipart_data(
    form: dict[Any, list[FormPart]] | None,
) -> dict[str, Any] | None:
    """Turn a parsed multipart form into plain values.

    Keys become str; a part without a file name becomes its text; a file part stays a
    `FormPart`. A name received once maps to its value, a repeated one to the list.
    """
    if form is None:
        return None
    result: dict[str, Any] = {}
    for key, parts in form.items():
        if isinstance(key, (bytes, bytearray)):
            key = bytes(key).decode("utf-8", "replace")
        if isinstance(parts, FormPart):
            parts = [parts]
        values = [part if part.file_name else _decode_part(part) for part in parts]
        result[key] = values[0] if len(values) == 1 else values
    return result


# -- server-sent events ---------------------------------------------------------------

_LINE_BREAKS = re.compile(r"\r\n|\r|\n")


def _continue_lines(text: str) -> str:
    # Every line of the event-stream format ends at CR LF, a lone CR or a lone LF: a
    # break of any kind inside data must start a new "data: " line, or the rest of the
    # text would be read as other fields (id, event, retry...).
    if "\n" in text or "\r" in text:
        return _LINE_BREAKS.sub("\ndata: ", text)
    return text


class ServerSentEvent:
    """One event of a text/event-stream response; `data` is sent as compact JSON."""

    __slots__ = ("data", "event", "id", "retry", "comment")

    def __init__(
        self,
        data: Any,
        event: str | None = None,
        id: str | None = None,
        retry: int = -1,
        comment: str | None = None,
    ) -> None:
        self.data = data
        self.event = event
        self.id = id
        self.retry = int(retry)
        self.comment = comment

    def write_data(self) -> str:
        # Compact JSON has no line breaks, but a custom dumps may indent.
        text = json_settings.dumps(self.data)
        if not isinstance(text, str):
            # Several fast JSON libraries return bytes; JSONContent takes them too.
            text = _as_bytes(text).decode("utf-8")
        return _continue_lines(text)

    def __repr__(self) -> str:
        return f"<{type(self).__name__} event={self.event!r} id={self.id!r}>"


class TextServerSentEvent(ServerSentEvent):
    """An event whose data is plain text; each further line gets its own "data: "."""

    __slots__ = ()

    def __init__(
        self,
        data: str,
        event: str | None = None,
        id: str | None = None,
        retry: int = -1,
        comment: str | None = None,
    ) -> None:
        if not isinstance(data, str):
            raise TypeError(f"data must be str, not {type(data).__name__}")
        super().__init__(data, event, id, retry, comment)

    def write_data(self) -> str:
        return _continue_lines(self.data)
