"""The apps' own cost per request, without a server: each app is called in process through its
ASGI or RSGI interface with a scope like the servers', and answers into stand-ins of `send` or of
the RSGI protocol that keep nothing. No socket, no parsing, no server code: what remains is the
app's share of a request, with much less noise than a load over loopback, so that a change to the
request path shows before it is measured end to end.

The scopes are what uvicorn and granian pass for wrk's requests (a Host header; Content-Length and
Content-Type on the POST). Each app's reply is checked against the endpoint's before it is timed.

    .venv/bin/python benchmarks/e2e/inprocess.py [--interface asgi|rsgi] [--apps raw,quenmark]
        [--endpoints text,json] [--rounds 9] [--number 5000]
"""

from __future__ import annotations

import argparse
import asyncio
import importlib
import json
import sys
import time

from harness import APPS, ENDPOINTS, RAW, Endpoint, machine_load


def asgi_scope(endpoint: Endpoint) -> dict:
    headers = [(b"host", b"127.0.0.1:8000")]
    if endpoint.body:
        headers += [(b"content-length", str(len(endpoint.body)).encode()),
                    (b"content-type", b"application/json")]
    return {"type": "http", "asgi": {"version": "3.0", "spec_version": "2.4"}, "http_version": "1.1",
            "server": ("127.0.0.1", 8000), "client": ("127.0.0.1", 50000), "scheme": "http",
            "method": endpoint.method, "root_path": "", "path": endpoint.path,
            "raw_path": endpoint.path.encode(), "query_string": b"", "headers": headers, "state": {}}


def asgi_caller(app, endpoint: Endpoint, replies: list | None):
    scope = asgi_scope(endpoint)
    message = {"type": "http.request", "body": endpoint.body, "more_body": False}

    async def receive():
        return message

    async def send(event):
        if replies is not None:
            replies.append(event)

    return lambda: app(dict(scope), receive, send)


class RSGIHeaders(dict):
    """granian's header mapping: a mapping of str with `get_all`."""

    def get_all(self, key: str) -> list[str]:
        return [self[key]] if key in self else []


class RSGIScope:
    def __init__(self, endpoint: Endpoint) -> None:
        self.proto = "http"
        self.http_version = "1.1"
        self.rsgi_version = "1.5"
        self.server = "127.0.0.1:8000"
        self.client = "127.0.0.1:50000"
        self.scheme = "http"
        self.method = endpoint.method
        self.path = endpoint.path
        self.query_string = ""
        self.authority = None
        headers = {"host": "127.0.0.1:8000"}
        if endpoint.body:
            headers |= {"content-length": str(len(endpoint.body)), "content-type": "application/json"}
        self.headers = RSGIHeaders(headers)


class RSGITransport:
    def __init__(self, replies: list | None) -> None:
        self.replies = replies

    async def send_bytes(self, data: bytes) -> None:
        if self.replies is not None:
            self.replies.append(bytes(data))

    async def send_str(self, data: str) -> None:
        if self.replies is not None:
            self.replies.append(data.encode())


class RSGIProtocol:
    def __init__(self, body: bytes, replies: list | None) -> None:
        self.body = body
        self.replies = replies

    async def __call__(self) -> bytes:
        return self.body

    def __aiter__(self):
        return self._chunks()

    async def _chunks(self):
        yield self.body

    def response_empty(self, status: int, headers: list) -> None:
        self._keep(status, headers, b"")

    def response_bytes(self, status: int, headers: list, body: bytes) -> None:
        self._keep(status, headers, body)

    def response_str(self, status: int, headers: list, body: str) -> None:
        self._keep(status, headers, body.encode())

    def response_stream(self, status: int, headers: list) -> RSGITransport:
        self._keep(status, headers, b"")
        return RSGITransport(self.replies)

    def _keep(self, status: int, headers: list, body: bytes) -> None:
        if self.replies is not None:
            self.replies.append({"status": status, "headers": list(headers), "body": body})


def rsgi_caller(app, endpoint: Endpoint, replies: list | None):
    scope = RSGIScope(endpoint)
    handler = getattr(app, "__rsgi__", app)
    return lambda: handler(scope, RSGIProtocol(endpoint.body, replies))


def reply_of(interface: str, replies: list) -> tuple[int, bytes]:
    if interface == "asgi":
        status = next(e["status"] for e in replies if e["type"] == "http.response.start")
        body = b"".join(e.get("body", b"") for e in replies if e["type"] == "http.response.body")
        return status, body
    start = replies[0]
    return start["status"], start["body"] + b"".join(r for r in replies[1:] if isinstance(r, bytes))


def check(interface: str, app_name: str, app, endpoint: Endpoint, loop) -> None:
    replies: list = []
    caller = (asgi_caller if interface == "asgi" else rsgi_caller)(app, endpoint, replies)
    loop.run_until_complete(caller())
    status, body = reply_of(interface, replies)
    value = json.loads(body) if endpoint.is_json and status == 200 else body.decode(errors="replace")
    if status != 200 or value != endpoint.expected:
        raise SystemExit(f"{app_name} ({interface}) answers {endpoint.name} with {status} {body[:200]!r}")


def time_per_call(caller, number: int, loop) -> float:
    """µs per request for `number` requests awaited one after the other."""

    async def batch():
        for _ in range(number):
            await caller()

    start = time.perf_counter()
    loop.run_until_complete(batch())
    return (time.perf_counter() - start) / number * 1e6


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--interface", choices=("asgi", "rsgi"), default="asgi")
    parser.add_argument("--apps", default=",".join(APPS))
    parser.add_argument("--endpoints", default=",".join(ENDPOINTS))
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--number", type=int, default=5000, help="requests per round (default 5000)")
    arguments = parser.parse_args()
    names = [RAW] + [a for a in arguments.apps.split(",") if a and a != RAW]
    apps = {}
    for name in names:
        module = APPS[name].module(arguments.interface)
        if module is None:
            print(f"{name}: no {arguments.interface.upper()} interface, left out", file=sys.stderr)
        else:
            apps[name] = importlib.import_module(module).app
    endpoints = [ENDPOINTS[e] for e in arguments.endpoints.split(",") if e]
    make_caller = asgi_caller if arguments.interface == "asgi" else rsgi_caller
    import uvloop

    loop = uvloop.new_event_loop()
    # The best round, as timeit reports: other processes on the machine only ever add time.
    print(f"{arguments.interface.upper()} apps in process, µs per request (best of {arguments.rounds} "
          f"rounds of {arguments.number}); in brackets: above raw; load average {machine_load()}")
    print("endpoint".ljust(10) + "".join(name.rjust(20) for name in apps))
    for endpoint in endpoints:
        callers = {}
        for name, app in apps.items():
            check(arguments.interface, name, app, endpoint, loop)
            callers[name] = make_caller(app, endpoint, None)
            time_per_call(callers[name], max(1, arguments.number // 10), loop)  # warm-up
        times: dict[str, list[float]] = {name: [] for name in apps}
        for _ in range(arguments.rounds):
            for name, caller in callers.items():
                times[name].append(time_per_call(caller, arguments.number, loop))
        best = {name: min(values) for name, values in times.items()}
        row = endpoint.name.ljust(10)
        for name, value in best.items():
            above = "" if name == RAW else f" ({value - best[RAW]:+.2f})"
            row += f"{value:.2f}{above}".rjust(20)
        print(row, flush=True)
    loop.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
