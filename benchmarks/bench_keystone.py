"""Request handling and exception dispatch: quenmark's KeystoneApplication against Starlette.

1. Dispatch cost: `await app.handle(request)` for a matched route whose handler returns a ready
   Response, minus a bare `await handler(request)`. The router is the application's (outside
   the compiled core), so `handle` is measured with three: one whose `get_match` is a C-level
   callable handing back a prepared match (the cost of `handle` itself: the target applies to
   this one), one written in Python handing back the prepared match, and the application's real
   Router. Starlette's figure is its Router dispatching the same kind of endpoint, minus the bare
   endpoint call (its dispatch cannot return a response without sending it: a no-op `send`
   receives it).
2. A handler raising a registered HTTP exception (404), through to the response: quenmark's
   `handle` (with the C-level router: Starlette's middleware calls the raising app directly,
   without routing) against Starlette's ExceptionMiddleware around an app raising
   HTTPException(404), both answering with the text "Resource not found". Both sides also pay
   for what is not dispatch: creating and raising the exception, and building the text
   response; the line "raise and catch" shows the first for quenmark's exception. quenmark's
   info record of the handled error is not built, because nothing would receive it (no handler
   is configured, as under uvicorn's default logging); the figure with a handler that drops
   every record is printed too.

Everything runs in one process, interleaved round by round, inside coroutines driven without an
event loop (nothing suspends). The script prints medians and ratios.

    .venv/bin/python benchmarks/bench_keystone.py [--rounds N] [--number N]
"""

import argparse
import logging
import statistics
import time

from starlette.exceptions import HTTPException as StarletteHTTPException
from starlette.middleware.exceptions import ExceptionMiddleware
from starlette.requests import Request as StarletteRequest
from starlette.responses import PlainTextResponse
from starlette.responses import Response as StarletteResponse
from starlette.routing import Route as StarletteRoute
from starlette.routing import Router as StarletteRouter

from driving import drive, noop_receive, noop_send
from quenmark import Application
from quenmark.exceptions import NotFound
from quenmark.messages import Request, Response
from quenmark.routing import RouteMatch
from quenmark.server.routing import Route

PATH = b"/items/42"
SCOPE = {
    "type": "http",
    "asgi": {"version": "3.0"},
    "http_version": "1.1",
    "method": "GET",
    "scheme": "http",
    "path": PATH.decode(),
    "raw_path": PATH,
    "query_string": b"",
    "root_path": "",
    "headers": [(b"host", b"example.com")],
    "client": ("203.0.113.7", 50123),
    "server": ("example.com", 80),
}
READY = Response(200)
STARLETTE_READY = StarletteResponse(b"", 200)


async def ready_handler(request):
    return READY


async def raising_handler(request):
    raise NotFound("No such item")


def prepared_match(handler):
    return RouteMatch(Route(b"/items/{item_id}", handler), {"item_id": "42"})


class PreparedRouter:
    """A router written in Python whose get_match hands back one prepared match."""

    def __init__(self, handler):
        self.match = prepared_match(handler)

    def get_match(self, request):
        return self.match


class CLevelRouter:
    """A router whose get_match is a C-level callable: the match prepared for one request."""

    def __init__(self, handler, request):
        self.get_match = {request: prepared_match(handler)}.get


def quenmark_app(handler, router="python", request=None):
    if router == "c":
        return Application(CLevelRouter(handler, request))
    if router == "python":
        return Application(PreparedRouter(handler))
    app = Application()
    app.router.get("/items/{item_id}")(handler)
    return app


def new_request():
    request = Request.incoming("GET", PATH, b"", [(b"host", b"example.com")])
    request.scope = SCOPE
    return request




# Each loop awaits the same call `number` times and returns the nanoseconds per call.

async def loop_handle(app, request, number):
    start = time.perf_counter_ns()
    for _ in range(number):
        await app.handle(request)
    return (time.perf_counter_ns() - start) / number


async def loop_raise(handler, request, number):
    start = time.perf_counter_ns()
    for _ in range(number):
        try:
            await handler(request)
        except Exception:  # noqa: BLE001 - the raise is what is measured
            pass
    return (time.perf_counter_ns() - start) / number


async def loop_bare(handler, request, number):
    start = time.perf_counter_ns()
    for _ in range(number):
        await handler(request)
    return (time.perf_counter_ns() - start) / number


