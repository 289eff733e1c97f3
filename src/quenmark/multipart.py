"""Incremental multipart/form-data parsing (RFC 7578, RFC 2046).

`parse_multipart_async` reads a body as an async iterable of chunks and yields its
parts one at a time; each part streams its data, so no part and no body is ever held
whole in memory. Boundaries are searched over a small rolling buffer, which also finds
them across chunk edges, with the vectorised search of `quenmark._multipart` where it
was built and `bytes.find` otherwise; the work is linear in the size of the body and no
Python code loops over the data byte by byte. Everything a client controls
outside the part data is bounded: the preamble and epilogue, the size and number of
header fields of a part, and the number of parts. A body that breaks the format or
ends early raises `BadRequest`; one with more parts than `MAX_PARTS`, or a part larger
than `MAX_PART_SIZE`, raises `ContentTooLarge` (413).

The defaults of those bounds are module attributes, read at every call, so an
application may change them (for example `quenmark.multipart.MAX_PARTS = 5000`).
"""

from __future__ import annotations

import re
from collections.abc import AsyncIterable, AsyncIterator
from urllib.parse import unquote_to_bytes

from quenmark.exceptions import BadRequest, ContentTooLarge, InvalidOperation

try:
    from quenmark._multipart import HAS_SIMD as _HAS_SIMD
    from quenmark._multipart import find_delimiter as _find_delimiter
except ImportError:  # the compiled search is optional: bytes.find gives the same results
    _HAS_SIMD = False

# find(buffer, delimiter, start): the search for delimiters in part data, where almost all
# of the parsing time goes.
_find = _find_delimiter if _HAS_SIMD else bytes.find

__all__ = [
    "MAX_EPILOGUE_SIZE",
    "MAX_HEADER_COUNT",
    "MAX_HEADER_SIZE",
    "MAX_PARTS",
    "MAX_PART_SIZE",
    "MAX_PREAMBLE_SIZE",
    "MultipartPart",
    "get_boundary_from_header",
    "parse_multipart_async",
]

MAX_PREAMBLE_SIZE = 16384
MAX_EPILOGUE_SIZE = 16384
MAX_HEADER_SIZE = 16384  # bytes of the header block of one part
MAX_HEADER_COUNT = 32  # header fields of one part
MAX_PARTS = 1000
MAX_PART_SIZE = 100 * 1024 * 1024  # bytes of data of one part

# Transport padding allowed between a boundary and its line break (RFC 2046: LWSP).
_MAX_PADDING = 1024
# The characters RFC 2046 allows in a boundary ("bchars").
_BCHARS = b"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz'()+_,-./:=? "
# Parameters of one part header: a real one has a handful, and each costs a step of the
# parser's loop, so a header made of thousands of ";" could otherwise cost far more per
# byte than the part data does.
_MAX_PARAMETERS = 64
# A quoted string and its escapes. The quantifiers are possessive: the scan never goes
# back, so it is linear even when the closing quote is missing.
_QUOTED = re.compile(rb'"([^"\\]*+(?:\\.[^"\\]*+)*+)"', re.DOTALL)
_SPACES = re.compile(rb"[ \t]*+")
# The boundary parameter of a Content-Type, found by one scan of the value rather than
# by visiting every parameter in Python (a crafted value may have one per byte).
_BOUNDARY_PARAMETER = re.compile(rb";\s*+boundary\s*+=", re.IGNORECASE)


def get_boundary_from_header(value: bytes) -> bytes:
    """Return the boundary parameter of a multipart Content-Type value.

    Raises `ValueError` when there is none, or when it is not a valid boundary
    (1 to 70 characters of the set RFC 2046 allows, not ending in a space).
    """
    value = bytes(value)
    parameter = _BOUNDARY_PARAMETER.search(value)
    if parameter is None:
        raise ValueError("The Content-Type has no boundary parameter")
    start = parameter.end()
    end = value.find(b";", start)
    boundary = value[start : end if end != -1 else len(value)].strip()
    if boundary[:1] == b'"':
        end = boundary.find(b'"', 1)
        if end == -1:
            raise ValueError("Unterminated quoted boundary in Content-Type")
        boundary = boundary[1:end]
    if (
        not boundary
        or len(boundary) > 70
        or boundary.endswith(b" ")
        or boundary.translate(None, _BCHARS)
    ):
        raise ValueError(f"Invalid multipart boundary: {boundary[:80]!r}")
    return boundary


