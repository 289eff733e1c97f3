"""Serving the files of a folder under a path prefix.

    app.middlewares.append(StaticFiles("public", prefix="/static"))

GET and HEAD requests whose path is under `prefix` get the file at the rest of the path, with its
media type, Content-Length, ETag and Last-Modified; `If-None-Match` and `If-Modified-Since` are
answered with 304, a single byte range (`Range: bytes=...`, honoured only while `If-Range` still
matches) with 206, or 416 when it lies beyond the file. A path that ends with "/" serves the
folder's `index` file. Anything else (another method, a missing file, a path that is not a plain
relative file name) goes on to the application, whose routes and 404 answer it.

The path is decoded once, strictly: an invalid or overlong escape, bytes that are not UTF-8, NUL
and other control characters, a backslash, "." and ".." segments and empty segments never name a
file, nor do hidden names (".env") unless `allow_hidden`; and a file whose real path (symbolic
links resolved) lies outside the folder is not served unless `follow_symlinks`.
"""

from __future__ import annotations

import asyncio
import mimetypes
import os
import re
from collections.abc import AsyncIterator
from email.utils import formatdate, parsedate_to_datetime
from pathlib import Path
from typing import Literal

from quenmark.contents import Content, StreamedContent
from quenmark.messages import Request, Response
from quenmark.middleware.pipeline import Handler
from quenmark.scribe import RSGIScope

__all__ = ["StaticFiles"]

_CONTROL = re.compile(r"[\x00-\x1f\x7f\\]")
_HEX = frozenset(b"0123456789abcdefABCDEF")
_TEXT_TYPES = ("text/", "application/javascript", "application/json", "image/svg+xml")
_BIG = 10**18  # a number of more digits than any file size has: beyond every file


class StaticFiles:
    """`directory`: the folder served. `prefix`: the path it is served under ("/" for the whole
    site). `index`: the file served for a path ending in "/" (None: none). `cache_control`: a
    Cache-Control value for every file served. `chunk_size`: files larger than this are sent in
    chunks of this size, read off the event loop."""

    def __init__(
        self,
        directory: str | os.PathLike[str],
        prefix: str = "/static",
        *,
        index: str | None = "index.html",
        cache_control: str | None = None,
        follow_symlinks: bool = False,
        allow_hidden: bool = False,
        chunk_size: int = 256 * 1024,
    ) -> None:
        root = Path(directory)
        if not root.is_dir():
            raise ValueError(f"StaticFiles: {str(root)!r} is not a directory")
        self.root = os.path.realpath(root)
        if not prefix.startswith("/"):
            raise ValueError("The prefix must start with '/'")
        self.prefix = prefix.rstrip("/").encode("ascii")
        self.index = index
        self.follow_symlinks = follow_symlinks
        self.allow_hidden = allow_hidden
        self.chunk_size = int(chunk_size)
        self.extra_headers = [(b"x-content-type-options", b"nosniff")]
        if cache_control:
            self.extra_headers.append((b"cache-control", cache_control.encode("latin-1")))

    async def __call__(self, request: Request, handler: Handler) -> Response:
        if request.method in ("GET", "HEAD"):
            path = self.find(request)
            if path is not None:
                return self.respond(request, path)
        return await handler(request)

    # -- the file --------------------------------------------------------------------------

    def relative_path(self, request: Request) -> list[str] | None:
        """The segments of the request's path below the prefix (the last one empty for a folder),
        or None when the path is not under the prefix or cannot name a file."""
        raw = request._path or b""
        prefix = self.prefix
        if not raw.startswith(prefix) or raw[len(prefix):len(prefix) + 1] not in (b"/", b""):
            return None
        rest = raw[len(prefix):] or b"/"
        # An RSGI server hands the path over decoded already: decoding it again would turn a
        # file named "a%2e" into "a.".
        if not isinstance(request.scope, RSGIScope):
            decoded = _percent_decoded(rest)
            if decoded is None:
                return None
            rest = decoded
        try:
            text = rest.decode("utf-8")
        except UnicodeDecodeError:  # not UTF-8, or an overlong form such as %C0%AE for "."
            return None
        if _CONTROL.search(text) or (os.name == "nt" and ":" in text):
            return None
        segments = text.split("/")[1:]
        for i, segment in enumerate(segments):
            if segment in (".", "..") or (not segment and i < len(segments) - 1):
                return None
            if segment.startswith(".") and not self.allow_hidden:
                return None
        return segments

    def find(self, request: Request) -> str | None:
        segments = self.relative_path(request)
        if segments is None:
            return None
        if not segments[-1]:
            if self.index is None:
                return None
            segments[-1] = self.index
        candidate = os.path.join(self.root, *segments)
        real = os.path.realpath(candidate)
        if not self.follow_symlinks and os.path.commonpath([real, self.root]) != self.root:
            return None
        return candidate if os.path.isfile(real) else None

    # -- the response ----------------------------------------------------------------------

    def respond(self, request: Request, path: str) -> Response:
        stat = os.stat(path)
        size = stat.st_size
        etag = b'"%x-%x"' % (stat.st_mtime_ns, size)
        modified = int(stat.st_mtime)
        headers = [(b"etag", etag), (b"last-modified", formatdate(modified, usegmt=True).encode()),
                   *self.extra_headers]
        if _not_modified(request, etag, modified):
            return Response(304, headers)
        headers.append((b"accept-ranges", b"bytes"))
        start, end, status = 0, size - 1, 200
        wanted = request.get_first_header(b"range")
        if wanted is not None and _if_range_holds(request, etag, modified):
            span = _byte_range(wanted, size)
            if span == "unsatisfiable":
                headers.append((b"content-range", b"bytes */%d" % size))
                return Response(416, headers)
            if span is not None:
                start, end = span
                status = 206
                headers.append((b"content-range", b"bytes %d-%d/%d" % (start, end, size)))
        return Response(status, headers, self.content(path, start, end - start + 1))

    def content(self, path: str, start: int, length: int) -> Content:
        media_type = _media_type(path)
        if length <= self.chunk_size:
            with open(path, "rb") as f:
                f.seek(start)
                return Content(media_type, f.read(length))
        chunk_size = self.chunk_size

        async def chunks() -> AsyncIterator[bytes]:
            with open(path, "rb") as f:
                f.seek(start)
                left = length
                while left > 0:
                    data = await asyncio.to_thread(f.read, min(chunk_size, left))
                    if not data:
                        return  # the file shrank: the declared length catches it
                    left -= len(data)
                    yield data

        return StreamedContent(media_type, chunks, length)


