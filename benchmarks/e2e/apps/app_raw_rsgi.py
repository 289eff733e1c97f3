"""The ceiling under RSGI: the endpoints written directly against the protocol.

It does the application's share of the work every framework app does too (JSON through msgspec,
a Content-Length on every reply) and nothing else; text goes to the server as str, which RSGI
takes without an encoding step in Python.
"""

import msgspec

from bench_payloads import BODY_64K, MESSAGE

encode = msgspec.json.encode
decode = msgspec.json.decode


def headers(content_type: str, length: int) -> list[tuple[str, str]]:
    return [("content-type", content_type), ("content-length", str(length))]


def text(protocol, status: int, body: str) -> None:
    # Every payload here is ASCII, so its length in characters is its length in bytes.
    protocol.response_str(status, headers("text/plain; charset=utf-8", len(body)), body)


def json(protocol, body: bytes) -> None:
    protocol.response_bytes(200, headers("application/json", len(body)), body)


async def app(scope, protocol) -> None:
    if scope.proto != "http":
        return
    method = scope.method
    path = scope.path
    if method == "GET":
        if path == "/text":
            return text(protocol, 200, MESSAGE)
        if path == "/json":
            return json(protocol, encode({"message": MESSAGE}))
        if path.startswith("/items/"):
            item_id = path[7:]
            if item_id.isascii() and item_id.isdigit():
                return json(protocol, encode({"id": int(item_id)}))
        if path == "/64k":
            return text(protocol, 200, BODY_64K)
    elif method == "POST" and path == "/echo":
        return json(protocol, encode(decode(await protocol())))
    text(protocol, 404, "Not Found")
