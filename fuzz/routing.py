"""The router: the compiled tree and router against the tests' Python model, and values that
reach a handler decoded exactly once."""

from urllib.parse import quote

from hypothesis import strategies as st

from fuzz import fuzzer, reuse
from quenmark.routing import RouteMatch
from quenmark.server.routing import Router
from tests import test_routing_differential as model

reuse("routing.tree_model", model.test_compiled_tree_agrees_with_the_model)
reuse("routing.router_model", model.test_router_agrees_with_the_model_per_method)

# Any text but lone surrogates, which no path can carry.
text = st.text(st.characters(blacklist_categories=("Cs",)), min_size=1, max_size=12)


class Request:
    method = "GET"

    def __init__(self, path):
        self._path = path


async def handler(request):
    return None


router = Router()
router.add("GET", "/p/{value}", handler)
router.add("GET", "/f/{rest:path}", handler)


@fuzzer(segment=text, tail=st.lists(text, min_size=1, max_size=4), escape_twice=st.booleans())
def decoded_once(segment, tail, escape_twice):
    """A value sent percent-encoded reaches the handler as it was before the encoding; one sent
    encoded twice arrives encoded once."""
    def encode(value):
        once = quote(value, safe="")
        return quote(once, safe="") if escape_twice else once

    expect = (lambda value: quote(value, safe="")) if escape_twice else (lambda value: value)
    match = router.get_match(Request(b"/p/" + encode(segment).encode()))
    assert match.values == {"value": expect(segment)}
    path = b"/f/" + "/".join(encode(piece) for piece in tail).encode()
    match = router.get_match(Request(path))
    assert match.values == {"rest": "/".join(expect(piece) for piece in tail)}
    assert RouteMatch(match.route, match.values).values == match.values
