"""The common contents as the native constructors make them (quenmark._contents): called from
Python, from the response shortcuts and from the servers' request path, they must build what
the classes' Python definitions say, also once a subclass or a patch changes the class."""

import copy
import json as stdlib_json
import pickle

import pytest

from quenmark import _contents, contents, responses, scribe
from quenmark.contents import ASGIContent, HTMLContent, JSONContent, RSGIContent, TextContent
from quenmark.settings.json import JSONSettings, json_settings


@pytest.fixture(autouse=True)
def _restore_settings():
    yield
    json_settings.reset()


async def _receive():
    return {"type": "http.request", "body": b"", "more_body": False}


def _request_body(announced):
    """The content of a request made by the ASGI server path, with a Content-Length."""
    scope = {"type": "http", "method": "POST", "path": "/", "raw_path": b"/", "query_string": b"",
             "headers": [(b"content-length", str(announced).encode())]}
    return scribe.instantiate_asgi_request(scope, _receive).content


def _recording(name):
    def store(self, value):
        self.stored.append((name, value))

    return property(lambda self: dict(self.stored)[name], store)


class Recorded(TextContent):
    """The slots replaced by properties that record each store."""

    __slots__ = ("stored",)
    type = _recording("type")
    body = _recording("body")
    length = _recording("length")

    def __init__(self, text):
        self.stored = []
        super().__init__(text)


class Csv(TextContent):
    __slots__ = ("note",)
    _media_type = b"text/csv"

    def __init__(self, text, note):
        self.note = note
        super().__init__(text.upper())


class Shadowed(HTMLContent):  # has a __dict__, which the class attribute's lookup must see
    def __init__(self, text):
        self._media_type = b"text/x-own"
        super().__init__(text)


class Watched(RSGIContent):
    __slots__ = ("limit",)

    @property
    def max_size(self):
        return self.limit

    @max_size.setter
    def max_size(self, value):
        self.limit = ("set", value)


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda: Recorded("é"), (b"text/plain; charset=utf-8", "é".encode(), 2)),
        (lambda: Csv("a,b", "n"), (b"text/csv", b"A,B", 3)),
        (lambda: Shadowed("<p>"), (b"text/x-own", b"<p>", 3)),
        (lambda: JSONContent([1], stdlib_json.dumps), (b"application/json", b"[1]", 3)),
    ],
)
def test_subclasses_are_filled_as_their_definitions_say(make, expected):
    content = make()
    assert (content.type, content.body, content.length) == expected
    if isinstance(content, Recorded):
        assert [name for name, _ in content.stored] == ["type", "body", "length"]


def test_a_property_in_place_of_a_request_body_slot_is_set_through():
    content = Watched(object(), 7)
    assert (content.max_size, content.announced, content._received) == (("set", contents.MAX_BODY_SIZE), 7, 0)


@pytest.mark.parametrize("via", ["class", "shortcut"])
def test_a_patched_class_is_seen_at_once(monkeypatch, via):
    make = (lambda s: TextContent(s)) if via == "class" else (lambda s: responses.text(s).content)
    assert make("a").type == b"text/plain; charset=utf-8"
    monkeypatch.setattr(TextContent, "_media_type", b"text/x-patched")
    assert make("a").type == b"text/x-patched"
    monkeypatch.setattr(TextContent, "__init__",
                        lambda self, s: contents._UTF8Content.__init__(self, s.upper()))
    made = make("ab")
    assert (type(made), made.type, made.body, made.length) == (TextContent, b"text/x-patched", b"AB", 2)
    monkeypatch.undo()
    assert (make("a").type, make("a").body) == (b"text/plain; charset=utf-8", b"a")


@pytest.mark.parametrize("via", ["class", "shortcut"])
def test_a_replaced_new_is_called(monkeypatch, via):
    made = []

    def new(cls, *args):
        made.append(args)
        return contents._UTF8Content.__new__(cls)

    monkeypatch.setattr(TextContent, "__new__", new)
    content = TextContent("a") if via == "class" else responses.text("a").content
    assert (made, content.body) == ([("a",)], b"a")