def _percent_decoded(raw: bytes) -> bytes | None:
    """`raw` with its %XX escapes decoded; None when a "%" starts no valid escape."""
    if b"%" not in raw:
        return raw
    head, *parts = raw.split(b"%")
    out = [head]
    for part in parts:
        if len(part) < 2 or part[0] not in _HEX or part[1] not in _HEX:
            return None
        out.append(bytes((int(part[:2], 16),)))
        out.append(part[2:])
    return b"".join(out)


def _media_type(path: str) -> bytes:
    guessed, encoding = mimetypes.guess_type(path, strict=False)
    if guessed is None or encoding is not None:  # a .gz file is not its inner type
        return b"application/octet-stream"
    if guessed.startswith(_TEXT_TYPES):
        guessed += "; charset=utf-8"
    return guessed.encode("ascii")


def _http_date(value: bytes | None) -> int | None:
    if value is None:
        return None
    try:
        return int(parsedate_to_datetime(value.decode("latin-1")).timestamp())
    except (TypeError, ValueError, IndexError, OverflowError):
        return None


def _etag_listed(values: list[bytes], etag: bytes) -> bool:
    """Weak comparison, as If-None-Match asks: W/ prefixes do not count."""
    ours = etag.removeprefix(b"W/")
    for value in values:
        for item in value.split(b","):
            item = item.strip()
            if item == b"*" or item.removeprefix(b"W/") == ours:
                return True
    return False


def _not_modified(request: Request, etag: bytes, modified: int) -> bool:
    listed = request.get_headers(b"if-none-match")
    if listed:
        return _etag_listed(listed, etag)
    since = _http_date(request.get_first_header(b"if-modified-since"))
    return since is not None and modified <= since


def _if_range_holds(request: Request, etag: bytes, modified: int) -> bool:
    value = request.get_first_header(b"if-range")
    if value is None:
        return True
    value = value.strip()
    if value.startswith((b'"', b"W/")):
        return value == etag  # strong comparison: a weak tag never matches
    return _http_date(value) == modified


def _number(digits: bytes) -> int | None:
    digits = digits.strip()
    if not digits or not digits.isdigit() or not digits.isascii():
        return None
    return int(digits) if len(digits) <= 18 else _BIG


def _byte_range(value: bytes, size: int) -> tuple[int, int] | Literal["unsatisfiable"] | None:
    """(first, last) byte of a single range, "unsatisfiable" when it lies beyond the file, or
    None when the header is malformed, names another unit or several ranges: the whole file is
    then sent."""
    unit, _, ranges = value.partition(b"=")
    if unit.strip().lower() != b"bytes" or b"," in ranges:
        return None
    first, dash, last = ranges.partition(b"-")
    if not dash:
        return None
    if not first.strip():
        suffix = _number(last)
        if suffix is None:
            return None
        if suffix == 0 or size == 0:
            return "unsatisfiable"
        return max(size - suffix, 0), size - 1
    start = _number(first)
    end = _number(last) if last.strip() else _BIG
    if start is None or end is None or end < start:
        return None
    if start >= size:
        return "unsatisfiable"
    return start, min(end, size - 1)
