"""Body reading: the native coroutines of Message against the same methods written as Python
`async def` (what the native machinery replaces) and against Starlette's Request.

Each statement reads the in-memory JSON body of a ready message once (Starlette's Request is
built fresh, since it keeps the body it has read); the coroutine is driven with send(None), so no
event loop is timed. Prints the median ns per
operation and the ratios (below 1.0 means quenmark is faster).

    .venv/bin/python benchmarks/bench_body.py [--repeat N]
"""

import argparse
import statistics
import timeit

import re

import msgspec
from starlette.requests import Request as StarletteRequest

from driving import drive
from quenmark.contents import Content, StreamedContent
from quenmark.messages import Message

BODY = b'{"id": 17, "name": "widget", "tags": ["a", "b", "c"], "price": 12.5, "stock": null}'
HEADERS = [(b"content-type", b"application/json"), (b"content-length", b"84")]
_decode = msgspec.json.decode
_charset_rx = re.compile(rb"charset=([\w\-]+)", re.IGNORECASE)


class PyMessage:
    """The same body methods as plain Python coroutines over the same content object."""

    __slots__ = ("content", "headers")

    def __init__(self, headers):
        self.headers = headers
        self.content = None

    def content_type(self):
        if self.content and self.content.type:
            return self.content.type
        for name, value in self.headers:
            if name == b"content-type":
                return value
        return None

    def declares_json(self):
        value = self.content_type()
        return bool(value) and b"json" in value.lower()

    @property
    def charset(self):
        value = self.content_type()
        if value:
            match = _charset_rx.search(value)
            if match:
                return match.group(1).decode("ascii")
        return "utf8"

    async def read(self):
        if self.content:
            return await self.content.read()
        return None

    async def read_raw(self):
        if not self.content:
            return b""
        return await self.content.read()

    async def text(self):
        body = await self.read()
        if body is None:
            return ""
        return body.decode(self.charset)

    async def stream(self):
        content = self.content
        if not content:
            yield None
            return
        async for chunk in content.stream():
            yield chunk

    async def json(self, loads=None):
        if not self.declares_json():
            return None
        raw = await self.read_raw()
        if len(raw) == 0:
            return None
        return _decode(raw)


SCOPE = {"type": "http", "method": "POST", "path": "/", "headers": HEADERS, "query_string": b""}


async def receive():
    return {"type": "http.request", "body": BODY, "more_body": False}


QM = Message(HEADERS)
QM.content = Content(b"application/json", BODY)
PY = PyMessage(HEADERS)
PY.content = QM.content

CHUNKS = [BODY] * 100


async def provider():
    for chunk in CHUNKS:
        yield chunk


QM_STREAMED = Message(HEADERS)
QM_STREAMED.content = StreamedContent(b"application/json", provider)
PY_STREAMED = PyMessage(HEADERS)
PY_STREAMED.content = QM_STREAMED.content


async def consume(chunks):
    count = 0
    async for _ in chunks:
        count += 1
    return count


def st(method):
    r = StarletteRequest(SCOPE, receive)
    return drive(getattr(r, method)())


# name -> (quenmark, python async def, starlette); None where Starlette has no equivalent.
CASES = {
    "read": ("drive(QM.read())", "drive(PY.read())", "st('body')"),
    "text": ("drive(QM.text())", "drive(PY.text())", None),
    "json": ("drive(QM.json())", "drive(PY.json())", "st('json')"),
    "read, no content": ("drive(EMPTY.read())", "drive(PY_EMPTY.read())", None),
    "stream 100 chunks": ("drive(consume(QM_STREAMED.stream()))",
                          "drive(consume(PY_STREAMED.stream()))", None),
}

EMPTY = Message(HEADERS)
PY_EMPTY = PyMessage(HEADERS)


def measure(statement, number, repeat):
    if statement.startswith("drive(consume"):
        number = max(1, number // 100)  # a hundred chunks per run
    timer = timeit.Timer(statement, globals=globals())
    runs = timer.repeat(repeat=repeat, number=number)
    return statistics.median(runs) / number * 1e9


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--number", type=int, default=20000)
    args = parser.parse_args()
    assert drive(QM.json()) == drive(PY.json()) == st("json")
    print(f"{'operation':<18} {'quenmark':>10} {'async def':>10} {'starlette':>10} "
          f"{'qm/def':>7} {'qm/st':>7}")
    for name, (q, p, s) in CASES.items():
        tq = measure(q, args.number, args.repeat)
        tp = measure(p, args.number, args.repeat)
        ts = measure(s, args.number, args.repeat) if s else None
        st_text = f"{ts:10.0f}" if ts else f"{'-':>10}"
        ratio = f"{tq / ts:7.2f}" if ts else f"{'-':>7}"
        print(f"{name:<18} {tq:10.0f} {tp:10.0f} {st_text} {tq / tp:7.2f} {ratio}")


if __name__ == "__main__":
    main()
