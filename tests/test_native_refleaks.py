"""Reference balance of the compiled modules, operation by operation, with a debug interpreter's
total reference count (`sys.gettotalrefcount`). Skipped on release builds, where the memory
tests of each module stand in for it.

Each operation runs a warm-up, then three batches; after every batch the collector runs. An
operation whose every batch leaves the total reference count (or the number of allocated
blocks) higher by a third of a reference per call or more leaks. A debug interpreter catches
what the memory tests cannot: a reference leaked on a shared object allocates nothing.

Extensions built for release interpreters (msgspec's wheel) keep their own reference count out
of the total, so failures inside them are not exercised here.

    python -m pytest tests/test_native_refleaks.py   # with a --with-pydebug interpreter
"""

import asyncio
import ctypes
import gc
import sys
import types
import warnings

import pytest

import capi_tables
import test_headers_leaks
import test_messages_leaks
from quenmark import headers, messages, routing
from quenmark.contents import Content
from quenmark.headers import Headers
from quenmark.messages import Message, Request, Response, _call_soon, _read_stream
from quenmark.routing import CythonRadixRouter, RadixNode, RadixTree, RouteMatch

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                                reason="needs a debug (--with-pydebug) interpreter")

WARM, CALLS, BATCHES = 10, 45, 3


def leaks(op, attempts=3):
    """The (references, blocks) growth of each batch, or None when the operation is balanced.
    Caches that fill slowly (the interpreter's own, under a busy collector) can grow through one
    series of batches; a leak grows through every attempt."""
    for _ in range(WARM):
        op()
    for _ in range(attempts):
        gc.collect()
        deltas = []
        for _ in range(BATCHES):
            refs, blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
            for _ in range(CALLS):
                op()
            gc.collect()
            deltas.append((sys.gettotalrefcount() - refs, sys.getallocatedblocks() - blocks))
        limit = CALLS // 3
        if not (all(r >= limit for r, _ in deltas) or all(b >= limit for _, b in deltas)):
            return None
    return deltas


def attempt(fn, *args):
    try:
        fn(*args)
    except (Exception, asyncio.CancelledError, GeneratorExit):  # the failures are the workload
        pass


def check(ops):
    gc.collect()
    gc.freeze()  # what exists now is not rescanned by each of the many collections below
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            found = {name: d for name, op in ops.items() if (d := leaks(op)) is not None}
    finally:
        gc.unfreeze()
    assert found == {}


def each_of(factory):
    """One operation per entry of a module's leak-test list, the list rebuilt for every call
    (its entries change the objects they share)."""
    return {f"{factory.__module__}[{i}]": (lambda i=i: attempt(lambda: factory()[i]()))
            for i in range(len(factory()))}


def test_headers_operations():
    check(each_of(test_headers_leaks.operations))


def test_messages_operations():
    check(each_of(test_messages_leaks.operations))


# ---- coroutines and asynchronous generators, driven by hand ----------------------------------


@types.coroutine
def suspend():
    return (yield "tick")


class Gate(Content):
    """read() and stream() suspend once per step; `mode` makes them fail."""

    __slots__ = ("mode",)

    def __init__(self, mode="ok", data=b'{"a": 1}'):
        super().__init__(b"application/json", data)
        self.mode = mode

    async def read(self):
        await suspend()
        if self.mode == "raise":
            raise KeyError("inner")
        return self.body

    async def stream(self):
        for part in (b"a", b"b", b"c"):
            await suspend()
            if self.mode == "raise":
                raise KeyError("inner")
            yield part


def message(content):
    m = Message([(b"content-type", b"application/json")])
    m.content = content
    return m


def drive(awaitable, steps=8):
    try:
        for _ in range(steps):
            awaitable.send(None)
    except (Exception, asyncio.CancelledError, GeneratorExit):
        pass
    finally:
        attempt(awaitable.close)


