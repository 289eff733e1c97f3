"""Building requests from RSGI scopes and writing responses through the RSGI protocol."""

from __future__ import annotations

from typing import Any

from quenmark.contents import RSGIContent
from quenmark.messages import Request, Response
from quenmark.server.asgi import content_headers, has_body


def request_from_scope(scope: Any, protocol: Any) -> Request:
    # RSGI hands headers over as text; HTTP header bytes map one to one onto Latin-1.
    headers = [(name.encode("latin-1"), value.encode("latin-1")) for name, value in scope.headers.items()]
    request = Request.incoming(scope.method, scope.path.encode("utf8"),
                               scope.query_string.encode("latin-1"), headers)
    host, _, port = scope.client.rpartition(":")
    request.scope = {
        "type": "http",
        "scheme": scope.scheme,
        "root_path": "",
        "client": (host, int(port)) if port.isdigit() else None,
    }
    if has_body(headers):
        request.content = RSGIContent(protocol)
    return request


def _text_headers(response: Response) -> list[tuple[str, str]]:
    return [(name.decode("latin-1"), value.decode("latin-1")) for name, value in content_headers(response)]


async def send_response(response: Response, protocol: Any) -> None:
    headers = _text_headers(response)
    content = response.content
    if content is None:
        protocol.response_empty(response.status, headers)
        return
    if content.body is not None:
        protocol.response_bytes(response.status, headers, bytes(content.body))
        return
    transport = protocol.response_stream(response.status, headers)
    async for chunk in content.get_parts():
        if chunk:
            await transport.send_bytes(bytes(chunk))
