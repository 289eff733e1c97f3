"""Response: construction, status, representation, redirects and reset."""

import http

import pytest

from quenmark.contents import Content, TextContent
from quenmark.messages import Response


def test_defaults():
    r = Response(204)
    assert r.status == 204
    assert list(r.headers) == []
    assert r.content is None and r.state is None and r._context is None


def test_empty_list_is_not_kept_but_a_non_empty_one_is():
    empty = []
    r = Response(200, empty)
    r.add_header(b"a", b"1")
    assert empty == []
    given = [(b"x", b"1")]
    r = Response(200, given)
    r.add_header(b"a", b"1")
    assert given == [(b"x", b"1"), (b"a", b"1")]


def test_keywords_and_content():
    content = TextContent("hi")
    r = Response(status=201, headers=None, content=content)
    assert (r.status, r.content) == (201, content)
    assert r.has_body()


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"status": 200, "headers": (1, 2)},
         "Argument 'headers' has incorrect type (expected list, got tuple)"),
        ({"status": 200, "content": b"x"},
         "Argument 'content' has incorrect type (expected Content, got bytes)"),
        ({"status": 1.5}, "'float' object cannot be interpreted as an integer"),
        ({"status": "200"}, "'str' object cannot be interpreted as an integer"),
    ],
)
def test_constructor_errors(kwargs, message):
    with pytest.raises(TypeError) as info:
        Response(**kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("status", [2**31, -(2**31) - 1, 2**80])
def test_status_out_of_range(status):
    with pytest.raises(OverflowError, match="^value too large to convert to int$"):
        Response(status)
    r = Response(200)
    with pytest.raises(OverflowError, match="^value too large to convert to int$"):
        r.status = status
    assert r.status == 200


def test_status_property():
    r = Response(200)
    r.status = 2**31 - 1
    assert r.status == 2**31 - 1
    r.status = -5
    assert repr(r) == "<Response -5>"
    with pytest.raises(NotImplementedError, match="^__del__$"):
        del r.status
    with pytest.raises(TypeError):
        r.status = None


def test_arity():
    with pytest.raises(TypeError):
        Response()
    with pytest.raises(TypeError):
        Response(200, None, None, None)
    with pytest.raises(TypeError):
        Response(200, body=b"")


def test_repr_and_reason():
    assert repr(Response(404)) == "<Response 404>"
    assert Response(404).reason == http.HTTPStatus(404).phrase
    with pytest.raises(ValueError):
        Response(999).reason


@pytest.mark.parametrize("status", [301, 302, 303, 307, 308])
def test_redirects(status):
    assert Response(status).is_redirect() is True


@pytest.mark.parametrize("status", [200, 300, 304, 305, 306, 309, 404])
def test_not_redirects(status):
    assert Response(status).is_redirect() is False


class Disposable(Content):
    __slots__ = ("disposed", "fail")

    def __init__(self, fail=False):
        super().__init__(b"text/plain", b"x")
        self.disposed = 0
        self.fail = fail

    def dispose(self):
        if self.fail:
            raise RuntimeError("no")
        self.disposed += 1


def test_reset():
    given = [(b"a", b"1")]
    content = Disposable()
    r = Response(404, given, content)
    r.state, r.context, r._form_data, r._context = 1, 2, 3, "kept"
    r.headers
    r.reset()
    assert r.status == 200
    assert (r.state, r.context, r._form_data, r._headers, r.content) == (None,) * 5
    assert content.disposed == 1
    assert r._context == "kept"
    r.add_header(b"b", b"2")
    assert given == [(b"a", b"1")]


def test_reset_calls_a_dispose_put_on_content_later(monkeypatch):
    calls = []
    r = Response(200, None, Content(b"a", b"b"))
    r.reset()  # Content's own dispose, which does nothing
    monkeypatch.setattr(Content, "dispose", lambda self: calls.append(self))
    content = Content(b"a", b"b")
    r = Response(200, None, content)
    r.reset()
    assert calls == [content]


def test_reset_keeps_content_when_dispose_fails():
    content = Disposable(fail=True)
    r = Response(500, None, content)
    with pytest.raises(RuntimeError):
        r.reset()
    assert r.content is content and r.status == 200


def test_free_slots():
    r = Response(200)
    r.state = {"a": 1}
    del r.state
    assert r.state is None
    r._context = 5
    del r._context
    assert r._context is None


def test_subclass_with_its_own_init():
    class JSONish(Response):
        def __init__(self, data):
            super().__init__(200, [(b"content-type", b"application/json")])
            self.data = data

    r = JSONish({"a": 1})
    assert r.data == {"a": 1} and r.declares_json()
