"""The application the cross-server tests serve under uvicorn and granian (ASGI and RSGI)."""

from collections.abc import AsyncIterator

from quenmark import Application
from quenmark.contents import ServerSentEvent
from quenmark.cookies import Cookie
from quenmark.messages import Request, Response
from quenmark.responses import json, sse, text

app = Application()


@app.router.get("/")
async def home(request: Request) -> Response:
    return text("up")


@app.router.get("/echo/{value}")
async def echo(request: Request, value: str) -> Response:
    return json({"path": request.path, "values": request.route_values, "value": value})


@app.router.get("/files/{rest:path}")
async def files(request: Request) -> Response:
    return json({"path": request.path, "values": request.route_values})


@app.router.get("/odd")
async def odd(request: Request) -> Response:
    return {"not": "a response"}  # type: ignore[return-value]


@app.router.post("/cookie/{name}")
async def set_cookie(request: Request, name: str) -> Response:
    response = text("set")
    response.set_cookie(Cookie(name, await request.text(), path="/"))
    return response


@app.router.get("/cookies")
async def cookies(request: Request) -> Response:
    return json(request.cookies)


@app.router.get("/events")
async def events(request: Request) -> Response:
    async def ticks() -> AsyncIterator[ServerSentEvent]:
        for n in range(3):
            yield ServerSentEvent({"n": n})

    return sse(ticks())


@app.exception_handler(404)
async def not_found(app: Application, request: Request, exc: Exception) -> Response:
    return text(f"nothing at {request.path}", status=404)
