"""Reference balance of quenmark.keystone, path by path, with a debug interpreter's total reference
count (the measure of test_native_refleaks.py). Skipped on release builds.

Every way through handle and the dispatch runs here, the failing ones included, and so do the
coroutines stopped half-way: closed or thrown into while a handler (or an exception handler)
is suspended, or never awaited."""

import asyncio
import ctypes
import logging
import types

import pytest

import capi_tables
import quenmark.keystone as keystone
from quenmark.contents import TextContent
from quenmark.exceptions import BadRequest, HTTPException, NotFound, UnprocessableEntity
from quenmark.keystone import ExceptionHandlersDict, KeystoneApplication
from quenmark.messages import Request, Response
from quenmark.routing import RouteMatch
from quenmark.server.routing import Route
from test_native_refleaks import attempt, check, drive, pytestmark  # noqa: F401


@types.coroutine
def suspend():
    return (yield "tick")


@pytest.fixture(autouse=True)
def quiet_logger():
    """Records are built and then dropped by a filter of the logger, before any handler (the
    test runner's, which would keep them, included)."""
    logger = logging.getLogger("quenmark.server")
    logger.addFilter(drop)
    yield
    logger.removeFilter(drop)


def drop(record):
    return False


class Router:
    def __init__(self, handler):
        self.match = RouteMatch(Route(b"/items/{id}", handler), {"id": "1"})

    def get_match(self, request):
        return self.match


class Failing:
    def get_match(self, request):
        raise LookupError("router")


def handler_for(outcome):
    """`outcome`: what the handler returns, or an exception class (with its arguments, as a
    tuple) that it raises new on every call: a raised instance keeps the traceback it gets."""
    async def handler(request):
        if outcome == "suspend":
            await suspend()
            raise NotFound()
        if isinstance(outcome, tuple):
            raise outcome[0](*outcome[1:])
        return outcome
    return handler


class BadStr(ValueError):
    def __str__(self):
        raise RuntimeError("no text")


class Details:
    def produce_response(self, request, exc):
        return Response(500, content=TextContent(repr(exc)))


class App(KeystoneApplication):
    server_error_details_handler = Details()


class Overriding(KeystoneApplication):
    async def handle_request_handler_exception(self, request, exc):
        return await super().handle_request_handler_exception(request, exc)

    async def log_handled_exc(self, request, exc):
        await suspend()

    def get_http_exception_handler(self, http_exception):
        return super().get_http_exception_handler(http_exception)

    async def _apply_exception_handler(self, request, exc, exception_handler):
        return await super()._apply_exception_handler(request, exc, exception_handler)


async def failing_handler(app, request, exc):
    raise RuntimeError("handler")


async def suspending_handler(app, request, exc):
    await suspend()
    return Response(299)


async def none_handler(app, request, exc):
    return None


def app(outcome, cls=App, show=False, extra=None):
    a = cls(show, Router(handler_for(outcome)))
    if extra:
        a.exceptions_handlers.update(extra)
    return a


def request(path=b"/items/1"):
    return Request("GET", path, [])


def handled(a, path=b"/items/1"):
    return lambda: drive(a.handle(request(path)))


def thrown_while_suspended(make, exc_type):
    def op():
        coro = make()
        attempt(coro.send, None)
        attempt(coro.throw, exc_type("thrown"))
        coro.close()
    return op


def closed_while_suspended(make):
    def op():
        coro = make()
        attempt(coro.send, None)
        coro.close()
    return op


class PydanticLike(Exception):
    def json(self, indent=None):
        return '{"a": 1}'


