"""Every writer operation, the failing ones included, repeated many times: traced memory and the
reference counts of shared objects stay flat (and, under a debug interpreter, the total
reference count: see test_native_refleaks). Coroutines are driven by hand, completed, failed,
closed while suspended and dropped."""

import ctypes
import gc
import sys
import tracemalloc
import types

import pytest

import capi_tables
from test_scribe_rsgi import Protocol, Scope
from quenmark import scribe
from quenmark.contents import (Content, JSONContent, ServerSentEvent, StreamedContent, TextContent,
                               TextServerSentEvent)
from quenmark.cookies import Cookie
from quenmark.messages import Response, release_request

HEADERS = [(b"x-a", b"1"), (b"Content-Type", b"text/csv")]
BAD_HEADERS = [(b"x-a", b"1\r\n")]
CONTENT = TextContent("shared")
LARGE = Content(b"a/b", b"x" * 70000)
COOKIE = Cookie("sid", "v")
EVENT = ServerSentEvent({"a": 1}, event="e\r", id="1\n2", retry=3, comment="a\rb")


@types.coroutine
def suspend():
    yield "tick"


async def sink(event):
    pass


async def slow_sink(event):
    await suspend()


async def failing_sink(event):
    if event["type"] == "http.response.body":
        raise ConnectionResetError("gone")


def chunks(*items, fail=False):
    async def produce():
        for item in items:
            yield item
        if fail:
            raise RuntimeError("broke")

    return produce


def drive(coro, steps=10):
    try:
        for _ in range(steps):
            coro.send(None)
    except BaseException:  # the failures are the workload
        pass
    finally:
        coro.close()


def suspended(coro):
    coro.send(None)
    return coro


def streamed(*items, length=-1, fail=False):
    return StreamedContent(b"text/plain", chunks(*items, fail=fail), length)


ASGI_SCOPE = {"type": "http", "method": "GET", "path": "/", "raw_path": b"/?q", "query_string": b"q",
              "headers": [(b"host", b"h"), (b"content-length", b"1")]}
UNANSWERED = Response(499)


async def receive():
    return {"type": "http.request", "body": b"x", "more_body": False}


def entry(outcome):
    async def handle(request):
        if isinstance(outcome, BaseException):
            raise outcome
        await suspend()
        return outcome() if callable(outcome) else outcome

    return handle


async def kept(request, into=[]):  # noqa: B006 - holds the last request on purpose
    into[:] = [request]
    return Response(200, None, CONTENT)


def operations():
    send = scribe.send_asgi_response
    rsgi = scribe.send_rsgi_response
    protocol = Protocol()
    return [
        lambda: drive(send(Response(200, None, TextContent("x")), sink)),
        lambda: drive(send(Response(200, list(HEADERS), CONTENT), sink)),
        lambda: drive(send(Response(200, None, LARGE), sink)),
        lambda: drive(send(Response(204), sink)),
        lambda: drive(send(Response(200, None, streamed(b"a", b"", None, b"b")), sink)),
        lambda: drive(send(Response(200, None, streamed(b"a", fail=True)), sink)),
        lambda: drive(send(Response(200, None, streamed(b"a", "s")), sink)),
        lambda: drive(send(Response(200, None, streamed(b"abc", length=2)), sink)),
        lambda: drive(send(Response(200, None, streamed(b"a", b"b")), failing_sink)),
        lambda: suspended(send(Response(200, None, streamed(b"a", b"b")), slow_sink)).close(),
        lambda: suspended(send(Response(200, None, LARGE), slow_sink)),
        lambda: send(Response(200, None, CONTENT), sink),
        lambda: drive(send(Response(200, list(BAD_HEADERS), CONTENT), sink)),
        lambda: send(None, sink),
        lambda: scribe.set_headers_for_response_content(Response(200, None, CONTENT)),
        lambda: list(scribe.get_chunks(b"y" * 130000)),
        lambda: scribe.get_chunks(None),
        lambda: drive(scribe.write_chunks(streamed(b"a", b"", b"bc")).__anext__()),
        lambda: drive(scribe.write_chunks(streamed(b"a", fail=True)).aclose()),
        lambda: scribe.write_response_cookie(COOKIE),
        lambda: scribe.write_sse(EVENT),
        lambda: scribe.write_sse(TextServerSentEvent("a\nb", comment="x\r\ny")),
        # A lone surrogate in text (msgspec, which encodes ServerSentEvent's data, leaks a
        # reference on each such failure itself, so JSON data is not used for it here).
        lambda: scribe.write_sse(TextServerSentEvent("\ud800")),
        lambda: scribe.write_sse(None),
        lambda: scribe.extract_rsgi_headers({"a": "b", "accept": "*/*"}),
        lambda: scribe.extract_rsgi_headers([("x", "\u0100")]),
        lambda: release_request(scribe.instantiate_rsgi_request(Scope(), protocol)),
        lambda: scribe.instantiate_rsgi_request(Scope(), protocol).scope.get("client"),
        lambda: drive(rsgi(Response(200, None, JSONContent([1])), protocol)),
        lambda: drive(rsgi(Response(200, list(HEADERS), CONTENT), protocol)),
        lambda: drive(rsgi(Response(200, list(BAD_HEADERS), CONTENT), protocol)),
        lambda: drive(rsgi(Response(200, None, streamed(b"a", "s", bytearray(b"z"))), protocol)),
        lambda: drive(rsgi(Response(200, None, streamed(b"a", length=5)), protocol)),
        lambda: drive(rsgi(Response(200, None, streamed(b"a", fail=True)), protocol)),
        # Whole exchanges: answered, unanswered, failed, closed while suspended, kept elsewhere.
        lambda: drive(scribe.serve_asgi(entry(lambda: Response(200, None, CONTENT)), dict(ASGI_SCOPE),
                                        receive, sink, UNANSWERED)),
        lambda: drive(scribe.serve_asgi(entry(UNANSWERED), dict(ASGI_SCOPE), receive, sink, UNANSWERED)),
        lambda: drive(scribe.serve_asgi(entry(RuntimeError("x")), dict(ASGI_SCOPE), receive, sink,
                                        UNANSWERED)),
        lambda: suspended(scribe.serve_asgi(entry(None), dict(ASGI_SCOPE), receive, sink,
                                            UNANSWERED)).close(),
        lambda: drive(scribe.serve_asgi(kept, dict(ASGI_SCOPE), receive, failing_sink, UNANSWERED)),
        lambda: scribe.serve_asgi(entry(None), {}, receive, sink, UNANSWERED),
        lambda: drive(scribe.serve_rsgi(entry(lambda: Response(200, None, JSONContent([1]))), Scope(),
                                        protocol, UNANSWERED)),
        lambda: drive(scribe.serve_rsgi(entry(5), Scope(), protocol, UNANSWERED)),
    ]


