"""The middleware pipeline: what it costs a request.

1. A GET through the ASGI entry point (`await app(scope, receive, send)`, request building,
   routing, a text response, the writer) of an application without middleware, against the same
   application answering through `handle` directly, as it did before the pipeline existed (the
   baseline: a subclass whose `__call__` is the old one). The target: no slower.
2. The same with 1, 3 and 10 middlewares that only pass the request on
   (`return await handler(request)`): the cost per layer, which should be that of one call and
   one await, and Starlette's for comparison (as many pure-ASGI pass-through middlewares around
   its Router, on the same kind of endpoint).

Everything runs in one process, interleaved round by round, inside coroutines driven without an
event loop (nothing suspends). The script prints medians and ratios.

    .venv/bin/python benchmarks/bench_middleware.py [--rounds N] [--number N]
"""

import argparse
import statistics
import time

from starlette.responses import PlainTextResponse
from starlette.routing import Route as StarletteRoute
from starlette.routing import Router as StarletteRouter

from driving import drive, noop_receive as receive, noop_send as send
from quenmark import Application
from quenmark.responses import text
from quenmark.server import asgi
from quenmark.server.pools import recycle

SCOPE = {
    "type": "http",
    "asgi": {"version": "3.0"},
    "http_version": "1.1",
    "method": "GET",
    "scheme": "http",
    "path": "/hello",
    "raw_path": b"/hello",
    "query_string": b"",
    "root_path": "",
    "headers": [(b"host", b"example.com"), (b"user-agent", b"bench")],
    "client": ("203.0.113.7", 50123),
    "server": ("example.com", 80),
}


class Baseline(Application):
    """The ASGI entry point as it was before the pipeline: `handle`, called directly."""

    async def __call__(self, scope, receive, send):
        kind = scope["type"]
        if kind == "http":
            held = [asgi.request_from_scope(scope, receive), None]
            try:
                held[1] = await self.handle(held[0])
                if held[1] is not _NOTHING_TO_SEND:
                    await asgi.send_asgi_response(held[1], send, held[0])
            finally:
                recycle(held)
        else:
            raise RuntimeError(kind)


_NOTHING_TO_SEND = object()


async def passthrough(request, handler):
    return await handler(request)


def quenmark_app(cls=Application, layers=0):
    app = cls()

    @app.router.get("/hello")
    async def hello(request):
        return text("Hello, world!")

    app.middlewares.extend([passthrough] * layers)
    app.build_pipeline()
    return app


def starlette_app(layers=0):
    async def hello(request):
        return PlainTextResponse("Hello, world!")

    app = StarletteRouter([StarletteRoute("/hello", hello)])
    for _ in range(layers):
        app = _StarlettePassthrough(app)
    return app


class _StarlettePassthrough:
    def __init__(self, app):
        self.app = app

    async def __call__(self, scope, receive, send):
        await self.app(scope, receive, send)




def per_call(app, number):
    scopes = [dict(SCOPE) for _ in range(number)]
    started = time.perf_counter()
    for scope in scopes:
        drive(app(scope, receive, send))
    return (time.perf_counter() - started) / number


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--number", type=int, default=20000)
    args = parser.parse_args()

    subjects = {
        "baseline (handle, no pipeline)": quenmark_app(Baseline),
        "quenmark, no middleware": quenmark_app(),
        **{f"quenmark, {n} pass-through": quenmark_app(layers=n) for n in (1, 3, 10)},
        "starlette, no middleware": starlette_app(),
        **{f"starlette, {n} pass-through": starlette_app(n) for n in (1, 3, 10)},
    }
    times = {name: [] for name in subjects}
    for _ in range(args.rounds):
        for name, app in subjects.items():
            times[name].append(per_call(app, args.number))
    median = {name: statistics.median(values) * 1e9 for name, values in times.items()}

    print(f"A GET through the ASGI entry point (median of {args.rounds} rounds, ns per request)")
    for name, value in median.items():
        print(f"  {name:34} {value:8.0f}")
    base = median["baseline (handle, no pipeline)"]
    print(f"\nno middleware / baseline: {median['quenmark, no middleware'] / base:.3f}")
    for side in ("quenmark", "starlette"):
        zero = median[f"{side}, no middleware"]
        layer = (median[f"{side}, 10 pass-through"] - zero) / 10
        print(f"{side}: {layer:.0f} ns per pass-through layer (from 10 layers)")


if __name__ == "__main__":
    main()