def _decode_text(value: bytes) -> str:
    try:
        return value.decode("utf-8")
    except UnicodeDecodeError:
        return value.decode("iso-8859-1")


def _parse_parameters(value: bytes) -> tuple[bytes, dict[bytes, bytes]]:
    """Split a header value such as `form-data; name="a"; filename="b"`.

    Quoted values may hold ";" and escaped quotes. Both scans move from delimiter to
    delimiter with `split`, `find` or a pattern that never backtracks, and a header
    with more than `_MAX_PARAMETERS` parameters is refused, so their cost is linear in
    the length of the value with a small constant.
    """
    if b"\\" not in value:
        return _parse_unescaped_parameters(value)
    return _parse_escaped_parameters(value)


def _parse_escaped_parameters(value: bytes) -> tuple[bytes, dict[bytes, bytes]]:
    end = value.find(b";")
    if end == -1:
        return value.strip().lower(), {}
    main = value[:end].strip().lower()
    parameters: dict[bytes, bytes] = {}
    position = end + 1
    length = len(value)
    budget = _MAX_PARAMETERS
    while position < length:
        budget -= 1
        if budget < 0:
            raise BadRequest("Too many parameters in a part header")
        # The "=" is looked for only up to the next ";": searching past it would rescan
        # the same tail for every valueless parameter, quadratic in the header's length.
        semicolon = value.find(b";", position)
        equals = value.find(b"=", position, length if semicolon == -1 else semicolon)
        if equals == -1:
            # A parameter without a value: skip it.
            if semicolon == -1:
                break
            position = semicolon + 1
            continue
        name = value[position:equals].strip().lower()
        position = _SPACES.match(value, equals + 1).end()  # type: ignore[union-attr]  # matches the empty string
        if value[position : position + 1] == b'"':
            quoted = _QUOTED.match(value, position)
            if quoted is None:
                raise BadRequest("Unterminated quoted string in a part header")
            parameter = quoted[1]
            if b"\\" in parameter:
                # Splitting at escaped backslashes pairs them from the left, as a reader
                # of the quoted string does; a backslash left before a quote escapes it.
                parameter = b"\\".join(
                    [piece.replace(b'\\"', b'"') for piece in parameter.split(b"\\\\")]
                )
            semicolon = value.find(b";", quoted.end())
        else:
            semicolon = value.find(b";", position)
            parameter = value[position : semicolon if semicolon != -1 else length].strip()
        if name and name not in parameters:
            parameters[name] = parameter
        if semicolon == -1:
            break
        position = semicolon + 1
    return main, parameters


def _parse_unescaped_parameters(value: bytes) -> tuple[bytes, dict[bytes, bytes]]:
    # Without backslashes, splitting at the quotes gives the text outside quotes at
    # even indexes and each quoted value at the odd index after its "name=".
    pieces = value.split(b'"')
    if not len(pieces) & 1:
        raise BadRequest("Unterminated quoted string in a part header")
    parameters: dict[bytes, bytes] = {}
    main = b""
    last = len(pieces) - 1
    budget = _MAX_PARAMETERS
    for index in range(0, len(pieces), 2):
        fields = pieces[index].split(b";")
        budget -= len(fields)
        if budget < 0:
            raise BadRequest("Too many parameters in a part header")
        if index == 0:
            main = fields[0].strip().lower()
            del fields[0]
        quoted = pieces[index + 1] if index < last else None
        final = len(fields) - 1
        for position, field in enumerate(fields):
            name, separator, parameter = field.partition(b"=")
            name = name.strip().lower()
            if not separator or not name:
                continue
            if position == final and quoted is not None:
                if parameter.strip():
                    raise BadRequest("Invalid parameter in a part header")
                parameter = quoted
            else:
                parameter = parameter.strip()
            if name not in parameters:
                parameters[name] = parameter
    return main, parameters


def _extended_value(value: bytes) -> str | None:
    """Decode an RFC 5987 value (`charset'language'percent-encoded`), or None."""
    charset, _, rest = value.partition(b"'")
    _, separator, encoded = rest.partition(b"'")
    if not separator:
        return None
    try:
        return unquote_to_bytes(encoded).decode(charset.decode("ascii").strip() or "utf-8")
    except (LookupError, UnicodeError):
        # UnicodeError, not only its decode subclass: the client names the codec, and
        # some codecs ("undefined") refuse every input with the base class.
        return None