async def loop_asgi(app, number):
    start = time.perf_counter_ns()
    for _ in range(number):
        await app(SCOPE, noop_receive, noop_send)
    return (time.perf_counter_ns() - start) / number


async def starlette_ready(request):
    return STARLETTE_READY


async def starlette_raising(scope, receive, send):
    raise StarletteHTTPException(404, "No such item")


async def starlette_not_found(request, exc):
    return PlainTextResponse("Resource not found", status_code=404)


def check_same_answers(apps, request):
    assert drive(quenmark_app(ready_handler, "c", request).handle(request)) is READY
    failed = drive(apps["404 quenmark"].handle(request))
    assert (failed.status, failed.content.body) == (404, b"Resource not found")
    sent = []

    async def send(message):
        sent.append(message)

    drive(apps["404 starlette"](SCOPE, noop_receive, send))
    assert sent[0]["status"] == 404 and sent[1]["body"] == b"Resource not found"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--number", type=int, default=20000)
    args = parser.parse_args(argv)
    n = args.number

    request = new_request()
    starlette_request = StarletteRequest(SCOPE, noop_receive)
    apps = {
        "404 quenmark": quenmark_app(raising_handler, "c", request),
        "404 starlette": ExceptionMiddleware(starlette_raising, {404: starlette_not_found}),
    }
    check_same_answers(apps, request)
    starlette_router = StarletteRouter([StarletteRoute("/items/{item_id}", starlette_ready)])
    cases = {
        "bare handler": lambda: loop_bare(ready_handler, request, n),
        "handle, C-level router": lambda a=quenmark_app(ready_handler, "c", request):
            loop_handle(a, request, n),
        "handle, Python router": lambda a=quenmark_app(ready_handler): loop_handle(a, request, n),
        "handle, Router": lambda a=quenmark_app(ready_handler, "real"): loop_handle(a, request, n),
        "bare starlette endpoint": lambda: loop_bare(starlette_ready, starlette_request, n),
        "starlette Router": lambda: loop_asgi(starlette_router, n),
        "404 raise and catch": lambda: loop_raise(raising_handler, request, n),
        "404 quenmark": lambda a=apps["404 quenmark"]: loop_handle(a, request, n),
        "404 starlette": lambda a=apps["404 starlette"]: loop_asgi(a, n),
    }
    for make in cases.values():
        drive(make())  # warm-up
    times = {name: [] for name in cases}
    for _ in range(args.rounds):
        for name, make in cases.items():
            times[name].append(drive(make()))
    logger = logging.getLogger("quenmark.server")
    dropping = logging.NullHandler()
    logger.addHandler(dropping)
    try:
        drive(loop_handle(apps["404 quenmark"], request, n))
        logged = statistics.median(drive(loop_handle(apps["404 quenmark"], request, n))
                                   for _ in range(args.rounds))
    finally:
        logger.removeHandler(dropping)

    m = {name: statistics.median(t) for name, t in times.items()}
    bare = m["bare handler"]
    print(f"median of {args.rounds} rounds x {n} calls, ns per call")
    print("1. dispatch of a matched route returning a ready response")
    for name in list(cases)[:6]:
        print(f"  {name:34s} {m[name]:8.0f}")
    print(f"  added by handle, C-level router    {m['handle, C-level router'] - bare:8.0f}   (target <= 150)")
    print(f"  added by handle, Python router     {m['handle, Python router'] - bare:8.0f}")
    print(f"  added by handle, Router            {m['handle, Router'] - bare:8.0f}")
    print(f"  added by starlette Router          "
          f"{m['starlette Router'] - m['bare starlette endpoint']:8.0f}")
    print("2. handler raising a registered HTTP 404, through to the response")
    print(f"  raise and catch NotFound           {m['404 raise and catch']:8.0f}")
    print(f"  quenmark handle                    {m['404 quenmark']:8.0f}")
    print(f"  quenmark, info record built        {logged:8.0f}")
    print(f"  starlette ExceptionMiddleware      {m['404 starlette']:8.0f}")
    print(f"  starlette / quenmark               {m['404 starlette'] / m['404 quenmark']:8.2f}x"
          "   (target >= 5)")
    print(f"  starlette / quenmark, record built {m['404 starlette'] / logged:8.2f}x")


if __name__ == "__main__":
    main()
