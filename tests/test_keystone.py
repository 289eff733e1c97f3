"""KeystoneApplication: construction, handle, the registry and its dispatch, the log records and the
default error handlers."""

import ast
import asyncio
import ctypes
import http
import inspect
import json
import logging
import pathlib
import subprocess
import sys

import pytest

import capi_tables

import quenmark.keystone as keystone
from quenmark.exceptions import (
    BadRequest,
    HTTPException,
    InternalServerError,
    InvalidExceptionHandler,
    NotFound,
    UnprocessableEntity,
)
from quenmark.keystone import ExceptionHandlersDict, KeystoneApplication
from quenmark.messages import Request, Response
from quenmark.routing import RouteMatch
from quenmark.server.routing import Route

COROUTINE_METHODS = ["handle", "handle_request_handler_exception", "handle_http_exception",
                     "handle_exception", "_apply_exception_handler", "handle_internal_server_error",
                     "log_handled_exc", "log_unhandled_exc"]
DEFAULT_HANDLERS = ["handle_not_found", "handle_internal_server_error", "handle_bad_request",
                    "handle_unprocessable_entity", "_default_pydantic_validation_error_handler",
                    "common_http_exception_handler"]


class OneRoute:
    """A router with one route; `handler` None means nothing matches."""

    def __init__(self, handler=None, values=None):
        self.handler, self.values = handler, values

    def get_match(self, request):
        if self.handler is None:
            return None
        return RouteMatch(Route(b"/items/{id}", self.handler), self.values)


def app_for(handler=None, values=None, cls=KeystoneApplication, show_error_details=False):
    return cls(show_error_details, OneRoute(handler, values))


def request(path=b"/items/1"):
    return Request("GET", path, [])


def raising(exc):
    async def handler(request):
        raise exc
    return handler


def returning(value):
    async def handler(request):
        return value
    return handler


async def text_of(response):
    return response.content.body.decode() if response.content is not None else None


@pytest.fixture
def log(caplog):
    caplog.set_level(logging.INFO, "quenmark.server")
    return caplog


# ---- construction and fields ------------------------------------------------------------------


def test_fields_of_a_fresh_and_a_constructed_instance():
    fresh = KeystoneApplication.__new__(KeystoneApplication)
    assert (fresh.show_error_details, fresh.router, fresh.logger, fresh.exceptions_handlers) == (
        False, None, None, None)
    router = OneRoute()
    app = KeystoneApplication(1, router=router)
    assert app.show_error_details is True and app.router is router
    assert app.logger is logging.getLogger("quenmark.server") is KeystoneApplication(0, None).logger
    assert app.logger.level == logging.INFO
    registry = app.exceptions_handlers
    assert type(registry) is ExceptionHandlersDict
    pydantic = [keystone.ValidationError] if keystone.ValidationError is not None else []
    assert list(registry) == [404, 400, 422, UnprocessableEntity, *pydantic]
    assert registry[UnprocessableEntity] is keystone.handle_unprocessable_entity
    if pydantic:
        assert registry[pydantic[0]] is keystone._default_pydantic_validation_error_handler


def test_property_rules():
    app = KeystoneApplication(False, None)
    app.show_error_details = [0]
    assert app.show_error_details is True
    with pytest.raises(NotImplementedError, match="__del__"):
        del app.show_error_details
    for name in ("router", "logger"):
        with pytest.raises(AttributeError):
            setattr(app, name, 1)
    del app.exceptions_handlers
    assert app.exceptions_handlers is None
    with pytest.raises(AttributeError):
        app.anything = 1  # no instance dict of its own


@pytest.mark.parametrize("args, kwargs, message", [
    ((True,), {}, "__init__() takes exactly 2 positional arguments (1 given)"),
    ((True, None, None), {}, "__init__() takes exactly 2 positional arguments (3 given)"),
    ((True,), {"route": None}, "__init__() got an unexpected keyword argument 'route'"),
])
def test_constructor_arguments(args, kwargs, message):
    with pytest.raises(TypeError) as e:
        KeystoneApplication(*args, **kwargs)
    assert str(e.value) == message


