"""Writing responses without a server: quenmark.scribe against Starlette's Response.

ASGI: a small text response and a 1 MB response, each built and sent to a `send` that does
nothing, against Starlette's PlainTextResponse and Response sending the same. The writer's own
cost is the small response's time less building the Response and less the two awaits of the
no-op `send`. RSGI: one round of instantiate_rsgi_request from a scope with 12 headers,
send_rsgi_response of a small text response to a stub protocol, and release_request (the pool
hands the request out again next round, as under a server).

Coroutines are driven by hand (nothing suspends), rounds interleaved; the script prints medians.

    .venv/bin/python benchmarks/bench_scribe.py [--rounds N] [--number N]
"""

import argparse
import statistics
import time

from starlette.responses import PlainTextResponse
from starlette.responses import Response as StarletteResponse

from driving import drive as run, noop_send as send
from quenmark.contents import Content, TextContent
from quenmark.messages import Response, release_request
from quenmark.scribe import instantiate_rsgi_request, send_asgi_response, send_rsgi_response

TEXT = "Hello, world!"
MB = bytes(range(256)) * 4096
SCOPE = {"type": "http", "method": "GET", "path": "/", "headers": []}


async def receive():
    return {"type": "http.disconnect"}


async def quenmark_small(n):
    for _ in range(n):
        await send_asgi_response(Response(200, None, TextContent(TEXT)), send)


async def quenmark_build_only(n):
    for _ in range(n):
        Response(200, None, TextContent(TEXT))


async def two_sends(n):
    event = {"type": "http.response.body", "body": b"", "more_body": False}
    for _ in range(n):
        await send(event)
        await send(event)


async def starlette_small(n):
    for _ in range(n):
        await PlainTextResponse(TEXT)(SCOPE, receive, send)


async def quenmark_large(n):
    for _ in range(n):
        await send_asgi_response(Response(200, None, Content(b"application/octet-stream", MB)), send)


async def starlette_large(n):
    for _ in range(n):
        await StarletteResponse(MB, media_type="application/octet-stream")(SCOPE, receive, send)


class RSGIScope:
    proto, http_version, scheme, method = "http", "1.1", "http", "GET"
    path, query_string, client, server = "/api/items/42", "page=2&sort=name", "203.0.113.7:50123", "127.0.0.1:8000"
    headers = {
        "host": "example.com",
        "user-agent": "Mozilla/5.0 (X11; Linux x86_64) Gecko/20100101 Firefox/133.0",
        "accept": "*/*",
        "accept-language": "en-GB,en;q=0.5",
        "accept-encoding": "gzip, deflate, br",
        "connection": "keep-alive",
        "cookie": "session=abc123; theme=dark",
        "x-request-id": "6f1c2b8e-4d1f-4a57-9c11-0d2a4c9b7e31",
        "x-forwarded-for": "203.0.113.7",
        "sec-fetch-mode": "navigate",
        "upgrade-insecure-requests": "1",
        "cache-control": "no-cache",
    }


class StubProtocol:
    def response_bytes(self, status, headers, body):
        pass

    def response_empty(self, status, headers):
        pass


async def rsgi_round(n):
    scope, protocol = RSGIScope(), StubProtocol()
    for _ in range(n):
        request = instantiate_rsgi_request(scope, protocol)
        await send_rsgi_response(Response(200, None, TextContent(TEXT)), protocol)
        release_request(request)


def time_per_call(fn, number):
    start = time.perf_counter_ns()
    run(fn(number))
    return (time.perf_counter_ns() - start) / number


def check_same_bytes():
    events = {}
    for name, make in (("quenmark", lambda s: send_asgi_response(Response(200, None, TextContent(TEXT)), s)),
                       ("starlette", lambda s: PlainTextResponse(TEXT)(SCOPE, receive, s))):
        seen = []

        async def record(message):
            seen.append(message)

        run(make(record))
        events[name] = seen
    q, s = events["quenmark"], events["starlette"]
    assert q[1]["body"] == s[1]["body"] == TEXT.encode()
    assert dict(q[0]["headers"]) == dict(s[0]["headers"])


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--number", type=int, default=5000)
    args = parser.parse_args(argv)
    check_same_bytes()
    large_number = max(1, args.number // 50)
    cases = {
        quenmark_small: args.number, quenmark_build_only: args.number, two_sends: args.number,
        starlette_small: args.number, quenmark_large: large_number,
        starlette_large: large_number, rsgi_round: args.number,
    }
    for fn, number in cases.items():
        time_per_call(fn, number)  # warm-up
    times = {fn: [] for fn in cases}
    for _ in range(args.rounds):
        for fn, number in cases.items():
            times[fn].append(time_per_call(fn, number))
    m = {fn.__name__: statistics.median(t) for fn, t in times.items()}
    writer = m["quenmark_small"] - m["quenmark_build_only"] - m["two_sends"]
    print(f"response writing (medians of {args.rounds} rounds)")
    print(f"  small text   quenmark {m['quenmark_small'] / 1000:7.2f} us   starlette "
          f"{m['starlette_small'] / 1000:7.2f} us   speed-up {m['starlette_small'] / m['quenmark_small']:5.2f}x (target 5x)")
    print(f"    writer's own cost {writer:6.0f} ns (target 300 ns; response build "
          f"{m['quenmark_build_only']:.0f} ns, two no-op sends {m['two_sends']:.0f} ns)")
    print(f"  1 MB         quenmark {m['quenmark_large'] / 1000:7.2f} us   starlette "
          f"{m['starlette_large'] / 1000:7.2f} us   speed-up {m['starlette_large'] / m['quenmark_large']:5.2f}x")
    print(f"  RSGI round   {m['rsgi_round'] / 1000:7.2f} us (12-header scope to request, small "
          f"response sent, request released)")


if __name__ == "__main__":
    main()
