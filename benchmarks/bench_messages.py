"""One request cycle without a server: quenmark's Request and Response against Starlette's.

Each side does the same work the way its own API is meant to be used: build a request from a
12-header server header list and an ASGI scope, read the method, the path, the query
parameters, the host, the cookies and one header, then build a response with JSON content and
two headers. Both run in the same process, interleaved round by round; the script prints the
median time per cycle of each and the ratio.

    .venv/bin/python benchmarks/bench_messages.py [--rounds N] [--number N]
"""

import argparse
import statistics
import time

from starlette.requests import Request as StarletteRequest
from starlette.responses import JSONResponse

from quenmark.contents import JSONContent
from quenmark.messages import Request, Response

METHOD = "GET"
PATH = b"/api/items/42"
QUERY = b"page=2&sort=name&tag=a&tag=b"
HEADERS = [
    (b"host", b"example.com"),
    (b"user-agent", b"Mozilla/5.0 (X11; Linux x86_64) Gecko/20100101 Firefox/133.0"),
    (b"accept", b"text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"),
    (b"accept-language", b"en-GB,en;q=0.5"),
    (b"accept-encoding", b"gzip, deflate, br, zstd"),
    (b"connection", b"keep-alive"),
    (b"cookie", b"session=abc123; theme=dark"),
    (b"x-request-id", b"6f1c2b8e-4d1f-4a57-9c11-0d2a4c9b7e31"),
    (b"x-forwarded-for", b"203.0.113.7"),
    (b"sec-fetch-mode", b"navigate"),
    (b"upgrade-insecure-requests", b"1"),
    (b"cache-control", b"no-cache"),
]
assert len(HEADERS) == 12
SCOPE = {
    "type": "http",
    "asgi": {"version": "3.0"},
    "http_version": "1.1",
    "method": METHOD,
    "scheme": "http",
    "path": PATH.decode(),
    "raw_path": PATH,
    "query_string": QUERY,
    "root_path": "",
    "headers": HEADERS,
    "client": ("203.0.113.7", 50123),
    "server": ("example.com", 80),
}
DATA = {"id": 42, "name": "widget", "tags": ["a", "b"], "price": 9.5}


def quenmark_cycle():
    request = Request.incoming(METHOD, PATH, QUERY, HEADERS)
    request.scope = SCOPE
    seen = (
        request.method,
        request.path,
        request.query,
        request.host,
        request.cookies,
        request.get_first_header(b"user-agent"),
    )
    response = Response(
        200,
        [(b"x-request-id", b"6f1c2b8e"), (b"cache-control", b"no-store")],
        JSONContent(DATA),
    )
    return seen, response


def starlette_cycle():
    request = StarletteRequest(SCOPE)
    seen = (
        request.method,
        request.url.path,
        request.query_params,
        request.headers["host"],
        request.cookies,
        request.headers.get("user-agent"),
    )
    response = JSONResponse(
        DATA, headers={"x-request-id": "6f1c2b8e", "cache-control": "no-store"}
    )
    return seen, response


def check_same_answers():
    (q, _), (s, _) = quenmark_cycle(), starlette_cycle()
    assert q[0] == s[0] and q[1] == s[1] and q[3] == s[3] and q[4] == s[4] and q[5] == s[5].encode()
    assert q[2] == {k: s[2].getlist(k) for k in s[2]}


def time_per_call(fn, number):
    start = time.perf_counter_ns()
    for _ in range(number):
        fn()
    return (time.perf_counter_ns() - start) / number


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--number", type=int, default=2000)
    args = parser.parse_args(argv)
    check_same_answers()
    for fn in (quenmark_cycle, starlette_cycle):
        time_per_call(fn, args.number)  # warm-up
    times = {quenmark_cycle: [], starlette_cycle: []}
    for _ in range(args.rounds):
        for fn in times:
            times[fn].append(time_per_call(fn, args.number))
    q = statistics.median(times[quenmark_cycle])
    s = statistics.median(times[starlette_cycle])
    print(f"request cycle (median of {args.rounds} rounds x {args.number} cycles)")
    print(f"  quenmark   {q / 1000:8.2f} us")
    print(f"  starlette  {s / 1000:8.2f} us")
    print(f"  speed-up   {s / q:8.2f}x (target 3x)")


if __name__ == "__main__":
    main()
