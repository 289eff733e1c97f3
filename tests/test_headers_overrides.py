"""A Python subclass's overrides are honoured by the compiled side: by operations that call
other operations internally, and by every entry of the C-level table other modules use."""

import ctypes
import types

import pytest

import capi_tables

from quenmark import headers
from quenmark.headers import Header, Headers

# ---- the C-level table, reached through ctypes ----------------------------------------------

_OBJ1 = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object)
_OBJ2 = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object)
_INT2 = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.py_object)
_INT3 = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.py_object, ctypes.py_object)
_NEW = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.c_void_p)


_PROTOTYPES = {
    "keys": _OBJ1,
    "clone": _OBJ1,
    "get": _OBJ2,
    "get_tuples": _OBJ2,
    "add": _INT3,
    "set": _INT3,
    "get_single": _OBJ2,
    "get_first": _OBJ2,
    "remove": _INT2,
    "merge": _INT2,
    "contains": _INT2,
    "intern_header_name_bytes": _OBJ1,
    "simd_lower_bytes": _OBJ1,
    "new_headers": _NEW,
}
capi = types.SimpleNamespace(**{name: prototype(capi_tables.address(headers, name))
                                 for name, prototype in _PROTOTYPES.items()})


def test_table_identifies_itself_and_the_types():
    table = capi_tables.header(headers)
    assert (table.name, table.version) == (b"quenmark.headers CApi", 1)
    assert capi_tables.address(headers, "header_type") == id(Header)
    assert capi_tables.address(headers, "headers_type") == id(Headers)


def test_table_helpers():
    shared = Header(b"content-type", b"").name
    assert capi.intern_header_name_bytes(b"Content-Type") is shared
    assert capi.intern_header_name_bytes(None) is None
    name = b"x-unknown"
    assert capi.intern_header_name_bytes(name) is name
    assert capi.simd_lower_bytes(name) is name
    assert capi.simd_lower_bytes(b"X-Unknown") == b"x-unknown"
    with pytest.raises(TypeError, match="^Expected bytes, got str$"):
        capi.simd_lower_bytes("x")
    values = [(b"A", b"1")]
    h = capi.new_headers(id(values))
    assert type(h) is Headers and h.values is values
    assert capi.new_headers(None).values == []


def test_table_on_the_base_type():
    h = Headers()
    assert capi.add(h, b"A", b"1") == 0
    assert capi.set(h, b"B", b"2") == 0
    assert capi.merge(h, [(b"C", b"3")]) == 0
    assert capi.keys(h) == (b"a", b"b", b"C")
    assert capi.get(h, b"a") == (b"1",)
    assert capi.get_tuples(h, b"c") == [(b"C", b"3")]
    assert capi.get_first(h, b"B") == b"2"
    assert capi.get_single(h, b"b") == b"2"
    assert capi.contains(h, b"a") == 1
    assert capi.contains(h, b"c") == 0  # stored unnormalised
    assert capi.remove(h, b"A") == 0
    assert capi.clone(h).values == [(b"b", b"2"), (b"C", b"3")]
    with pytest.raises(TypeError, match=r"Argument 'key' has incorrect type \(expected bytes, got int\)"):
        capi.contains(h, 1)
    with pytest.raises(ValueError, match="does not contain one header"):
        capi.get_single(h, b"missing")


class Recorder(Headers):
    """Overrides all eleven operations, records the call and answers with a marker value."""

    def __init__(self, answers):
        super().__init__()
        self.calls = []
        self.answers = answers

    def _answer(self, name, *args):
        self.calls.append((name, *args))
        return self.answers.get(name)

    def keys(self):
        return self._answer("keys")

    def clone(self):
        return self._answer("clone")

    def get(self, name):
        return self._answer("get", name)

    def get_tuples(self, name):
        return self._answer("get_tuples", name)

    def add(self, name, value):
        return self._answer("add", name, value)

    def set(self, name, value):
        return self._answer("set", name, value)

    def get_single(self, key):
        return self._answer("get_single", key)

    def get_first(self, key):
        return self._answer("get_first", key)

    def remove(self, key):
        return self._answer("remove", key)

    def merge(self, values):
        return self._answer("merge", values)

    def contains(self, key):
        return self._answer("contains", key)


