"""The middleware pipeline: middlewares composed around the application's `handle`."""

from __future__ import annotations

from collections.abc import Awaitable, Callable, Sequence
from functools import Placeholder, partial

from quenmark.messages import Request, Response

__all__ = ["Handler", "Middleware", "compose"]

Handler = Callable[[Request], Awaitable[Response]]
Middleware = Callable[[Request, Handler], Awaitable[Response]]
ErrorHandler = Callable[[Request, Exception], Awaitable[Response]]


class _Unanswered(BaseException):
    """Carries the response to a request that gets no answer past the middlewares, which must
    not change it; like a cancellation, it runs their `finally` blocks but no `except Exception`."""

    def __init__(self, response: Response) -> None:
        self.response = response


def compose(
    middlewares: Sequence[Middleware],
    handle: Handler,
    on_error: ErrorHandler,
    unanswered: Response | None = None,
) -> Handler:
    """`handle` itself without middlewares. Otherwise a handler that runs the middlewares, the
    first outermost, each given the next one (the last is given `handle`) as its `handler`; an
    exception that escapes them is answered by `on_error`, as a request handler's would be.
    `unanswered` is what `handle` returns for a request that gets no response (its client left,
    say): it is shared, so it goes back past the middlewares untouched.

    A layer is the middleware's own coroutine and nothing else: `partial` hands it the next
    handler without a frame of its own.
    """
    if not middlewares:
        return handle

    async def innermost(request: Request) -> Response:
        response = await handle(request)
        if response is unanswered:
            raise _Unanswered(response)
        return response

    chain: Handler = innermost
    for middleware in reversed(middlewares):
        if not callable(middleware):
            raise TypeError(f"A middleware must be callable, not {type(middleware).__name__}")
        chain = partial(middleware, Placeholder, chain)  # type: ignore[arg-type]  # typeshed: no Placeholder yet

    async def pipeline(request: Request) -> Response:
        try:
            return await chain(request)
        except _Unanswered as gone:
            return gone.response
        except Exception as exc:  # noqa: BLE001 - answered like a request handler's failure
            return await on_error(request, exc)

    return pipeline
