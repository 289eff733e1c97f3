"""The router refuses, at registration, the routes that could not work, and hands typed
route values to the handlers that ask for them."""

import re
import uuid

import httpx
import pytest

from quenmark import Application
from quenmark.messages import Response
from quenmark.server.routing import Route, RouteError, RouteMatch, Router


async def handler(request):
    return None


def client(app):
    return httpx.AsyncClient(transport=httpx.ASGITransport(app=app), base_url="http://test")


@pytest.mark.parametrize(
    "pattern, message",
    [
        ("/d/{x", "'{x' is not a well-formed parameter"),
        ("/d/x}", "'x}' is not a well-formed parameter"),
        ("/a/{}", "name '' in {} is not an identifier"),
        ("/n/{a}-{b}", "name 'a}-{b' in {a}-{b} is not an identifier"),
        ("/n/{1st}", "name '1st'"),
        ("/t/{x:bogus}", "unknown parameter type 'bogus' in {x:bogus}"),
        ("/t/{x:int:y}", "unknown parameter type 'int:y'"),
        ("/p/{rest:path}/x", "a catch-all ({rest:path}) must end the pattern"),
        ("/s/*/x", "a catch-all (*) must end the pattern"),
        ("/dup/{a}/<a:int>", "the parameter name 'a' is used twice"),
        ("/dup/{tail}/*", "the parameter name 'tail' is used twice"),
        (b"/\xff/{x}", "must be UTF-8"),
    ],
)
def test_malformed_patterns_are_refused_with_their_pattern_named(pattern, message):
    router = Router()
    with pytest.raises(RouteError, match="GET .*" + re.escape(message)):
        router.add("get", pattern, handler)
    assert router.routes == [] and not router._engine.trees.get(b"GET", None)


@pytest.mark.parametrize(
    "first, second, message",
    [
        ("/c/{x:int}", "/c/{y}", "{y} sits where '/c/{x:int}' has {x:int}"),
        ("/c/{x:int}", "/c/{x:float}/more", "{x:float} sits where"),
        ("/c/{x}/a", "/c/{y}/b", "{y} sits where '/c/{x}/a' has {x}"),
        ("/c/{x}", "/C/{x:str}/", "already registered (as '/c/{x}')"),
        ("/", "", "already registered"),
        ("/f/*.html", "/f/*.css", "catch-all *.css takes the place of *.html"),
        ("/f/{rest:path}", "/f/*", "catch-all * takes the place of {rest:path}"),
    ],
)
def test_patterns_that_would_change_an_earlier_one_are_refused(first, second, message):
    router = Router()
    router.add("GET", first, handler)
    with pytest.raises(RouteError, match=re.escape(message)):
        router.add("GET", second, handler)
    assert len(router.routes) == 1


@pytest.mark.parametrize(
    "routes",
    [
        [("GET", "/c/{x:int}"), ("POST", "/c/{y}")],  # one tree per method
        [("GET", "/c/{x}"), ("GET", "/c/{x}/a"), ("GET", "/c/{x:str}/b")],
        [("GET", "/u/{id:int}"), ("GET", "/u/me"), ("GET", "/u/{id:int}/*")],
        [("GET", "/f/{name}"), ("GET", "/f/{rest:path}")],  # a parameter and a catch-all
    ],
)
def test_patterns_that_agree_are_accepted(routes):
    router = Router()
    for method, pattern in routes:
        router.add(method, pattern, handler)
    assert len(router.routes) == len(routes)


def test_the_refused_clash_leaves_the_first_route_as_it_was():
    app = Application()

    app.router.add("GET", "/c/{x:int}", handler)
    with pytest.raises(RouteError):
        app.router.add("GET", "/c/{y}", handler)
    request = type("R", (), {"method": "GET", "_path": b"/c/5"})()
    assert app.router.get_match(request).values == {"x": "5"}
    request._path = b"/c/abc"
    assert app.router.get_match(request).handler.__name__ == "not_found"


@pytest.mark.parametrize("path, found", [(b"/c/5", "handler"), (b"/c", "not_found"),
                                         (b"/d/5", "method_not_allowed")])