def thrown_after_first_step(coro, exc):
    attempt(coro.send, None)
    attempt(coro.throw, exc)
    coro.close()


def suspended(coro):
    coro.send(None)
    return coro


def generator_case(kind):
    def op():
        g = message(Gate("raise" if kind == "raise" else "ok")).stream()
        if kind in ("to the end", "raise"):
            for _ in range(5):
                drive(g.__anext__())
        elif kind == "aclose while suspended":
            step = g.__anext__()
            step.send(None)
            drive(g.aclose())
            step.close()
        elif kind == "athrow while suspended":
            step = g.__anext__()
            step.send(None)
            drive(g.athrow(ValueError("x")))
            step.close()
        elif kind == "athrow legacy":
            drive(g.athrow(ValueError, ValueError("y"), None))
        elif kind == "asend":
            drive(g.asend(None))
            drive(g.asend(b"v"))
        elif kind == "step dropped while suspended":
            g.__anext__().send(None)
        elif kind == "step never awaited":
            g.__anext__()
        elif kind == "step throw":
            step = g.__anext__()
            step.send(None)
            attempt(step.throw, KeyError("k"))
        elif kind == "step reused":
            step = g.__anext__()
            drive(step)
            drive(step)
        drive(g.aclose())
    return op


def test_coroutines_driven_by_hand():
    ops = {
        "read": lambda: drive(message(Gate()).read()),
        "read without content": lambda: drive(message(None).read()),
        "read failing": lambda: drive(message(Gate("raise")).read()),
        "read_raw": lambda: drive(message(Gate()).read_raw()),
        "read_detached": lambda: drive(message(Gate()).read_detached()),
        "text": lambda: drive(message(Gate()).text()),
        "text undecodable": lambda: drive(message(Gate(data=b"\xff\xfe")).text()),
        "json": lambda: drive(message(Gate()).json()),
        "json failing read": lambda: drive(message(Gate("raise")).json()),
        "json loads failing": lambda: drive(message(Gate()).json(lambda s: 1 / 0)),
        "json loads refusing": lambda: drive(message(Gate()).json(lambda s: int("x"))),
        "throw ValueError": lambda: thrown_after_first_step(message(Gate()).read(), ValueError()),
        "throw LookupError": lambda: thrown_after_first_step(message(Gate()).read(), KeyError()),
        "throw StopIteration": lambda: thrown_after_first_step(message(Gate()).read(),
                                                               StopIteration()),
        "throw CancelledError": lambda: thrown_after_first_step(message(Gate()).json(),
                                                                asyncio.CancelledError()),
        "throw legacy form": lambda: attempt(message(Gate()).read().throw, ValueError, "x", None),
        "throw a non-exception": lambda: attempt(message(Gate()).read().throw, 5),
        "throw before the start": lambda: attempt(message(Gate()).read().throw, ValueError()),
        "close while suspended": lambda: suspended(message(Gate()).read()).close(),
        "dropped while suspended": lambda: suspended(message(Gate()).read()),
        "never awaited": lambda: message(Gate()).read(),
        "non-None first send": lambda: attempt(message(Gate()).read().send, 1),
        "reused": lambda: (lambda c: (drive(c), attempt(c.send, None)))(message(None).read()),
        "introspection": lambda: (lambda c: (c.cr_frame, c.cr_code, c.cr_await, repr(c), c.close()))(
            suspended(message(Gate()).read())),
        "raise_for_status 2xx": lambda: drive(Response(204).raise_for_status()),
        "raise_for_status 5xx": lambda: drive(
            Response(500, None, Content(b"text/plain", b"boom")).raise_for_status()),
        "suspended read in a cycle": lambda: setattr(m := message(Gate()), "context",
                                                     suspended(m.read())),
    }
    for kind in ("to the end", "raise", "aclose while suspended", "athrow while suspended",
                 "athrow legacy", "asend", "step dropped while suspended", "step never awaited",
                 "step throw", "step reused"):
        ops["stream " + kind] = generator_case(kind)
    check(ops)