@pytest.mark.parametrize("content", [TextContent("é"), JSONContent([1]), RSGIContent(None, 3)])
def test_copies_and_pickles_keep_the_fields(content):
    names = ["type", "body", "length"] + (["announced"] if isinstance(content, RSGIContent) else [])
    for other in [copy.copy(content)] + ([] if isinstance(content, RSGIContent) else [
            pickle.loads(pickle.dumps(content))]):
        assert type(other) is type(content)
        assert [getattr(other, n) for n in names] == [getattr(content, n) for n in names]


def test_reinitialising_replaces_the_fields():
    content = TextContent("first")
    content.__init__("2nd")
    assert (content.body, content.length) == (b"2nd", 3)


@pytest.mark.parametrize("via", ["class", "shortcut"])
@pytest.mark.parametrize(
    "dumps, body",
    [
        (lambda o: "[ 1 ]", b"[ 1 ]"),
        (lambda o: b"[1]", b"[1]"),
        (lambda o: bytearray(b"[2]"), b"[2]"),
        (lambda o: memoryview(b"[3]"), b"[3]"),
    ],
)
def test_json_uses_the_configured_dumps(dumps, body, via):
    json_settings.use(dumps=dumps)
    content = JSONContent([1]) if via == "class" else responses.json([1]).content
    assert (content.body, type(content.body), content.length) == (body, bytes, len(body))


def test_json_calls_a_replaced_dumps_utf8(monkeypatch):
    monkeypatch.setattr(JSONSettings, "dumps_utf8", lambda self, obj: b"replaced")
    assert JSONContent({"a": 1}).body == b"replaced" == responses.json({}).content.body


@pytest.mark.parametrize(
    "make, error, message",
    [
        (lambda: TextContent(1), TypeError, "text must be str, not int"),
        (lambda: HTMLContent(b"x"), TypeError, "html must be str, not bytes"),
        (lambda: responses.text(None), TypeError, "text must be str, not NoneType"),
        (lambda: responses.html(2.5), TypeError, "html must be str, not float"),
        (lambda: TextContent(), TypeError, "missing 1 required positional argument: 'text'"),
        (lambda: TextContent("a", "b"), TypeError, "takes 2 positional arguments but 3 were given"),
        (lambda: TextContent("\ud800"), UnicodeEncodeError, "surrogates not allowed"),
        (lambda: JSONContent([], dumps=lambda o: 5), TypeError, "Expected bytes, got int"),
        (lambda: responses.json([], dumps=lambda o: None), TypeError, "Expected bytes, got NoneType"),
        (lambda: JSONContent({1j}), TypeError, "Encoding objects of type complex is unsupported"),
        (lambda: ASGIContent(5), TypeError, "receive must be the ASGI receive callable"),
        (lambda: TextContent.__new__(int), TypeError, "int is not a subtype of _UTF8Content"),
        (lambda: ASGIContent(), TypeError, "missing 1 required positional argument: 'receive'"),
        (lambda: responses.text("x", "200"), TypeError, "cannot be interpreted as an integer"),
        (lambda: _contents.fill_text(object(), "x"), AttributeError, "no attribute '_media_type'"),
        (lambda: _contents.fill_json(object(), [], None), AttributeError, "no attribute 'type'"),
    ],
)
def test_errors(make, error, message):
    with pytest.raises(error, match=message):
        make()


@pytest.mark.parametrize("via", ["class", "server"])
def test_request_bodies_read_the_limit_as_they_are_made(monkeypatch, via):
    make = (lambda: ASGIContent(_receive, 9)) if via == "class" else (lambda: _request_body(9))
    monkeypatch.setattr(contents, "MAX_BODY_SIZE", 5)
    content = make()
    assert (type(content), content.max_size, content.announced) == (ASGIContent, 5, 9)
    assert (content.type, content.body, content.length, content._data, content._reader) == (
        None, None, -1, None, None)
    assert (content._complete, content._streamed, content._received) == (False, False, 0)
    monkeypatch.delattr(contents, "MAX_BODY_SIZE")
    with pytest.raises(NameError, match="MAX_BODY_SIZE"):
        make()