def test_the_compiled_lookup_answers_as_the_method_and_a_subclass_keeps_its_own(path, found):
    class Mine(Router):
        def get_match(self, request):
            return "mine"

    router = Router()
    router.add("GET", "/c/{x:int}", handler)
    router.add("POST", "/d/{x}", handler)
    request = type("R", (), {"method": "GET", "_path": path})()
    by_method = Router.get_match(router, request)
    assert router.get_match(request).handler.__name__ == by_method.handler.__name__ == found
    assert Mine().get_match(request) == "mine"


async def test_request_handling_asks_an_own_get_match_of_a_subclass_or_an_instance():
    async def other(request):
        return Response(202)

    class Mine(Router):
        pass

    router = Mine()
    router.add("GET", "/c/{x}", handler)
    app = Application(router)
    kept = []

    async def statuses():
        async with client(app) as c:
            return [(await c.get(p)).status_code for p in ("/c/1", "/none")]

    assert await statuses() == [204, 404]  # the inherited lookup, through the C-level table
    Mine.get_match = lambda self, request: RouteMatch(Route("/x", other))
    assert await statuses() == [202, 202]  # a method added to the class after first use
    del Mine.get_match
    router.get_match = lambda request: kept.append(request) or RouteMatch(Route("/x", other))
    assert await statuses() == [202, 202] and len(kept) == 2
    del router.get_match
    assert await statuses() == [204, 404]
    router.__dict__ = {**router.__dict__, "get_match": lambda request: RouteMatch(Route("/x", other))}
    assert await statuses() == [202, 202]  # a replaced __dict__ is read too


async def test_each_request_gets_values_of_its_own():
    app = Application()
    seen = []

    @app.router.get("/v/{x}")
    async def mutate(request):
        seen.append(request.route_values)
        request.route_values["x"] += "!"

    async with client(app) as c:
        for _ in range(2):
            assert (await c.get("/v/a")).status_code == 204
    assert seen == [{"x": "a!"}, {"x": "a!"}] and seen[0] is not seen[1]


def sync(request):
    return None


async def needs_more(request, other):
    return None


async def no_request():
    return None


@pytest.mark.parametrize(
    "bad, message",
    [
        (sync, "must be a coroutine function"),
        (lambda request: handler(request), "must be a coroutine function"),
        (needs_more, "requires 'other', which the pattern does not declare \\(x\\)"),
        (no_request, "must take the request"),
    ],
)
def test_handlers_that_cannot_serve_the_route_are_refused(bad, message):
    with pytest.raises(RouteError, match="GET /h/{x}: the handler .*" + message):
        Router().add("GET", "/h/{x}", bad)


async def test_typed_values_reach_the_handlers_that_ask_for_them():
    app = Application()
    seen = []

    @app.router.get("/t/{n:int}/{f:float}/{u:uuid}/{s}/{rest:path}")
    async def typed(request, n: int, f: float, u: uuid.UUID, rest: str, unused: str = "default"):
        seen.append(((n, f, u, rest, unused), dict(request.route_values)))

    @app.router.get("/all/{n:int}/*")
    async def everything(request, **values):
        seen.append(values)

    @app.router.get("/plain/{n:int}")
    async def plain(request):
        seen.append(request.route_values)

    u = "123E4567-E89B-12D3-A456-426614174000"
    async with client(app) as c:
        assert (await c.get(f"/t/007/2.5/{u}/text/a/b%20c")).status_code == 204
        assert (await c.get(f"/t/1/1/{u}/x")).status_code == 204  # an empty catch-all
        assert (await c.get("/all/3/x/y")).status_code == 204
        assert (await c.get("/plain/9")).status_code == 204
        # An int that int() will not read is a path the route does not serve.
        assert (await c.get("/all/" + "9" * 5000 + "/x")).status_code == 404
    assert seen[0] == ((7, 2.5, uuid.UUID(u), "a/b c", "default"),
                       {"n": "007", "f": "2.5", "u": u, "s": "text", "rest": "a/b c"})
    assert seen[1][0][3] == ""
    assert seen[2:] == [{"n": 3, "tail": "x/y"}, {"n": "9"}]
    assert [r for _, r in app.router.routes][2].handler is plain  # nothing added to this route


async def test_static_segments_match_as_clients_send_them():
    app = Application()

    @app.router.get("/café/menu du jour")
    async def menu(request):
        return None

    async with client(app) as c:
        assert (await c.get("/caf%C3%A9/menu%20du%20jour")).status_code == 204
        assert (await c.get("/CAF%c3%a9/menu%20du%20jour/")).status_code == 204
