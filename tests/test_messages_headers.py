"""Message: header storage, lookups and their errors, Content-Type queries, attributes."""

import pytest
from hypothesis import given, settings, strategies as st

from quenmark.contents import Content
from quenmark.headers import Headers
from quenmark.messages import Message, Request, Response, parse_charset

# Every message type starts from the same header list semantics.
MESSAGE_FACTORIES = [
    pytest.param(lambda h: Message(h), id="Message"),
    pytest.param(lambda h: Request("GET", b"/", h), id="Request"),
]

ARG_ERROR = "Argument '{}' has incorrect type (expected {}, got {})"


def make(headers):
    return Message(headers)


# ---- construction -----------------------------------------------------------------------


@pytest.mark.parametrize("factory", MESSAGE_FACTORIES)
@pytest.mark.parametrize("headers", [None, []])
def test_empty_headers_give_an_independent_list(factory, headers):
    a, b = factory(headers), factory(headers)
    a.add_header(b"x", b"1")
    assert b.get_headers(b"x") == []
    if headers is not None:
        assert headers == []


def test_constructor_copies_the_list_and_interns_known_names():
    given = [(b"content-type", b"text/plain"), (b"X-Custom", b"1")]
    m = make(given)
    m.add_header(b"y", b"2")
    assert len(given) == 2
    # A known name is replaced by the library's shared object (an identity test hits).
    pairs = list(m.headers)
    assert pairs[1] == (b"X-Custom", b"1")
    other = make([(b"content-type", b"a")])
    assert list(other.headers)[0][0] is pairs[0][0]


def test_capitalised_name_is_kept_as_written_when_unknown_in_that_case():
    m = make([(b"Content-Type", b"text/plain")])
    name = list(m.headers)[0][0]
    assert name == b"Content-Type"
    assert m.get_first_header(b"content-type") == b"text/plain"


def test_constructor_takes_odd_elements_over_unchanged():
    pair = [b"a", b"1"]
    m = make([pair, (bytearray(b"b"), b"2"), (b"c", b"3", b"extra")])
    # A two-item list is found by has_header (it unpacks any pair) but not by get_headers.
    assert m.has_header(b"a")
    with pytest.raises(TypeError, match="^Expected tuple, got list$"):
        m.get_headers(b"a")


class _Pair(tuple):
    pass


@pytest.mark.parametrize("make_pair", [tuple, _Pair], ids=["tuple", "tuple subclass"])
def test_constructor_remakes_bytes_named_pairs_as_plain_tuples(make_pair):
    pair = make_pair((b"content-type", b"text/plain"))
    stored = list(make([pair]).headers)[0]
    # A new plain tuple (the lookups require exact tuples), named by the shared object.
    assert type(stored) is tuple and stored is not pair and stored == (b"content-type", b"text/plain")
    assert stored[0] is list(make([(b"content-type", b"x")]).headers)[0][0]


def test_constructor_refuses_a_bytes_subclass_name():
    class B(bytes):
        pass

    with pytest.raises(TypeError, match="^Expected bytes, got B$"):
        make([(B(b"x"), b"1")])


@pytest.mark.parametrize(
    "call, arg, expected",
    [
        (lambda v: Message(v), ("headers", "list", "tuple"), ((b"a", b"b"),)),
        (lambda v: make([]).get_headers(v), ("key", "bytes", "str"), "x"),
        (lambda v: make([]).get_first_header(v), ("key", "bytes", "bytearray"), bytearray(b"x")),
        (lambda v: make([]).has_header(v), ("key", "bytes", "int"), 1),
        (lambda v: make([]).add_header(b"x", v), ("value", "bytes", "str"), "1"),
        (lambda v: make([]).set_header(v, b"1"), ("key", "bytes", "str"), "x"),
        (lambda v: make([]).declares_content_type(v), ("type", "bytes", "str"), "json"),
        (lambda v: make([]).with_content(v), ("content", "Content", "bytes"), b"x"),
        (lambda v: parse_charset(v), ("value", "bytes", "str"), "charset=utf8"),
    ],
)
def test_argument_types_are_checked(call, arg, expected):
    # `expected` here is the bad value; `arg` names the argument and the two type names.
    with pytest.raises(TypeError) as info:
        call(expected)
    assert str(info.value) == ARG_ERROR.format(*arg)