def test_handle_paths():
    ops = {
        "ready": handled(app(Response(200))),
        "none": handled(app(None)),
        "not a response": handled(app({"a": 1})),
        "no route": lambda: drive(App(False, type("R", (), {"get_match": lambda s, r: None})())
                                  .handle(request())),
        "router failing": lambda: drive(App(False, Failing()).handle(request())),
        "registered 404": handled(app((NotFound, "x"))),
        "bad request": handled(app((BadRequest, "x"))),
        "unprocessable": handled(app((UnprocessableEntity, "m", "m - at `$.a[1]`"))),
        "unknown status": handled(app((HTTPException, 599))),
        "unhandled": handled(app((ValueError, "x"))),
        "unhandled, details": handled(app((ValueError, "x"), show=True)),
        "bad str": handled(app((BadStr,))),
        "undecodable url": handled(app((NotFound,)), b"/\xff"),
        "handler failing": handled(app((ValueError,), extra={ValueError: failing_handler})),
        "handler failing, details": handled(app((ValueError,), show=True,
                                                extra={ValueError: failing_handler})),
        "handler returning none": handled(app((ValueError,), extra={ValueError: none_handler})),
        "500 handler failing": handled(app((ValueError,), extra={500: failing_handler})),
        "pydantic-like": handled(app((PydanticLike,), extra={PydanticLike: keystone
                                                            ._default_pydantic_validation_error_handler})),
        "overrides": handled(app((NotFound,), cls=Overriding)),
        "cancelled": handled(app((asyncio.CancelledError,))),
        "bad argument": lambda: attempt(App(False, None).handle, None),
        "subclass shadowed": lambda: (setattr(a := app((NotFound,), cls=type("O", (App,), {})),
                                              "log_handled_exc", lambda r, e: suspend()),
                                      drive(a.handle(request()))),
    }
    check(ops)


def test_coroutines_stopped_half_way():
    suspended = app("suspend")
    in_handler = app((ValueError,), extra={ValueError: suspending_handler})
    in_override = app((NotFound,), cls=Overriding)
    ops = {}
    for name, a in (("handler", suspended), ("exception handler", in_handler),
                    ("override", in_override)):
        make = lambda a=a: a.handle(request())
        ops[f"{name}: closed"] = closed_while_suspended(make)
        ops[f"{name}: CancelledError thrown"] = thrown_while_suspended(make, asyncio.CancelledError)
        ops[f"{name}: KeyError thrown"] = thrown_while_suspended(make, KeyError)
        ops[f"{name}: dropped"] = lambda make=make: attempt(make().send, None)
        ops[f"{name}: never awaited"] = make
    check(ops)


def test_registry_and_default_handlers():
    async def three(app, request, exc):
        pass

    def plain(app, request, exc):
        pass

    r = request()
    o, i = ctypes.py_object, ctypes.c_int
    get = capi_tables.function(keystone, "get_exception_handler", o, o, o, o)
    is_handled = capi_tables.function(keystone, "is_handled_exception", i, o, o)
    a = KeystoneApplication(False, None)
    check({
        "construct": lambda: KeystoneApplication(True, None),
        "registry accepts": lambda: ExceptionHandlersDict({1: three, ValueError: three}),
        "registry refuses": lambda: attempt(ExceptionHandlersDict, {1: plain}),
        "not found": lambda: drive(keystone.handle_not_found(a, r, NotFound())),
        "bad request": lambda: drive(keystone.handle_bad_request(a, r, BadRequest("x"))),
        "common": lambda: drive(keystone.common_http_exception_handler(a, r, HTTPException(418))),
        "common unknown": lambda: drive(keystone.common_http_exception_handler(
            a, r, HTTPException(599))),
        "validation shapes": lambda: [drive(keystone.handle_unprocessable_entity(
            a, r, UnprocessableEntity("m", details=d))) for d in (
            None, ["x", 1], [{"loc": 1, "msg": 2}], {"detail": 1}, {"loc": 1, "msg": 2}, {"o": 1},
            "t - at `$.a[0].b" + "9" * 5000 + "`", 5)],  # (msgspec's own failures: see above)
        "typed arguments": lambda: (attempt(keystone.handle_not_found, a, None, NotFound()),
                                    attempt(keystone.handle_not_found, a, r, ValueError()),
                                    attempt(a.get_http_exception_handler, 1)),
        "c-level": lambda: (get(a, NotFound(), HTTPException), is_handled(a, ValueError()),
                            attempt(is_handled, a, 5)),
    })