class MultipartPart:
    """One part of a multipart body, as the parser reaches it.

    `name`, `file_name`, `content_type` (the media type, without parameters) and
    `charset` are str or None; `headers` holds the part's header fields as
    (lower-case name, value) bytes pairs. The data is read with `stream()` (or
    `read()`), and only until the parser moves on to the next part.
    """

    __slots__ = (
        "name",
        "file_name",
        "content_type",
        "charset",
        "headers",
        "_parser",
        "_done",
        "_started",
    )

    def __init__(self, parser: _Parser, headers: list[tuple[bytes, bytes]]) -> None:
        self.headers = headers
        self._parser: _Parser | None = parser
        self._done = False
        self._started = False
        self.name: str | None = None
        self.file_name: str | None = None
        self.content_type: str | None = None
        self.charset: str | None = None
        disposition = content_type = None
        for header_name, header_value in headers:
            if header_name == b"content-disposition" and disposition is None:
                disposition = header_value
            elif header_name == b"content-type" and content_type is None:
                content_type = header_value
        if disposition is None:
            raise BadRequest("A multipart part has no Content-Disposition header")
        _, parameters = _parse_parameters(disposition)
        name = parameters.get(b"name*")
        self.name = _extended_value(name) if name is not None else None
        if self.name is None and b"name" in parameters:
            self.name = _decode_text(parameters[b"name"])
        if self.name is None:
            raise BadRequest("A multipart part has no name")
        file_name = parameters.get(b"filename*")
        if file_name is not None:
            self.file_name = _extended_value(file_name)
        if self.file_name is None and b"filename" in parameters:
            self.file_name = _decode_text(parameters[b"filename"])
        if content_type:
            media_type, type_parameters = _parse_parameters(content_type)
            self.content_type = _decode_text(media_type) or None
            charset = type_parameters.get(b"charset")
            if charset:
                self.charset = _decode_text(charset)

    def stream(self) -> AsyncIterator[bytes]:
        """The part's data, chunk by chunk; it can be read once."""
        parser = self._parser
        if parser is None or parser.current is not self:
            raise InvalidOperation(
                "The data of a multipart part can only be read before the next part"
            )
        if self._started:
            raise InvalidOperation("The data of this multipart part was already read")
        self._started = True
        return parser.iter_data(self)

    async def read(self) -> bytes:
        return b"".join([chunk async for chunk in self.stream()])

    def __repr__(self) -> str:
        return f"<MultipartPart name={self.name!r} file_name={self.file_name!r}>"


def _normalize_chunk(chunk: object) -> bytes | None:
    """A body chunk as bytes (possibly empty), or None for the end of the body."""
    if chunk is None or type(chunk) is bytes:
        return chunk
    if isinstance(chunk, (bytes, bytearray, memoryview)):
        return bytes(chunk)
    raise TypeError(f"A multipart body chunk must be bytes, not {type(chunk).__name__}")


def _part_too_large(limit: int) -> ContentTooLarge:
    return ContentTooLarge(f"A multipart part is larger than {limit} bytes")