GOOD_ANSWERS = {
    "keys": (b"k",),
    "clone": Headers([(b"c", b"1")]),
    "get": (b"v",),
    "get_tuples": [(b"t", b"1")],
    "get_single": b"s",
    "get_first": b"f",
    "contains": True,
    "add": "ignored",
    "set": "ignored",
    "remove": "ignored",
    "merge": "ignored",
}

TABLE_CALLS = [
    ("keys", ()),
    ("clone", ()),
    ("get", (b"N",)),
    ("get_tuples", (b"N",)),
    ("add", (b"N", b"v")),
    ("set", (b"N", b"v")),
    ("get_single", (b"K",)),
    ("get_first", (b"K",)),
    ("remove", (b"K",)),
    ("merge", ([(b"a", b"1")],)),
    ("contains", (b"K",)),
]


@pytest.mark.parametrize("name, args", TABLE_CALLS)
def test_every_table_entry_calls_the_override(name, args):
    h = Recorder(GOOD_ANSWERS)
    result = getattr(capi, name)(h, *args)
    assert h.calls == [(name, *args)]
    expected = GOOD_ANSWERS[name]
    if name in ("add", "set", "remove", "merge"):
        assert result == 0
    elif name == "contains":
        assert result == 1
    else:
        assert result is expected
    assert h.values == []  # the built-in body did not run


@pytest.mark.parametrize(
    "name, args, bad, message",
    [
        ("keys", (), [b"k"], "Expected tuple, got list"),
        ("get", (b"n",), [b"v"], "Expected tuple, got list"),
        ("get_tuples", (b"n",), (), "Expected list, got tuple"),
        ("get_single", (b"k",), "s", "Expected bytes, got str"),
        ("get_first", (b"k",), bytearray(b"f"), "Expected bytes, got bytearray"),
        ("clone", (), [], "Cannot convert list to quenmark.headers.Headers"),
    ],
)
def test_override_results_are_type_checked(name, args, bad, message):
    h = Recorder({name: bad})
    with pytest.raises(TypeError) as info:
        getattr(capi, name)(h, *args)
    assert str(info.value) == message


@pytest.mark.parametrize("name", ["keys", "get", "get_single", "get_first", "clone"])
def test_override_may_answer_none(name):
    h = Recorder({})
    args = () if name in ("keys", "clone") else (b"k",)
    assert getattr(capi, name)(h, *args) is None


def test_clone_override_may_answer_a_subclass():
    class Sub(Headers):
        pass

    copy = Sub()
    assert capi.clone(Recorder({"clone": copy})) is copy


def test_contains_override_answer_is_taken_for_its_truth():
    class Unclear:
        def __bool__(self):
            raise RuntimeError("no truth")

    assert capi.contains(Recorder({"contains": [1]}), b"k") == 1
    assert capi.contains(Recorder({"contains": ""}), b"k") == 0
    with pytest.raises(RuntimeError, match="no truth"):
        capi.contains(Recorder({"contains": Unclear()}), b"k")


def test_override_errors_propagate_through_the_table():
    class Failing(Headers):
        def add(self, name, value):
            raise LookupError("refused")

    with pytest.raises(LookupError, match="refused"):
        capi.add(Failing(), b"a", b"1")


# ---- operations that call other operations ---------------------------------------------------


class Tracing(Headers):
    """Delegates to the built-in operations and records which were reached."""

    def __init__(self, values=None):
        super().__init__(values)
        self.trace = []

    def get(self, name):
        self.trace.append(("get", name))
        return super().get(name)

    def add(self, name, value):
        self.trace.append(("add", name, value))
        return super().add(name, value)

    def set(self, name, value):
        self.trace.append(("set", name, value))
        return super().set(name, value)

    def remove(self, key):
        self.trace.append(("remove", key))
        return super().remove(key)

    def contains(self, key):
        self.trace.append(("contains", key))
        return super().contains(key)

    def clone(self):
        self.trace.append(("clone",))
        return super().clone()


