"""Checked by `mypy --strict` (make typecheck), not run: the public API keeps the types of what
an application gives it."""

from collections.abc import AsyncIterator
from typing import assert_type

from quenmark import Application, Router
from quenmark.contents import ServerSentEvent
from quenmark.exceptions import NotFound
from quenmark.messages import Request, Response
from quenmark.responses import sse, stream, text

app = Application()
assert_type(app.router, Router)


@app.router.get("/items/{item_id:int}")
async def get_item(request: Request, item_id: int) -> Response:
    return text(str(item_id))


@app.router.route("/nothing", methods=["GET", "POST"])
async def nothing(request: Request) -> None:
    return None


@app.exception_handler(NotFound)
async def not_found(app: Application, request: Request, exc: NotFound) -> Response:
    return text(str(exc), status=404)


async def events() -> AsyncIterator[ServerSentEvent]:
    yield ServerSentEvent("tick")


async def chunks() -> AsyncIterator[bytes]:
    yield b"x"


# The decorators hand back the functions with their own signatures: calls are checked as
# usual (under --strict an ignore that is not needed is an error, so the wrong calls must fail).
async def calls(request: Request) -> None:
    assert_type(await get_item(request, 5), Response)
    assert_type(await nothing(request), None)
    assert_type(await not_found(app, request, NotFound()), Response)
    await get_item(request, "5")  # type: ignore[arg-type]
    await not_found(app, request, ValueError())  # type: ignore[arg-type]
assert_type(sse(events()), Response)
assert_type(sse(events), Response)
assert_type(stream(chunks()), Response)