class _Parser:
    """The buffer and the state shared by the parts of one body.

    `buffer[position:]` holds the bytes received but not consumed yet. Consumed bytes
    are dropped when the next chunk is appended, so the buffer stays about one chunk
    long whatever the size of the body.
    """

    __slots__ = (
        "chunks",
        "buffer",
        "position",
        "eof",
        "delimiter",
        "current",
        "max_preamble_size",
        "max_epilogue_size",
        "max_header_size",
        "max_header_count",
        "max_part_size",
    )

    def __init__(
        self,
        stream: AsyncIterable[bytes | None],
        boundary: bytes,
        max_preamble_size: int,
        max_epilogue_size: int,
        max_header_size: int,
        max_header_count: int,
        max_part_size: int,
    ) -> None:
        self.chunks = aiter(stream)
        self.buffer = b""
        self.position = 0
        self.eof = False
        self.delimiter = b"\r\n--" + boundary
        self.current: MultipartPart | None = None
        self.max_preamble_size = max_preamble_size
        self.max_epilogue_size = max_epilogue_size
        self.max_header_size = max_header_size
        self.max_header_count = max_header_count
        self.max_part_size = max_part_size

    async def fill(self) -> bool:
        """Append the next non-empty chunk to the buffer; False at the end of the body.

        A None chunk marks the end, like the end of the iteration.
        """
        if self.eof:
            return False
        chunks = self.chunks
        while True:
            try:
                chunk = await anext(chunks)
            except StopAsyncIteration:
                self.eof = True
                return False
            if type(chunk) is not bytes:
                chunk = _normalize_chunk(chunk)
                if chunk is None:
                    self.eof = True
                    return False
            if chunk:
                break
        buffer = self.buffer
        position = self.position
        if position >= len(buffer):
            self.buffer = chunk
        elif position:
            self.buffer = buffer[position:] + chunk
        else:
            self.buffer = buffer + chunk
        self.position = 0
        return True

    async def skip_preamble(self) -> bool:
        """Move past the first boundary; False when the body is empty."""
        dash_boundary = self.delimiter[2:]
        delimiter = self.delimiter
        searched = 0
        while True:
            buffer = self.buffer
            # The first boundary may open the body, with no line break before it.
            if buffer[: len(dash_boundary)] == dash_boundary:
                self.position = len(dash_boundary)
                return True
            index = buffer.find(delimiter, max(0, searched - len(delimiter)))
            if index != -1:
                self.position = index + len(delimiter)
                return True
            if len(buffer) > self.max_preamble_size + len(delimiter):
                raise BadRequest("The multipart preamble is too large")
            searched = len(buffer)
            if not await self.fill():
                if not buffer:
                    return False
                raise BadRequest("The multipart body has no boundary")

    async def after_delimiter(self) -> bool:
        """Read what follows a boundary: True when a part follows, False at the end."""
        while len(self.buffer) - self.position < 2:
            if not await self.fill():
                raise BadRequest("The multipart body ended unexpectedly")
        buffer, position = self.buffer, self.position
        if buffer[position : position + 2] == b"--":
            self.position = position + 2
            return False
        while True:
            line_end = buffer.find(b"\r\n", position)
            if line_end != -1:
                if buffer[position:line_end].strip(b" \t"):
                    raise BadRequest("Invalid characters after a multipart boundary")
                # Keep the line break: the header block is then delimited by CRLF CRLF
                # even when the part has no header at all.
                self.position = line_end
                return True
            if buffer[position:].strip(b" \t\r") or len(buffer) - position > _MAX_PADDING:
                raise BadRequest("Invalid characters after a multipart boundary")
            if not await self.fill():
                raise BadRequest("The multipart body ended unexpectedly")
            buffer, position = self.buffer, self.position

    async def read_headers(self) -> list[tuple[bytes, bytes]]:
        searched = 0  # bytes after `position` already searched, less a possible match
        limit = self.max_header_size + 4
        while True:
            buffer, position = self.buffer, self.position
            end = buffer.find(b"\r\n\r\n", position + searched)
            if end != -1:
                break
            available = len(buffer) - position
            if available > limit:
                raise BadRequest("The headers of a multipart part are too large")
            searched = max(0, available - 3)
            if not await self.fill():
                raise BadRequest("The multipart body ended unexpectedly")
        if end - position > limit:
            raise BadRequest("The headers of a multipart part are too large")
        block = buffer[position + 2 : end]
        self.position = end + 4
        headers: list[tuple[bytes, bytes]] = []
        if not block:
            return headers
        lines = block.split(b"\r\n")
        if len(lines) > self.max_header_count:
            raise BadRequest("A multipart part has too many headers")
        for line in lines:
            if line[:1] in (b" ", b"\t"):
                # An obsolete folded line continues the previous header.
                if not headers:
                    raise BadRequest("Invalid header in a multipart part")
                name, value = headers[-1]
                headers[-1] = (name, value + b" " + line.strip())
                continue
            name, separator, value = line.partition(b":")
            name = name.strip()
            if not separator or not name:
                raise BadRequest("Invalid header in a multipart part")
            headers.append((name.lower(), value.strip()))
        return headers

    async def iter_data(self, part: MultipartPart) -> AsyncIterator[bytes]:
        delimiter = self.delimiter
        delimiter_length = len(delimiter)
        keep = delimiter_length - 1
        find = _find
        next_chunk = self.chunks.__anext__
        allowed = self.max_part_size  # bytes this part may still hand out
        while not part._done:
            buffer, position = self.buffer, self.position
            index = find(buffer, delimiter, position)
            if index != -1:
                # State moves on before the yield, so an abandoned reader leaves the
                # parser consistent.
                self.position = index + delimiter_length
                part._done = True
                if index > position:
                    if index - position > allowed:
                        raise _part_too_large(self.max_part_size)
                    yield buffer[position:index]
                return
            # Everything is data except a tail that is the start of a delimiter: it
            # begins with CR within the last `keep` bytes. Keeping only a real prefix
            # (not any CR, common in text) spares copying the next chunk onto it.
            size = len(buffer)
            cut = size
            carriage_return = buffer.find(b"\r", max(position, size - keep))
            while carriage_return != -1:
                if delimiter.startswith(buffer[carriage_return:]):
                    cut = carriage_return
                    break
                carriage_return = buffer.find(b"\r", carriage_return + 1)
            if cut > position:
                self.position = cut
                allowed -= cut - position
                if allowed < 0:
                    raise _part_too_large(self.max_part_size)
                yield buffer[position:cut]
                if self.current is not part:
                    raise InvalidOperation(
                        "The data of a multipart part can only be read before the next part"
                    )
            # The next chunk, fetched here rather than through fill(): this loop is
            # where large uploads spend their time.
            if self.eof:
                raise BadRequest("The multipart body ended unexpectedly")
            try:
                chunk = await next_chunk()
            except StopAsyncIteration:
                self.eof = True
                raise BadRequest("The multipart body ended unexpectedly") from None
            if type(chunk) is not bytes or not chunk:
                chunk = _normalize_chunk(chunk)
                if chunk is None:
                    self.eof = True
                    raise BadRequest("The multipart body ended unexpectedly")
            position = self.position
            buffer = self.buffer
            self.buffer = chunk if position >= len(buffer) else buffer[position:] + chunk
            self.position = 0

    async def skip_data(self, part: MultipartPart) -> None:
        delimiter = self.delimiter
        keep = len(delimiter) - 1
        find = _find
        while not part._done:
            buffer, position = self.buffer, self.position
            index = find(buffer, delimiter, position)
            if index != -1:
                self.position = index + len(delimiter)
                part._done = True
                return
            self.position = max(position, len(buffer) - keep)
            if not await self.fill():
                raise BadRequest("The multipart body ended unexpectedly")

    async def skip_epilogue(self) -> None:
        size = len(self.buffer) - self.position
        self.buffer = b""
        self.position = 0
        while size <= self.max_epilogue_size:
            if not await self.fill():
                return
            size += len(self.buffer)
            self.buffer = b""
        raise BadRequest("The multipart epilogue is too large")


