"""The Vary header, which several middlewares extend."""

from __future__ import annotations

from quenmark.messages import Response

__all__ = ["add_vary"]


def add_vary(response: Response, name: bytes) -> None:
    """Adds `name` to the response's Vary header unless it (in any case) or "*" is listed there
    already."""
    listed = [
        item.strip()
        for value in response.get_headers(b"vary")
        for item in value.split(b",")
        if item.strip()
    ]
    lowered = {item.lower() for item in listed}
    if b"*" in lowered or name.lower() in lowered:
        return
    response.set_header(b"vary", b", ".join([*listed, name]))