# ---- under an event loop ----------------------------------------------------------------------


class Ticking(Content):
    __slots__ = ("fail",)

    def __init__(self, fail=False):
        super().__init__(b"application/json", b'{"a": 1}')
        self.fail = fail

    async def read(self):
        await asyncio.sleep(0)
        if self.fail:
            raise KeyError("x")
        return self.body

    async def stream(self):
        for part in (b"a", b"b", b"c"):
            await asyncio.sleep(0)
            if self.fail:
                raise KeyError("x")
            yield part


async def stream_left_early():
    async for _ in message(Ticking()).stream():
        break


async def stream_failing():
    try:
        async for _ in message(Ticking(True)).stream():
            pass
    except KeyError:
        pass


async def task_cancelled(make):
    task = asyncio.ensure_future(make())
    await asyncio.sleep(0)
    task.cancel()
    try:
        await task
    except asyncio.CancelledError:
        pass


async def consume_slowly():
    async for _ in message(Ticking()).stream():
        await asyncio.sleep(0)


async def timed_out():
    try:
        await asyncio.wait_for(message(Ticking()).read(), 0)
    except TimeoutError:
        pass


async def call_soon_cases():
    async def inner(fail):
        await asyncio.sleep(0)
        if fail:
            raise KeyError("x")

    for target in (inner(False), inner(True), 5):
        try:
            await _call_soon(target)
        except (KeyError, TypeError):
            pass


async def read_stream_cases():
    for content in (Ticking(), Ticking(True)):
        r = Request("GET", b"/", [])
        r.content = content
        try:
            await _read_stream(r)
        except KeyError:
            pass
    try:
        await _read_stream(None)
    except AttributeError:
        pass


async def not_bound_to_asgi():
    try:
        await Request("GET", b"/", []).is_disconnected()
    except TypeError:
        pass


def test_coroutines_on_an_event_loop():
    loop = asyncio.new_event_loop()
    try:
        def on_loop(make):
            def op():
                loop.run_until_complete(make())
                loop.run_until_complete(asyncio.sleep(0))  # let finalizers' aclose() run
            return op

        check({
            "stream left early": on_loop(stream_left_early),
            "stream failing": on_loop(stream_failing),
            "json cancelled": on_loop(lambda: task_cancelled(lambda: message(Ticking()).json())),
            "stream cancelled": on_loop(lambda: task_cancelled(consume_slowly)),
            "read timed out": on_loop(timed_out),
            "_call_soon": on_loop(call_soon_cases),
            "_call_soon cancelled": on_loop(lambda: task_cancelled(
                lambda: _call_soon(asyncio.sleep(0)))),
            "_read_stream": on_loop(read_stream_cases),
            "is_disconnected refused": on_loop(not_bound_to_asgi),
        })
    finally:
        loop.close()


# ---- routing -----------------------------------------------------------------------------------


class Route:
    handler = "h"
    pattern = b"/p"

    def __init__(self, names=None):
        if names is not None:
            self.param_names = names


class Raising:
    def match(self, value):
        raise RuntimeError("validator")

    def __call__(self, value):
        raise RuntimeError("unquote")


class Declines:
    def match(self, value):
        return None


class Accepts:
    def match(self, value):
        return True


def replaced_global(name, value, fn):
    def op():
        old = getattr(routing, name)
        setattr(routing, name, value)
        try:
            attempt(fn)
        finally:
            setattr(routing, name, old)
    return op


