"""The ceiling under ASGI servers: the endpoints written directly against the protocol.

It does the application's share of the work every framework app does too (JSON through msgspec,
text encoded per request, a Content-Length on every reply) and nothing else.
"""

import msgspec

from bench_payloads import BODY_64K, MESSAGE

encode = msgspec.json.encode
decode = msgspec.json.decode

TEXT = b"text/plain; charset=utf-8"
JSON = b"application/json"


async def read_body(receive) -> bytes:
    message = await receive()
    body = message.get("body", b"")
    if not message.get("more_body", False):
        return body
    parts = [body]
    while message.get("more_body", False):
        message = await receive()
        parts.append(message.get("body", b""))
    return b"".join(parts)


async def reply(send, status: int, content_type: bytes, body: bytes) -> None:
    await send({
        "type": "http.response.start",
        "status": status,
        "headers": [(b"content-type", content_type), (b"content-length", str(len(body)).encode())],
    })
    await send({"type": "http.response.body", "body": body})


async def lifespan(receive, send) -> None:
    while True:
        message = await receive()
        if message["type"] == "lifespan.startup":
            await send({"type": "lifespan.startup.complete"})
        elif message["type"] == "lifespan.shutdown":
            await send({"type": "lifespan.shutdown.complete"})
            return


async def app(scope, receive, send) -> None:
    if scope["type"] != "http":
        if scope["type"] == "lifespan":
            await lifespan(receive, send)
        return
    method = scope["method"]
    path = scope["path"]
    if method == "GET":
        if path == "/text":
            return await reply(send, 200, TEXT, MESSAGE.encode())
        if path == "/json":
            return await reply(send, 200, JSON, encode({"message": MESSAGE}))
        if path.startswith("/items/"):
            item_id = path[7:]
            if item_id.isascii() and item_id.isdigit():
                return await reply(send, 200, JSON, encode({"id": int(item_id)}))
        if path == "/64k":
            return await reply(send, 200, TEXT, BODY_64K.encode())
    elif method == "POST" and path == "/echo":
        return await reply(send, 200, JSON, encode(decode(await read_body(receive))))
    await reply(send, 404, TEXT, b"Not Found")