def run(rounds):
    for _ in range(rounds):
        for op in operations():
            try:
                op()
            except Exception:  # noqa: BLE001 - the failures are the workload
                pass


def test_operations_leak_nothing():
    watched = [HEADERS, BAD_HEADERS, CONTENT, LARGE, COOKIE, EVENT]
    tracemalloc.start()
    try:
        run(100)  # warm-up: caches, free lists, specialised bytecode
        gc.collect()
        counts = [sys.getrefcount(o) for o in watched]
        growth = []
        for _ in range(3):
            before = tracemalloc.get_traced_memory()[0]
            run(500)
            gc.collect()
            growth.append(tracemalloc.get_traced_memory()[0] - before)
            if growth[-1] < 32 * 1024:
                break
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in watched] == counts
    assert min(growth) < 32 * 1024, f"traced memory grew by {growth} bytes"


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                    reason="needs a debug (--with-pydebug) interpreter")
def test_operations_balance_references():
    import test_native_refleaks

    test_native_refleaks.check(test_native_refleaks.each_of(operations))


_O, _I = ctypes.py_object, ctypes.c_int


def test_c_level_table():
    entry = lambda slot, restype, nargs: capi_tables.function(scribe, slot, restype,
                                                              *[_O] * nargs, _I)
    size = ctypes.c_int.from_address(capi_tables.address(scribe, "MAX_RESPONSE_CHUNK_SIZE"))
    assert size.value == 61440
    size.value = 10  # other modules read it; the writers keep their own
    try:
        assert [len(c) for c in scribe.get_chunks(b"x" * 61441)] == [61440, 1, 0]
    finally:
        size.value = 61440
    response = Response(200, None, CONTENT)
    assert entry("set_headers_for_response_content", _I, 1)(response, 0) == 0
    assert response.headers.values[-1] == (b"content-length", b"6")
    assert entry("write_sse", _O, 1)(EVENT, 0) == scribe.write_sse(EVENT)
    assert entry("extract_rsgi_headers", _O, 1)(None, 0) == []
    request = entry("instantiate_rsgi_request", _O, 2)(Scope(), Protocol(), 0)
    assert request._path == b"/caf%C3%A9"
    assert entry("send_rsgi_response_sync", _O, 2)(Response(204), Protocol(), 0) is None
    with pytest.raises(TypeError):
        entry("set_headers_for_response_content", _I, 1)(None, 0)
    with pytest.raises(TypeError):
        entry("write_sse", _O, 1)(5, 0)