async def parse_multipart_async(
    stream: AsyncIterable[bytes | None],
    boundary: bytes,
    *,
    max_parts: int | None = None,
    max_preamble_size: int | None = None,
    max_epilogue_size: int | None = None,
    max_header_size: int | None = None,
    max_header_count: int | None = None,
    max_part_size: int | None = None,
) -> AsyncIterator[MultipartPart]:
    """Yield the parts of a multipart body read from `stream`.

    Each part must be read (`part.stream()`) before the next one is asked for; data
    left unread is skipped. An empty body has no parts. Malformed or truncated bodies,
    and bodies beyond the bounds, raise `BadRequest`.
    """
    if not boundary:
        raise ValueError("The multipart boundary must not be empty")
    parser = _Parser(
        stream,
        bytes(boundary),
        MAX_PREAMBLE_SIZE if max_preamble_size is None else max_preamble_size,
        MAX_EPILOGUE_SIZE if max_epilogue_size is None else max_epilogue_size,
        MAX_HEADER_SIZE if max_header_size is None else max_header_size,
        MAX_HEADER_COUNT if max_header_count is None else max_header_count,
        MAX_PART_SIZE if max_part_size is None else max_part_size,
    )
    part_limit = MAX_PARTS if max_parts is None else max_parts
    if not await parser.skip_preamble():
        return
    count = 0
    try:
        while await parser.after_delimiter():
            count += 1
            if count > part_limit:
                raise ContentTooLarge(f"The multipart body has more than {part_limit} parts")
            headers = await parser.read_headers()
            part = MultipartPart(parser, headers)
            parser.current = part
            yield part
            if not part._done:
                await parser.skip_data(part)
        await parser.skip_epilogue()
    finally:
        parser.current = None