@pytest.mark.parametrize(
    "call",
    [
        lambda m: m.get_headers(),
        lambda m: m.get_headers(b"a", b"b"),
        lambda m: m.add_header(b"a"),
        lambda m: m.content_type(1),
        lambda m: m.get_headers(nope=b"a"),
    ],
)
def test_wrong_argument_counts_raise_type_error(call):
    with pytest.raises(TypeError):
        call(make([]))


def test_keywords_name_the_arguments():
    m = Message(headers=[(b"a", b"1")])
    m.add_header(key=b"b", value=b"2")
    assert m.get_first_header(key=b"B") == b"2"


# ---- lookups ----------------------------------------------------------------------------


@pytest.mark.parametrize("key", [b"x-mixed", b"X-MIXED", b"X-Mixed", b"x-MiXeD"])
def test_lookups_ignore_letter_case(key):
    m = make([])
    m.add_header(b"X-Mixed", b"1")
    m.add_header(b"x-mixed", b"2")
    assert m.get_headers(key) == [b"1", b"2"]
    assert m.get_first_header(key) == b"1"
    assert m.has_header(key)
    # The stored name keeps its case.
    assert list(m.headers)[0][0] == b"X-Mixed"


def test_lookups_on_known_names_in_any_case():
    m = make([(b"content-type", b"a"), (b"CONTENT-TYPE", b"b"), (b"host", b"h")])
    assert m.get_headers(b"Content-Type") == [b"a", b"b"]
    assert m.get_first_header(b"HOST") == b"h"
    assert m.get_first_header(b"missing") is None
    assert m.get_headers(b"missing") == []
    assert not m.has_header(b"missing")


def test_long_keys_are_matched_too():
    name = b"X-" + b"A" * 300
    m = make([(name, b"v")])
    assert m.get_first_header(name.lower()) == b"v"
    assert m.get_first_header(name) == b"v"


def test_get_single_header():
    m = make([(b"a", b"1"), (b"b", b"2"), (b"B", b"3")])
    assert m.get_single_header(b"A") == b"1"
    with pytest.raises(ValueError, match="^Headers contains more than one header with the given key$"):
        m.get_single_header(b"b")
    with pytest.raises(ValueError, match="^Headers does not contain one header with the given key$"):
        m.get_single_header(b"c")


@pytest.mark.parametrize(
    "element, call, error, message",
    [
        (None, "get_headers", TypeError, "'NoneType' object is not subscriptable"),
        (None, "get_first_header", TypeError, "'NoneType' object is not subscriptable"),
        (None, "remove_header", TypeError, "'NoneType' object is not subscriptable"),
        ([b"a", b"1"], "get_first_header", TypeError, "Expected tuple, got list"),
        ((), "get_headers", IndexError, "tuple index out of range"),
        ((b"a",), "get_headers", IndexError, "tuple index out of range"),
        ((b"a", 1), "get_first_header", TypeError, "Expected bytes, got int"),
        (None, "has_header", TypeError, "cannot unpack non-iterable NoneType object"),
        ((b"a", b"1", b"2"), "has_header", ValueError,
         "too many values to unpack (expected 2, got 3)"),
        ((b"a",), "has_header", ValueError, "not enough values to unpack (expected 2, got 1)"),
        ((), "has_header", ValueError, "not enough values to unpack (expected 2, got 0)"),
        ((b"a", 1), "has_header", TypeError, "Expected bytes, got int"),
        (object(), "get_headers", TypeError, "Expected tuple, got object"),
    ],
)
def test_malformed_server_lists_raise_documented_errors(element, call, error, message):
    # What a server hands over is taken as it is; a bad element surfaces on lookup.
    m = make([(b"ok", b"1"), element])
    with pytest.raises(error) as info:
        getattr(m, call)(b"a")
    assert str(info.value) == message


def test_has_header_accepts_any_pair_shaped_element():
    class Pair:
        def __iter__(self):
            return iter((b"b", b"2"))

    m = make([[b"a", b"1"], Pair(), (None, None)])
    assert m.has_header(b"A")
    assert m.has_header(b"b")
    assert not m.has_header(b"c")


def test_header_objects_in_the_list():
    from quenmark.headers import Header

    m = make([Header(b"a", b"1")])
    with pytest.raises(TypeError, match="^Expected tuple, got quenmark.headers.Header$"):
        m.get_headers(b"a")


