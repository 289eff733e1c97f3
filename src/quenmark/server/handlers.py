"""What `Application` adds to the compiled exception dispatch: the default 405 handler, and the
route named in the log of a handler that returned something other than a Response."""

from __future__ import annotations

from typing import Any

from quenmark.contents import TextContent
from quenmark.exceptions import MethodNotAllowed
from quenmark.messages import Request, Response

__all__ = ["handle_method_not_allowed", "name_the_route"]


async def handle_method_not_allowed(app: Any, request: Request, exc: MethodNotAllowed) -> Response:
    """405 with the methods the path answers in the Allow header (a handler registered for 405
    in its place should send it too: `exc.allow` is its value)."""
    return Response(405, [(b"allow", exc.allow)], TextContent("Method Not Allowed"))


# The message of the TypeError that request handling raises when a handler's result is neither
# a Response nor None.
_NOT_A_RESPONSE = "Cannot convert "
_RESPONSE_TYPE = f"{Response.__module__}.{Response.__qualname__}"


def _returned_wrong_type(exc: BaseException) -> bool:
    # Raised by the compiled check itself, the error carries no frame of Python code: the same
    # message raised inside a handler has the handler's frames.
    if type(exc) is not TypeError or exc.__traceback__ is not None or len(exc.args) != 1:
        return False
    message = exc.args[0]
    return isinstance(message, str) and message.startswith(_NOT_A_RESPONSE) and message.endswith(_RESPONSE_TYPE)


def name_the_route(router: Any, request: Request, exc: BaseException) -> None:
    """Adds to `exc`, when a handler returned a value that is not a Response, a note naming the
    route and its handler, which its traceback (raised by the framework) cannot show."""
    if not _returned_wrong_type(exc):
        return
    try:
        match = router.get_match(request)
        handler = getattr(match.route, "endpoint", match.handler)
        name = f"{getattr(handler, '__module__', '?')}.{getattr(handler, '__qualname__', repr(handler))}"
        pattern = match.pattern.decode("utf-8", "backslashreplace")
    except Exception:  # noqa: BLE001 - the record is written anyway, with what is known
        return
    exc.add_note(
        f"The handler {name} of the route {request.method} {pattern} must return a Response or None."
    )