def test_routing_operations():
    shared = Route(["id"])

    def router():
        r = CythonRadixRouter()
        r.add_route(b"GET", b"/users/{id:int}", shared)
        r.add_route(b"GET", b"/users/{id:int}/posts/{p}", shared, ["id", "p"])
        r.add_route(b"GET", b"/users/me", shared)
        r.add_route(b"GET", b"/files/*.css", shared)
        r.add_route(b"GET", b"/any/{rest:path}", shared)
        return r

    r = router()
    t = RadixTree()
    t.insert(b"/x/{a}/y", shared)
    deep = RadixTree()
    deep.insert(b"/" + b"/".join(b"{p%d}" % i for i in range(80)), shared)
    deep_path = b"/" + b"/".join(b"%d" % i for i in range(80))

    def raising_validator():
        tree = RadixTree()
        tree.insert(b"/v/{a}", shared)
        tree.root.children[b"v"].param_child.param_validator = Raising()
        tree.match(b"/v/1")

    # Host code met mid-walk: the stack is held from there on (a validator's answer, a key the
    # children's index cannot hold), and a router whose trees the index cannot hold.
    held = RadixTree()
    held.insert(b"/v/{a}/x", shared)
    held.insert(b"/v/{rest:path}", shared)
    held.insert(b"/w/{a}/{b}", shared)
    held.root.children[b"v"].param_child.param_validator = Declines()
    held.root.children[b"w"].param_child.param_validator = Accepts()
    held.root.children["text key"] = RadixNode()
    held.static_routes[b"/s"] = shared
    unindexed = router()
    unindexed.trees["text key"] = None

    def children_none():
        tree = RadixTree()
        tree.insert(b"/a/{b}", shared)
        tree.root.children = None
        tree.match(b"/a/b")
        tree.insert(b"/a/c", shared)

    check({
        "build": router,
        "match typed": lambda: r.get_match(b"GET", b"/users/42"),
        "match two and unquote": lambda: r.get_match(b"get", b"/users/42/posts/%41x"),
        "match catch-all suffix": lambda: r.get_match(b"GET", b"/files/a/b/c.css"),
        "match path": lambda: r.get_match(b"GET", b"/any/a/%20/b"),
        "match static slash": lambda: r.get_match(b"GET", b"/users/me/"),
        "miss": lambda: r.get_match(b"GET", b"/nothing/here"),
        "deep": lambda: deep.match(deep_path),
        "undecodable": lambda: t.match(b"/x/\xff%zz/y"),
        "bad arguments": lambda: (attempt(r.get_match, "GET", b"/"), attempt(t.match, None),
                                  attempt(routing._fast_unquote, "x")),
        "bad segment": lambda: attempt(router().add_route, b"GET", b"/{\xff}", shared),
        "bad names": lambda: attempt(router().add_route, b"GET", b"/b/{x}", shared, [1]),
        "RouteMatch": lambda: RouteMatch(shared, {"a": b"%41", "b": "x%20y", "c": 1}),
        "RouteMatch failing": lambda: (attempt(RouteMatch, shared, {"a": b"\xff"}),
                                       attempt(RouteMatch, object()),
                                       attempt(RouteMatch, shared, [1])),
        "children replaced": lambda: (t.root.children.__setitem__(b"tmp", RadixNode(b"tmp")),
                                      t.match(b"/tmp/x"), t.root.children.pop(b"tmp")),
        "children None": lambda: attempt(children_none),
        "validator raising": lambda: attempt(raising_validator),
        "unquote replaced": replaced_global("unquote", str.upper,
                                            lambda: r.get_match(b"GET", b"/users/1/posts/%41")),
        "unquote raising": replaced_global("unquote", Raising(),
                                           lambda: r.get_match(b"GET", b"/users/1/posts/%41")),
        "node in a cycle": lambda: setattr(n := RadixNode(), "route", n),
        "held, declined": lambda: held.match(b"/v/1/x"),
        "held, accepted": lambda: held.match(b"/w/1/2"),
        "held, static": lambda: (held.match(b"/s/"), held.match(b"/none")),
        "trees unindexed": lambda: (unindexed.get_match(b"GET", b"/users/42"),
                                    unindexed.get_match(b"PUT", b"/users/42")),
    })