def test_none_and_non_bytes_names_match_nothing():
    # As in Headers: a str name is compared as it is (and lowered), so it never equals a bytes
    # key; the entries after it are still found.
    m = make([(None, b"1"), ("a", b"2"), (b"a", b"3")])
    assert m.get_headers(b"a") == [b"3"]
    assert m.get_headers(b"a") == list(m.headers.get(b"a"))


def test_none_header_list_raises():
    m = Message.__new__(Message)
    with pytest.raises(TypeError, match="^'NoneType' object is not iterable$"):
        m.get_headers(b"a")
    with pytest.raises(TypeError, match="^'NoneType' object is not iterable$"):
        m.has_header(b"a")
    with pytest.raises(AttributeError, match="^'NoneType' object has no attribute 'append'$"):
        m.add_header(b"a", b"1")


def test_none_key_raises_attribute_error():
    with pytest.raises(AttributeError):
        make([(b"a", b"1")]).get_headers(None)


# ---- changes ----------------------------------------------------------------------------


def test_add_header_keeps_duplicates_and_order():
    m = make([(b"a", b"1")])
    m.add_header(b"A", b"2")
    m.add_header(b"b", b"3")
    assert [p[1] for p in m.headers] == [b"1", b"2", b"3"]


def test_set_header_replaces_every_pair_at_the_end():
    m = make([(b"a", b"1"), (b"b", b"x"), (b"A", b"2")])
    m.set_header(b"a", b"3")
    assert list(m.headers) == [(b"b", b"x"), (b"a", b"3")]


def test_remove_header_keeps_other_pairs_in_order():
    m = make([(b"a", b"1"), (b"b", b"2"), (b"A", b"3"), (b"c", b"4")])
    assert m.remove_header(b"a") is None
    assert list(m.headers) == [(b"b", b"2"), (b"c", b"4")]
    m.remove_header(b"missing")
    assert len(list(m.headers)) == 2


def test_headers_property_shares_the_list():
    m = make([(b"a", b"1")])
    h = m.headers
    assert isinstance(h, Headers)
    assert m.headers is h
    h.add(b"b", b"2")
    assert m.get_headers(b"b") == [b"2"]
    m.add_header(b"c", b"3")
    assert h.get_first(b"c") == b"3"


def test_headers_attribute_rules():
    m = make([])
    with pytest.raises(TypeError, match="Cannot convert list to"):
        m._headers = []
    m._headers = None
    del m._headers
    assert m._headers is None


# ---- content ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "content, headers, expected",
    [
        (None, [], None),
        (None, [(b"Content-Type", b"text/html")], b"text/html"),
        (Content(b"application/json", b"{}"), [(b"content-type", b"text/html")], b"application/json"),
        (Content(b"", b"x"), [(b"content-type", b"text/html")], b"text/html"),
        (Content(None, b"x"), [], None),
    ],
)
def test_content_type_prefers_a_typed_content(content, headers, expected):
    m = make(headers).with_content(content)
    assert m.content_type() == expected


@pytest.mark.parametrize(
    "value, json, xml",
    [
        (None, False, False),
        (b"", False, False),
        (b"application/json", True, False),
        (b"application/problem+JSON; charset=utf-8", True, False),
        (b"Application/XML; q=1", False, True),
        (b"text/plain", False, False),
    ],
)
def test_declares(value, json, xml):
    m = make([] if value is None else [(b"content-type", value)])
    assert m.declares_json() is json
    assert m.declares_xml() is xml
    assert m.declares_content_type(b"TEXT") is (value == b"text/plain")


@pytest.mark.parametrize(
    "value, charset",
    [
        (None, "utf8"),
        (b"text/plain", "utf8"),
        (b"text/plain; charset=ISO-8859-1", "ISO-8859-1"),
        (b"text/plain; CHARSET=latin1", "latin1"),
        (b'text/html; charset="utf-8"', "utf8"),
        (b"text/html; charset=; charset=utf_16", "utf_16"),
        (b"a;charset=x y", "x"),
    ],
)
def test_charset(value, charset):
    m = make([] if value is None else [(b"Content-Type", value)])
    assert m.charset == charset


@pytest.mark.parametrize(
    "value",
    [b"", b"charset=", b"charset=UTF-8", b"xCharSet=a-b_c9;", b"charset=\xff", b"charset= x", b"CHARSET=\x00"],
)
def test_parse_charset_agrees_with_the_compiled_pattern(value):
    from quenmark.messages import _charset_rx

    match = _charset_rx.search(value)
    assert parse_charset(value) == (match.group(1).decode("ascii") if match else None)