@pytest.mark.parametrize(
    "operation, trace",
    [
        (lambda h: h.set(b"A", b"2"), [("set", b"A", b"2"), ("contains", b"A"), ("remove", b"A"), ("add", b"A", b"2")]),
        (lambda h: h.set(b"new", b"2"), [("set", b"new", b"2"), ("contains", b"new"), ("add", b"new", b"2")]),
        (lambda h: h.__setitem__(b"A", b"2"), [("set", b"A", b"2"), ("contains", b"A"), ("remove", b"A"), ("add", b"A", b"2")]),
        (lambda h: h.update({b"b": b"3"}), [("set", b"b", b"3"), ("contains", b"b"), ("add", b"b", b"3")]),
        (lambda h: h.get_single(b"A"), [("get", b"A")]),
        (lambda h: h[b"A"], [("get", b"A")]),
        (lambda h: b"A" in h, [("contains", b"A")]),
        (lambda h: h.__delitem__(b"A"), [("remove", b"A")]),
        (lambda h: h.add_many({b"x": b"1"}), [("add", b"x", b"1")]),
        (lambda h: h.add_many([Header(b"X", b"1")]), [("add", b"x", b"1")]),
        (lambda h: h.__iadd__((b"x", b"1")), [("add", b"x", b"1")]),
        (lambda h: h + [(b"x", b"1")], [("clone",)]),
        (lambda h: [(b"x", b"1")] + h, [("clone",)]),
        # Python-visible calls of a built-in method run its body, which does not call get.
        (lambda h: h.get_first(b"A"), []),
        (lambda h: h.get_tuples(b"A"), []),
    ],
)
def test_internal_calls_go_through_overrides(operation, trace):
    h = Tracing([(b"a", b"1")])
    operation(h)
    assert h.trace == trace


def test_in_place_addition_goes_through_add_of_the_instance():
    h = Tracing()
    h += Headers([(b"a", b"1"), (b"b", b"2")])
    h += [(b"c", b"3")]
    assert h.trace == [("add", b"a", b"1"), ("add", b"b", b"2"), ("add", b"c", b"3")]


def test_set_override_sees_the_effect_of_super():
    class Upper(Headers):
        def add(self, name, value):
            super().add(name, value.upper())

    h = Upper([(b"a", b"x")])
    h.set(b"a", b"y")
    h[b"b"] = b"z"
    h += (b"c", b"w")
    assert h.values == [(b"a", b"Y"), (b"b", b"Z"), (b"c", b"W")]


def test_update_honours_a_setitem_override():
    seen = []

    class Keyed(Headers):
        def __setitem__(self, key, value):
            seen.append((key, value))

    h = Keyed()
    h.update({b"a": b"1", b"b": b"2"})
    assert seen == [(b"a", b"1"), (b"b", b"2")]
    assert h.values == []


def test_update_stops_when_the_dict_changes_size():
    values = {b"a": b"1", b"b": b"2"}

    class Growing(Headers):
        def set(self, name, value):
            values[b"c" + name] = value

    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        Growing().update(values)


def test_overrides_added_and_removed_after_first_use():
    class Late(Headers):
        pass

    h = Late([(b"a", b"1")])
    assert h.get_single(b"a") == b"1"
    Late.get = lambda self, name: (b"late",)
    assert h.get_single(b"a") == b"late"
    assert capi.get(h, b"a") == (b"late",)
    del Late.get
    assert h.get_single(b"a") == b"1"


def test_override_in_a_grandchild_class():
    class Child(Headers):
        pass

    class Grandchild(Child):
        def contains(self, key):
            return True

    h = Grandchild()
    h.set(b"a", b"1")  # contains says yes, so remove runs (and finds nothing)
    assert h.values == [(b"a", b"1")]
    assert capi.contains(Child(), b"a") == 0
    assert capi.contains(h, b"a") == 1


def test_sibling_subclasses_do_not_share_answers():
    class A(Headers):
        def get_first(self, key):
            return b"A"

    class B(Headers):
        pass

    for _ in range(3):
        assert capi.get_first(A(), b"x") == b"A"
        assert capi.get_first(B([(b"x", b"b")]), b"x") == b"b"


def test_add_to_instance_prefers_an_instance_attribute_add():
    h = Tracing()
    added = []
    h.add = lambda name, value: added.append((name, value))
    Headers._add_to_instance(h, (b"a", b"1"))
    assert added == [(b"a", b"1")]
    assert h.trace == []