# ---- the C-level tables, including the calls Python cannot make --------------------------------

_O, _I = ctypes.py_object, ctypes.c_int


def entries(module, signatures, prefix=""):
    """The table's entry points by name; `signatures` lists (name, restype, nargs), where a name
    "short=slot" calls slot `prefix + slot` by the name `short`."""
    found = {}
    for name, restype, nargs in signatures:
        short, _, slot = name.partition("=")
        found[short] = capi_tables.function(module, prefix + (slot or short), restype,
                                            *[_O] * nargs)
    return found


class LowersTo(bytes):
    def lower(self):
        return "text"


KEYS = [b"Content-Type", b"x", None, "text", 5, LowersTo(b"A"), bytearray(b"a")]


def test_c_level_tables():
    h = entries(headers, [
        ("keys", _O, 1), ("clone", _O, 1), ("get", _O, 2), ("get_tuples", _O, 2), ("add", _I, 3),
        ("set", _I, 3), ("get_single", _O, 2), ("get_first", _O, 2), ("remove", _I, 2),
        ("merge", _I, 2), ("contains", _I, 2), ("intern=intern_header_name_bytes", _O, 1),
        ("lower=simd_lower_bytes", _O, 1),
        ("new_headers", _O, 1)])
    m = entries(messages, [
        ("get_headers", _O, 2), ("get_first_header", _O, 2), ("get_single_header", _O, 2),
        ("remove_header", _I, 2), ("_has_header", _I, 2), ("has_header", _I, 2),
        ("_add_header", _I, 3), ("_add_header_if_missing", _I, 3), ("add_header", _I, 3),
        ("set_header", _I, 3), ("content_type", _O, 1), ("remove_headers", _I, 2),
        ("get_headers_tuples", _O, 2), ("init_prop", _I, 3), ("with_content", _O, 2),
        ("has_body", _I, 1), ("declares_content_type", _I, 2), ("declares_json", _I, 1),
        ("declares_xml", _I, 1), ("expect_100_continue", _I, 1), ("request_reset", _I, 1),
        ("is_redirect", _I, 1), ("response_reset", _I, 1),
        ("intern_header_name_bytes", _O, 1), ("intern_method_str", _O, 1)])
    rt = {**entries(routing, [("insert", _I, 4), ("_parse_param_segment", _O, 2),
                              ("match", _O, 2)], "radix_tree."),
          **entries(routing, [("add_route", _I, 5), ("get_match", _O, 3), ("freeze", _I, 1)],
                    "router."),
          **entries(routing, [("fast_unquote", _O, 1)]),
          **entries(routing, [("request_router_get_match=get_match", _O, 2)], "request_router.")}

    def fresh_headers():
        return Headers([(b"content-type", b"a"), (None, b"n"), (b"x", None)])

    def fresh_message():
        return test_messages_leaks.Overriding("GET", b"/", [(b"content-type", b"a")])

    ops = {}
    for key in KEYS:
        for name in ("get", "get_tuples", "get_single", "get_first", "remove", "contains"):
            ops[f"headers.{name}({key!r})"] = lambda n=name, k=key: attempt(h[n], fresh_headers(), k)
        for name in ("add", "set"):
            ops[f"headers.{name}({key!r})"] = lambda n=name, k=key: (
                attempt(h[n], fresh_headers(), k, b"v"), attempt(h[n], fresh_headers(), b"k", k))
        ops[f"headers intern/lower({key!r})"] = lambda k=key: (attempt(h["intern"], k),
                                                               attempt(h["lower"], k))
        for name in ("get_headers", "get_first_header", "get_single_header", "remove_header",
                     "_has_header", "has_header", "get_headers_tuples", "declares_content_type"):
            ops[f"messages.{name}({key!r})"] = lambda n=name, k=key: (
                attempt(m[n], fresh_message(), k), attempt(m[n], Message([(b"x", b"1")]), k))
        for name in ("_add_header", "_add_header_if_missing", "add_header", "set_header"):
            ops[f"messages.{name}({key!r})"] = lambda n=name, k=key: attempt(
                m[n], Message([]), k, b"v")
    for values in (None, [], [(b"a", b"1")], (), 5, [None, (1, 2)]):
        ops[f"headers merge/new({values!r})"] = lambda v=values: (
            attempt(h["merge"], fresh_headers(), v), attempt(h["new_headers"], v))
        ops[f"messages.remove_headers({values!r})"] = lambda v=values: attempt(
            m["remove_headers"], Message([(b"a", b"1")]), v)
    ops["messages.init_prop"] = lambda: (attempt(m["init_prop"], Message([]), "context", 1),
                                         attempt(m["init_prop"], Message([]), "absent", 1),
                                         attempt(m["init_prop"], Message([]), 5, 1))
    ops["messages content queries"] = lambda: [
        attempt(m[name], target) for name in ("has_body", "declares_json", "declares_xml",
                                              "content_type")
        for target in (fresh_message(), test_messages_leaks.BadOverride([]))]
    ops["messages resets"] = lambda: (attempt(m["request_reset"], test_messages_leaks.request()),
                                      attempt(m["response_reset"], Response(302)),
                                      attempt(m["is_redirect"], Response(302)),
                                      attempt(m["expect_100_continue"], fresh_message()))
    ops["messages interning"] = lambda: [
        (attempt(m["intern_header_name_bytes"], k), attempt(m["intern_method_str"], k))
        for k in (None, b"Host", "GET", "get", "G\ud800", 5)]

    shared = Route(["id"])

    def tree():
        t = RadixTree()
        t.insert(b"/a/{b}/c", shared)
        t.insert(b"/w/*", shared)
        return t

    for path in (b"/a/1/c", b"/w/x/y", None, "s"):
        ops[f"routing({path!r})"] = lambda p=path: (
            attempt(rt["match"], tree(), p), attempt(rt["insert"], tree(), p, shared, None),
            attempt(rt["fast_unquote"], p), attempt(rt["_parse_param_segment"], tree(), p),
            attempt(rt["add_route"], CythonRadixRouter(), b"GET", p, shared, None),
            attempt(rt["get_match"], CythonRadixRouter(), b"get", p))
    ops["routing.freeze"] = lambda: attempt(rt["freeze"], CythonRadixRouter())

    class Own(routing._RequestRouter):
        pass

    def request_router(shadowed):
        r = Own()
        r._engine = CythonRadixRouter()
        r._engine.add_route(b"GET", b"/a/{b}", shared, ["b"])
        if shadowed:
            r.get_match = lambda request: 1 / 0
        return r

    requests = {"match": lambda: Request("GET", b"/a/1", []), "miss": lambda: Request("GET", b"/b", []),
                "other": lambda: types.SimpleNamespace(method="GET", _path=None)}
    for name, request in requests.items():
        ops[f"routing.request_router({name})"] = lambda r=request: [
            attempt(rt["request_router_get_match"], request_router(shadowed), r())
            for shadowed in (False, True)]
    check(ops)


def test_the_measure_sees_a_leak():
    kept = []
    shared = object()
    incref = ctypes.pythonapi.Py_IncRef
    incref.argtypes = [ctypes.py_object]
    calls = []
    gc.freeze()
    try:
        assert leaks(lambda: kept.append(object())) is not None  # one object per call
        assert leaks(lambda: (incref(shared), calls.append(None))) is not None  # no allocation
        assert leaks(lambda: [object()]) is None
        assert leaks(lambda: (c := []).append(c)) is None  # cycles are collected
    finally:
        gc.unfreeze()
    decref = ctypes.pythonapi.Py_DecRef
    decref.argtypes = [ctypes.py_object]
    for _ in calls:
        decref(shared)