_CHARSET_BYTES = st.binary(max_size=6) | st.sampled_from(
    [b"charset=", b"CharSet=", b"charset", b"=", b"-", b"_", b"a9Z", b";", b" ", b'"', b"\xff", b"\xe9"]
)


@settings(max_examples=300, deadline=None)
@given(st.lists(_CHARSET_BYTES, max_size=8).map(b"".join))
def test_parse_charset_finds_what_the_compiled_pattern_finds(value):
    # The native scan stands in for `_charset_rx.search`: any input, the same first match.
    from quenmark.messages import _charset_rx

    match = _charset_rx.search(value)
    assert parse_charset(value) == (match.group(1).decode("ascii") if match else None)


def test_parse_charset_none_fails_in_the_search():
    with pytest.raises(TypeError):
        parse_charset(None)


@pytest.mark.parametrize("length, expected", [(0, False), (3, True), (-1, True)])
def test_has_body(length, expected):
    content = Content(b"text/plain", b"abc")
    content.length = length
    assert make([]).with_content(content).has_body() is expected
    assert make([]).has_body() is False


def test_body_buffer():
    m = make([])
    assert bytes(m.body_buffer) == b""
    m.content = Content(b"text/plain", b"abc")
    assert bytes(m.body_buffer) == b"abc"

    # Content without a body_buffer attribute gives an empty view.
    class Bare(Content):
        __slots__ = ()

        @property
        def body_buffer(self):
            raise AttributeError("no buffer")

    m.content = Bare(b"a", b"b")
    assert bytes(m.body_buffer) == b""


def test_content_attribute_rules():
    m = make([])
    with pytest.raises(TypeError, match="^Cannot convert str to .*Content$"):
        m.content = "x"
    m.content = Content(None, b"")
    del m.content
    assert m.content is None
    for name in ("_form_data", "context"):
        setattr(m, name, 1)
        assert getattr(m, name) == 1
        delattr(m, name)
        assert getattr(m, name) is None


def test_with_content_returns_the_message():
    m = make([])
    content = Content(None, b"x")
    assert m.with_content(content) is m
    assert m.content is content
    assert m.with_content(None) is m and m.content is None


def test_weak_references_and_subclass_attributes():
    import weakref

    class Sub(Message):
        pass

    s = Sub([])
    s.extra = 1
    ref = weakref.ref(s)
    assert ref() is s
    del s
    assert ref() is None


def test_response_keeps_its_list_without_interning():
    given = [(b"Content-Type", b"x")]
    r = Response(200, given)
    r.add_header(b"a", b"1")
    assert given[-1] == (b"a", b"1")


# ---- whatever a server hands over: documented errors, never a crash ---------------------------


from quenmark.headers import Header  # noqa: E402

_ATOMS = st.one_of(
    st.none(), st.sampled_from([b"host", b"Host", b"content-type", b"X-A", b"", "host"]),
    st.integers(), st.binary(max_size=8), st.builds(bytearray, st.binary(max_size=4)),
)
_ELEMENTS = st.one_of(
    st.tuples(_ATOMS, _ATOMS),
    st.lists(_ATOMS, max_size=3),
    st.lists(_ATOMS, max_size=3).map(tuple),
    st.builds(Header, st.sampled_from([b"host", b"x", None]), st.sampled_from([b"v", None])),
    _ATOMS,
)
_EXPECTED = (TypeError, ValueError, IndexError, AttributeError)


@settings(max_examples=400, deadline=None)
@given(st.lists(_ELEMENTS, max_size=6), st.sampled_from([b"host", b"HOST", b"x-a", b"missing"]))
def test_arbitrary_server_lists_raise_only_documented_errors(elements, key):
    try:
        m = Request.incoming("GET", b"/", b"", elements)
    except _EXPECTED:
        return
    calls = [
        lambda: m.get_headers(key), lambda: m.get_first_header(key),
        lambda: m.get_single_header(key), lambda: m.has_header(key),
        lambda: m.remove_header(key), lambda: m.set_header(key, b"v"),
        lambda: m.content_type(), lambda: m.declares_json(), lambda: m.charset,
        lambda: m.host, lambda: m.cookies, lambda: m.expect_100_continue(),
        lambda: m.headers, lambda: m.etag,
    ]
    for call in calls:
        try:
            call()
        except _EXPECTED:
            pass
        except Exception as error:  # BadRequest for a missing host is the one other outcome
            assert type(error).__name__ == "BadRequest", error