def test_constructor_stores_as_it_goes():
    class Failing(KeystoneApplication):
        def init_exceptions_handlers(self):
            raise LookupError("registry")

    app = Failing.__new__(Failing)
    with pytest.raises(LookupError):
        app.__init__(True, "router")
    assert (app.router, app.show_error_details, app.exceptions_handlers) == ("router", False, None)


IMPORT_WITH = """
import sys
{setup}
try:
    import quenmark.keystone as k
except Exception as e:
    print(type(e).__name__, e)
else:
    print(k.ValidationError, len(k.KeystoneApplication(0, None).exceptions_handlers))
"""


@pytest.mark.parametrize("setup, expected", [
    ("sys.modules['pydantic'] = None", "None 4"),  # not installed: no pydantic entry
    ("sys.modules['pydantic'] = type('M', (), {'__getattr__': lambda s, n: 1 / 0})()",
     "ZeroDivisionError"),  # any other failure fails the import
    ("import quenmark.contents; quenmark.contents.TextContent = 1",
     "TypeError quenmark.contents.TextContent is not a type object"),
    ("import quenmark.utils; del quenmark.utils.get_class_instance_hierarchy",
     "AttributeError module 'quenmark.utils' has no attribute 'get_class_instance_hierarchy'"),
])
def test_import(setup, expected):
    out = subprocess.run([sys.executable, "-c", IMPORT_WITH.format(setup=setup)], capture_output=True,
                         text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith(expected), out.stdout


def test_get_logger_sets_info_on_every_call():
    logger = logging.getLogger("quenmark.server")
    logger.setLevel(logging.ERROR)
    assert keystone.get_logger() is logger and logger.level == logging.INFO


# ---- what inspect sees --------------------------------------------------------------------------


@pytest.mark.parametrize("name", COROUTINE_METHODS)
def test_coroutine_methods_are_coroutine_functions_with_signatures(name):
    method = getattr(KeystoneApplication, name)
    bound = getattr(KeystoneApplication(False, None), name)
    assert inspect.iscoroutinefunction(method) and inspect.iscoroutinefunction(bound)
    assert list(inspect.signature(method).parameters)[0] == "self"
    assert list(inspect.signature(bound).parameters) == list(inspect.signature(method).parameters)[1:]
    assert method.__qualname__ == f"KeystoneApplication.{name}"


@pytest.mark.parametrize("name", DEFAULT_HANDLERS)
def test_default_handlers_have_the_registry_shape(name):
    handler = getattr(keystone, name)
    assert inspect.iscoroutinefunction(handler)
    assert len(inspect.signature(handler).parameters) == 3
    ExceptionHandlersDict()[1] = handler  # accepted by the registry's own check


def test_plain_methods_are_not_coroutine_functions():
    for name in ("init_exceptions_handlers", "get_http_exception_handler"):
        assert not inspect.iscoroutinefunction(getattr(KeystoneApplication, name))


@pytest.mark.parametrize("call, message", [
    (lambda: KeystoneApplication.handle(5, request()),
     "descriptor 'handle' for 'quenmark.keystone.KeystoneApplication' objects doesn't apply to a "
     "'int' object"),
    (lambda: KeystoneApplication(False, None).handle(None),
     "Argument 'request' has incorrect type (expected quenmark.messages.Request, got NoneType)"),
    (lambda: KeystoneApplication(False, None).handle(request(), 1),
     "handle() takes exactly 1 positional argument (2 given)"),
    (lambda: KeystoneApplication(False, None).handle_http_exception(request(), ValueError()),
     "Argument 'http_exception' has incorrect type (expected quenmark.exceptions.HTTPException, "
     "got ValueError)"),
    (lambda: keystone.handle_not_found(None, request()),
     "handle_not_found() takes exactly 3 positional arguments (2 given)"),
])
def test_argument_errors_come_before_the_coroutine(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


def test_the_stub_names_what_the_module_has():
    stub = ast.parse((pathlib.Path(__file__).parents[1] / "src/quenmark/keystone.pyi").read_text())
    for node in stub.body:
        protocol = isinstance(node, ast.ClassDef) and any(
            getattr(base, "id", None) == "Protocol" for base in node.bases)
        if isinstance(node, (ast.ClassDef, ast.AsyncFunctionDef, ast.FunctionDef)) and not protocol:
            assert hasattr(keystone, node.name), node.name
            for member in node.body if isinstance(node, ast.ClassDef) else ():
                if isinstance(member, (ast.AsyncFunctionDef, ast.FunctionDef)):
                    assert hasattr(getattr(keystone, node.name), member.name), member.name
                    is_async = isinstance(member, ast.AsyncFunctionDef)
                    method = getattr(getattr(keystone, node.name), member.name)
                    assert inspect.iscoroutinefunction(method) == is_async, member.name


def test_c_level_table():
    o, i = ctypes.py_object, ctypes.c_int
    get_http = capi_tables.function(keystone, "get_http_exception_handler", o, o, o)
    get = capi_tables.function(keystone, "get_exception_handler", o, o, o, o)
    handled = capi_tables.function(keystone, "is_handled_exception", i, o, o)
    assert capi_tables.address(keystone, "keystone_type") == id(KeystoneApplication)
    app = KeystoneApplication(False, None)
    assert get_http(app, NotFound()) is keystone.handle_not_found
    assert get(app, NotFound(), HTTPException) is None
    assert get(app, UnprocessableEntity(), None) is keystone.handle_unprocessable_entity
    assert (handled(app, ValueError()), handled(app, UnprocessableEntity()), handled(app, None)) == (0, 1, 0)
    with pytest.raises(TypeError, match="^Expected Exception, got int$"):
        handled(app, 5)
    with pytest.raises(TypeError, match="^Expected Exception, got str$"):
        get(app, "x", None)


# ---- handle ---------------------------------------------------------------------------------------


async def test_no_route_is_a_bare_404_even_with_a_404_handler():
    app = app_for(None)
    called = []

    async def custom(app, request, exc):
        called.append(exc)
        return Response(410)

    app.exceptions_handlers[404] = custom
    response = await app.handle(request())
    assert (response.status, response.content, list(response.headers), called) == (404, None, [], [])


async def test_route_values_are_set_before_the_handler_runs():
    seen = []

    async def handler(request):
        seen.append(request.route_values)
        return None

    response = await app_for(handler, {"id": "7"}).handle(request())
    assert seen == [{"id": "7"}] and (response.status, response.content) == (204, None)


async def test_a_ready_response_is_returned_as_it_is():
    ready = Response(201)
    assert await app_for(returning(ready)).handle(request()) is ready


async def test_a_handler_result_that_is_not_a_response_is_a_handled_failure(log):
    response = await app_for(returning({"a": 1})).handle(request())
    assert (response.status, await text_of(response)) == (500, "Internal Server Error")
    record, = [r for r in log.records if r.levelno == logging.ERROR]
    assert record.exc_info[0] is TypeError
    assert str(record.exc_info[1]) == "Cannot convert dict to quenmark.messages.Response"


@pytest.mark.parametrize("exc", [asyncio.CancelledError(), KeyboardInterrupt(), SystemExit(3)])
async def test_exit_requests_and_cancellation_propagate(exc, log):
    with pytest.raises(type(exc)):
        await app_for(raising(exc)).handle(request())
    assert log.records == []


class NoValues:
    handler = staticmethod(returning(None))


@pytest.mark.parametrize("router, error", [
    (type("R", (), {"get_match": lambda self, r: 1 / 0})(), ZeroDivisionError),
    (type("R", (), {"get_match": lambda self, r: NoValues()})(), AttributeError),
    (object(), AttributeError),
])
async def test_router_failures_propagate(router, error):
    with pytest.raises(error):
        await KeystoneApplication(False, router).handle(request())


async def test_a_match_without_handler_is_dispatched_like_a_handler_failure():
    match = type("M", (), {"values": None})()
    app = KeystoneApplication(False, type("R", (), {"get_match": lambda self, r: match})())
    assert (await app.handle(request())).status == 500


@pytest.mark.parametrize("result, status", [(None, 204), ("text", TypeError)])
async def test_what_the_dispatch_returns(result, status):
    class App(KeystoneApplication):
        async def handle_request_handler_exception(self, request, exc):
            return result

    handle = app_for(raising(ValueError()), cls=App).handle(request())
    if status is TypeError:
        with pytest.raises(TypeError, match="Cannot convert str to quenmark.messages.Response"):
            await handle
    else:
        assert (await handle).status == status


async def test_handle_suspends_with_its_handler():
    async def slow(request):
        await asyncio.sleep(0)
        raise NotFound()

    responses = await asyncio.gather(*(app_for(slow).handle(request()) for _ in range(3)))
    assert [r.status for r in responses] == [404] * 3


# ---- the registry ------------------------------------------------------------------------------------


async def three(app, request, exc):
    return Response(299)


async def star(*args):
    return Response(299)


async def two(app, request):
    pass


async def four(app, request, exc, extra):
    pass


def plain(app, request, exc):
    pass


@pytest.mark.parametrize("handler, accepted", [
    (three, True), (star, True), (two, False), (four, False), (plain, False), (None, False),
])
def test_the_registry_refuses_handlers_of_the_wrong_shape(handler, accepted):
    registry = ExceptionHandlersDict()
    if accepted:
        registry[ValueError] = handler
        assert registry[ValueError] is handler
    else:
        with pytest.raises(InvalidExceptionHandler):
            registry[ValueError] = handler
        with pytest.raises(InvalidExceptionHandler):
            ExceptionHandlersDict({1: three, 2: handler})
        assert ValueError not in registry


class Teapot(HTTPException):
    def __init__(self, status=404):
        super().__init__(status, "teapot")


class Unregistered(Exception):
    pass


class Child(ValueError):
    pass


def answer(status):
    async def handler(app, request, exc):
        return Response(status)
    return handler


@pytest.mark.parametrize("entries, exc, status", [
    ({Teapot: answer(201), 404: answer(202)}, Teapot(), 201),  # class below HTTPException first
    ({404: answer(202)}, Teapot(), 202),                         # then the status
    ({HTTPException: answer(203)}, Teapot(), 404),             # never HTTPException itself
    ({}, Teapot(418), 418),                                      # then the common handler
    ({ValueError: answer(204)}, Child(), 204),                  # a base class's entry
    ({Exception: answer(205)}, Unregistered(), 205),
    ({"key": answer(206), 3.5: answer(206)}, ValueError(), 500),  # odd keys are never met
])
async def test_lookup_order(entries, exc, status):
    app = app_for(raising(exc))
    app.exceptions_handlers.update(entries)
    assert (await app.handle(request())).status == status


async def test_a_plain_dict_registry_works_too():
    app = app_for(raising(Child()))
    app.exceptions_handlers = {ValueError: answer(207)}
    assert (await app.handle(request())).status == 207


async def test_a_registry_key_with_a_failing_comparison_gives_a_clear_error():
    class Key:
        def __hash__(self):
            return hash(ValueError)

        def __eq__(self, other):
            raise RuntimeError("comparing")

    app = app_for(raising(ValueError()))
    app.exceptions_handlers[Key()] = three
    with pytest.raises(RuntimeError, match="comparing"):
        await app.handle(request())


async def test_unknown_status_without_entry_is_answered_by_the_plain_500(log):
    response = await app_for(raising(HTTPException(599))).handle(request())
    assert (response.status, await text_of(response)) == (500, "Internal Server Error")
    assert "Unhandled exception in exception_handler: %s" in [r.msg for r in log.records]


# ---- failing handlers and the internal-server-error path --------------------------------------------


async def test_a_failing_handler_is_answered_plainly_even_with_a_500_entry(log):
    async def broken(app, request, exc):
        raise LookupError("handler bug")

    app = app_for(raising(ValueError("secret")))
    app.exceptions_handlers.update({ValueError: broken, 500: answer(555),
                                    InternalServerError: answer(556)})
    response = await app.handle(request())
    assert (response.status, await text_of(response)) == (500, "Internal Server Error")
    failure, = [r for r in log.records if r.levelno == logging.ERROR]
    assert (failure.msg, failure.args, failure.exc_info) == (
        "Unhandled exception in exception_handler: %s", ("broken",), None)


@pytest.mark.parametrize("rethrow", [True, False])
async def test_a_handler_raising_the_same_exception_or_returning_none(rethrow):
    async def handler(app, request, exc):
        if rethrow:
            raise exc

    app = app_for(raising(ValueError()))
    app.exceptions_handlers[ValueError] = handler
    # A handler that returns nothing gives 204, as a request handler returning None does.
    assert (await app.handle(request())).status == (500 if rethrow else 204)


async def test_unhandled_errors_use_the_registry_for_internal_server_error(log):
    seen = []

    async def on_500(app, request, exc):
        seen.append(exc)
        return Response(598)

    app = app_for(raising(ValueError("boom")))
    app.exceptions_handlers[500] = on_500
    assert (await app.handle(request())).status == 598
    assert type(seen[0]) is InternalServerError and str(seen[0].source_error) == "boom"
    record, = log.records
    assert (record.levelno, record.msg, record.args) == (
        logging.ERROR, 'Unhandled exception - "%s %s"', ("GET", "/items/1"))
    assert record.exc_info[1] is seen[0].source_error


async def test_a_failing_internal_server_error_handler_is_logged_with_its_traceback(log):
    async def on_500(app, request, exc):
        raise KeyError("inner")

    app = app_for(raising(ValueError()))
    app.exceptions_handlers[500] = on_500
    response = await app.handle(request())
    assert (response.status, await text_of(response)) == (500, "Internal Server Error")
    last = log.records[-1]
    assert last.msg.startswith("An exception occurred while trying to apply the configured")
    assert last.exc_info[0] is KeyError


class Details:
    def produce_response(self, request, exc):
        return Response(590, content=keystone_text(f"details: {exc!r}"))


def keystone_text(text):
    from quenmark.contents import TextContent
    return TextContent(text)


class WithDetails(KeystoneApplication):
    server_error_details_handler = Details()


@pytest.mark.parametrize("failing_handler", [False, True])
async def test_error_details_when_asked_for(failing_handler):
    app = app_for(raising(ValueError("secret")), cls=WithDetails, show_error_details=True)
    if failing_handler:
        app.exceptions_handlers[ValueError] = plain_failure
    response = await app.handle(request())
    # The details are those of the request handler's exception, not the failing handler's.
    assert (response.status, await text_of(response)) == (590, "details: ValueError('secret')")


async def plain_failure(app, request, exc):
    raise RuntimeError("handler")


@pytest.mark.parametrize("failing_handler", [False, True])
async def test_no_details_without_show_error_details(failing_handler):
    app = app_for(raising(ValueError("secret text")), cls=WithDetails)
    if failing_handler:
        app.exceptions_handlers[ValueError] = plain_failure
    response = await app.handle(request())
    assert (response.status, await text_of(response)) == (500, "Internal Server Error")


async def test_details_asked_for_but_not_provided():
    with pytest.raises(AttributeError, match="server_error_details_handler"):
        await app_for(raising(ValueError()), show_error_details=True).handle(request())


# ---- log records ------------------------------------------------------------------------------------------


class BadStr(ValueError):
    def __str__(self):
        raise RuntimeError("no text")

    def __repr__(self):
        raise RuntimeError("no repr")


@pytest.mark.parametrize("exc, path, msg, args", [
    (NotFound("gone"), b"/items/1", 'HTTP %s - "%s %s". %s', (404, "GET", "/items/1", "gone")),
    (Child("child"), b"/items/1?q=1", 'Handled error: "%s %s". %s',
     ("GET", "/items/1?q=1", "child")),
    # The URL's bytes come from the client: shown escaped, never a failure to answer.
    (NotFound("gone"), b"/\xff", 'HTTP %s - "%s %s". %s', (404, "GET", "/\\xff", "gone")),
    # An exception whose own text fails is still logged and answered.
    (BadStr(), b"/items/1", 'Handled error: "%s %s". %s',
     ("GET", "/items/1", "<exception str() failed>")),
])
async def test_info_record_of_a_handled_error(exc, path, msg, args, log):
    app = app_for(raising(exc))
    app.exceptions_handlers[ValueError] = three
    response = await app.handle(request(path))
    assert response.status in (404, 299)
    record, = log.records
    assert (record.levelno, record.msg, record.args, record.exc_info) == (logging.INFO, msg, args, None)


async def test_unhandled_error_with_failing_str_is_answered(log):
    response = await app_for(raising(BadStr())).handle(request(b"/\xfe"))
    assert response.status == 500
    assert log.records[0].args == ("GET", "/\\xfe")


async def test_no_record_is_built_when_nothing_would_receive_it(monkeypatch):
    logger = logging.getLogger("quenmark.server")
    root = logging.getLogger()
    monkeypatch.setattr(root, "handlers", [])
    monkeypatch.setattr(logger, "handlers", [])

    class Spy(Request):
        @property
        def url(self):
            raise AssertionError("the record was built")

    assert (await app_for(raising(NotFound())).handle(Spy("GET", b"/", []))).status == 404
    monkeypatch.setattr(logging, "lastResort", logging.StreamHandler(sys.stderr))
    logging.lastResort.setLevel(logging.DEBUG)
    with pytest.raises(AssertionError, match="the record was built"):
        await app_for(raising(NotFound())).handle(Spy("GET", b"/", []))


async def test_no_record_is_built_below_the_loggers_level(monkeypatch):
    logger = logging.getLogger("quenmark.server")
    monkeypatch.setattr(logger, "handlers", [logging.NullHandler()])

    class Spy(Request):
        @property
        def url(self):
            raise AssertionError("the record was built")

    app = app_for(raising(NotFound()))
    try:
        logger.setLevel(logging.WARNING)
        assert (await app.handle(Spy("GET", b"/", []))).status == 404
    finally:
        logger.setLevel(logging.INFO)
    with pytest.raises(AssertionError, match="the record was built"):
        await app.handle(Spy("GET", b"/", []))


# ---- the exception being handled, as in an except block ---------------------------------------------------


async def test_handlers_run_with_the_exception_being_handled(log, monkeypatch):
    seen = []

    async def handler(app, request, exc):
        seen.append(sys.exception())
        await asyncio.sleep(0)  # still handled after a suspension
        seen.append(sys.exception())
        logging.getLogger("quenmark.server").exception("in the handler")
        raise KeyError("from the handler")

    async def fallback(app, request, exc):  # read from the module's globals when used
        seen.append(sys.exception())
        return Response(597)

    monkeypatch.setattr(keystone, "handle_internal_server_error", fallback)
    original = ValueError("original")
    app = app_for(raising(original))
    app.exceptions_handlers[ValueError] = handler
    assert (await app.handle(request())).status == 597
    assert seen[:2] == [original, original]
    assert isinstance(seen[2], KeyError) and seen[2].__context__ is original
    assert log.records[1].exc_info[1] is original
    assert sys.exception() is None


# ---- a Python subclass changes the flow -------------------------------------------------------------------


class Recording(KeystoneApplication):
    def __init__(self, router):
        super().__init__(False, router)
        self.calls = []

    async def handle_request_handler_exception(self, request, exc):
        self.calls.append("handle_request_handler_exception")
        return await super().handle_request_handler_exception(request, exc)

    async def log_handled_exc(self, request, exc):
        self.calls.append("log_handled_exc")

    async def log_unhandled_exc(self, request, exc):
        self.calls.append("log_unhandled_exc")

    async def handle_http_exception(self, request, http_exception):
        self.calls.append("handle_http_exception")
        return await super().handle_http_exception(request, http_exception)

    def get_http_exception_handler(self, http_exception):
        self.calls.append("get_http_exception_handler")
        return super().get_http_exception_handler(http_exception)

    async def handle_exception(self, request, exc):
        self.calls.append("handle_exception")
        return await super().handle_exception(request, exc)

    async def _apply_exception_handler(self, request, exc, exception_handler):
        self.calls.append(f"_apply_exception_handler {exception_handler.__name__}")
        return await super()._apply_exception_handler(request, exc, exception_handler)

    async def handle_internal_server_error(self, request, exc):
        self.calls.append("handle_internal_server_error")
        return await super().handle_internal_server_error(request, exc)


@pytest.mark.parametrize("exc, calls", [
    (NotFound(), ["handle_request_handler_exception", "log_handled_exc", "handle_http_exception",
                  "get_http_exception_handler", "_apply_exception_handler handle_not_found"]),
    (HTTPException(599), ["handle_request_handler_exception", "log_handled_exc",
                          "handle_http_exception", "get_http_exception_handler",
                          "_apply_exception_handler common_http_exception_handler"]),
    (ValueError(), ["handle_request_handler_exception", "log_unhandled_exc", "handle_exception",
                    "handle_internal_server_error", "get_http_exception_handler"]),
    (UnprocessableEntity(), ["handle_request_handler_exception", "log_handled_exc",
                             "handle_http_exception", "get_http_exception_handler",
                             "_apply_exception_handler handle_unprocessable_entity"]),
])
async def test_every_step_goes_through_self(exc, calls):
    app = Recording(OneRoute(raising(exc)))
    await app.handle(request())
    assert app.calls == calls


async def test_overrides_replace_the_built_in_steps():
    class Replacing(KeystoneApplication):
        async def handle_http_exception(self, request, http_exception):
            return Response(233)

        def get_http_exception_handler(self, http_exception):
            return answer(244)

    app = app_for(raising(NotFound()), cls=Replacing)
    assert (await app.handle(request())).status == 233
    assert (await app.handle_internal_server_error(request(), ValueError())).status == 244


async def test_a_function_stored_on_the_instance_shadows_the_method():
    class Open(KeystoneApplication):
        pass  # has an instance dict

    app = app_for(raising(NotFound()), cls=Open)

    async def instead(request, exc):
        return Response(255)

    app.handle_request_handler_exception = instead
    assert (await app.handle(request())).status == 255


async def test_a_custom_getattribute_is_honoured():
    class Looking(KeystoneApplication):
        def __getattribute__(self, name):
            if name == "handle_exception":
                return lambda request, exc: returning_coroutine(Response(266))
            return super().__getattribute__(name)

    assert (await app_for(raising(ValueError()), cls=Looking).handle(request())).status == 266


def returning_coroutine(value):
    async def coroutine():
        return value
    return coroutine()


# ---- default handlers and the validation-error document --------------------------------------------------


async def test_fixed_responses():
    r = request()
    not_found = await keystone.handle_not_found(None, r, NotFound())
    error = await keystone.handle_internal_server_error(None, r, None)
    teapot = await keystone.common_http_exception_handler(None, r, HTTPException(418))
    assert [(x.status, await text_of(x)) for x in (not_found, error, teapot)] == [
        (404, "Resource not found"), (500, "Internal Server Error"),
        (418, http.HTTPStatus(418).phrase)]
    with pytest.raises(ValueError):
        await keystone.common_http_exception_handler(None, r, HTTPException(599))


class RendersJSON(Exception):
    def json(self):
        return '{"problem": "é"}'


async def test_bad_request_with_and_without_a_json_context():
    try:
        try:
            raise RendersJSON()
        except RendersJSON:
            raise BadRequest("wrapped")
    except BadRequest as e:
        with_context = e
    response = await keystone.handle_bad_request(None, request(), with_context)
    assert (response.status, response.content.type) == (400, b"application/json")
    assert json.loads(response.content.body) == {"problem": "é"}
    plain = await keystone.handle_bad_request(None, request(), BadRequest("no good"))
    assert (plain.status, await text_of(plain)) == (400, "Bad Request: no good")


class OrderedDetails(dict):
    pass


def item(msg, *loc):
    return {"loc": ["body", *loc], "msg": msg, "type": "validation_error"}


@pytest.mark.parametrize("exc, document", [
    (UnprocessableEntity(), {"detail": [item("Unprocessable entity")]}),
    (UnprocessableEntity("Bad thing"), {"detail": [item("Bad thing")]}),
    (UnprocessableEntity(details=["a", 1]), {"detail": [item("a"), item("1")]}),
    (UnprocessableEntity(details=[]), {"detail": []}),
    (UnprocessableEntity(details=[{"loc": ["x"], "msg": "m", "extra": 1}]),
     {"detail": [{"loc": ["x"], "msg": "m", "extra": 1}]}),
    (UnprocessableEntity(details={"detail": ["as is"]}), {"detail": ["as is"]}),
    # A dict subclass that is already a document is sent as it is too.
    (UnprocessableEntity(details=OrderedDetails(detail=["as is"])), {"detail": ["as is"]}),
    (UnprocessableEntity(details={"loc": ["q"], "msg": "m"}), {"detail": [{"loc": ["q"], "msg": "m"}]}),
    (UnprocessableEntity(details={"other": 1}), {"detail": [item("{'other': 1}")]}),
    (UnprocessableEntity(details="Expected `int`, got `str` - at `$.items[0].id`"),
     {"detail": [item("Expected `int`, got `str`", "items", 0, "id")]}),
    (UnprocessableEntity(details="Object missing - at `$.a.b[2]`"), {"detail": [item("Object missing", "a", "b", 2)]}),
    (UnprocessableEntity(details="Invalid - at `$`"), {"detail": [item("Invalid")]}),
    (UnprocessableEntity(details="no path here"), {"detail": [item("no path here")]}),
    # Only ASCII digit runs are indexes; other digits, and numbers too long to convert, stay names.
    (UnprocessableEntity(details="Bad - at `$.²[١].x" + "9" * 5000 + "`"),
     {"detail": [item("Bad", "²", "١", "x" + "9" * 5000)]}),
    (UnprocessableEntity("why", details=42), {"detail": [item("why")]}),
    (UnprocessableEntity(details=42), {"detail": [item("Validation error")]}),
])
async def test_unprocessable_entity_documents(exc, document):
    response = await keystone.handle_unprocessable_entity(None, request(), exc)
    assert (response.status, response.content.type) == (422, b"application/json")
    assert json.loads(response.content.body) == document


async def test_unprocessable_entity_exact_encoding():
    response = await keystone.handle_unprocessable_entity(None, request(), UnprocessableEntity())
    assert response.content.body == (
        b'{"detail":[{"loc":["body"],"msg":"Unprocessable entity","type":"validation_error"}]}')


async def test_unencodable_details_fail_the_handler():
    with pytest.raises(TypeError):
        await keystone.handle_unprocessable_entity(
            None, request(), UnprocessableEntity(details=[{"loc": [object()], "msg": "m"}]))


async def test_pydantic_validation_errors_answer_400_with_their_json():
    pydantic = pytest.importorskip("pydantic")

    class Model(pydantic.BaseModel):
        a: int

    async def handler(request):
        Model(a="x")

    response = await app_for(handler).handle(request())
    assert (response.status, response.content.type) == (400, b"application/json")
    assert response.content.body.startswith(b"[\n    {") and json.loads(response.content.body)[0]["loc"] == ["a"]
