"""Behaviour of Header and Headers as seen from Python."""

import gc
import re
import weakref

import pytest

from quenmark.headers import Header, Headers


def interned(name: bytes) -> bytes:
    """The shared object that the core library keeps for a known header name."""
    return Header(name, b"").name


def arg_error(arg, expected, got):
    return f"Argument '{arg}' has incorrect type (expected {expected}, got {got})"


def exactly(message):
    """A `match` pattern for exactly this message."""
    return "^" + re.escape(message) + "$"


# ---- Header -----------------------------------------------------------------------------------


class TestHeader:
    @pytest.mark.parametrize(
        "given, stored",
        [
            (b"content-type", b"content-type"),
            (b"Content-Type", b"content-type"),
            (b"X-Custom-Thing", b"x-custom-thing"),
            (b"x-\xc4-UPPER", b"x-\xc4-upper"),  # only ASCII letters change
            (b"", b""),
            (None, None),
        ],
    )
    def test_name_is_normalised_and_value_kept(self, given, stored):
        value = b"Some Value"
        h = Header(given, value)
        assert h.name == stored
        assert h.value is value

    def test_known_names_become_the_shared_object_whatever_their_case(self):
        shared = interned(b"content-type")
        assert Header(b"CONTENT-TYPE", b"x").name is shared
        assert Header(bytes(b"content-type"), b"x").name is shared

    def test_unknown_lower_case_name_is_kept_as_given(self):
        name = b"x-not-in-any-table"
        assert Header(name, b"").name is name

    def test_keywords_and_none(self):
        h = Header(value=b"1", name=b"A")
        assert (h.name, h.value) == (b"a", b"1")
        assert (Header(None, None).name, Header(None, None).value) == (None, None)

    @pytest.mark.parametrize(
        "args, message",
        [
            ((b"x", "text"), arg_error("value", "bytes", "str")),
            (("x", b"v"), arg_error("name", "bytes", "str")),
            ((bytearray(b"x"), b"v"), arg_error("name", "bytes", "bytearray")),
            ((b"x", 1), arg_error("value", "bytes", "int")),
            ((b"x",), "__init__() takes exactly 2 positional arguments (1 given)"),
            ((b"x", b"y", b"z"), "__init__() takes exactly 2 positional arguments (3 given)"),
        ],
    )
    def test_bad_arguments(self, args, message):
        with pytest.raises(TypeError) as info:
            Header(*args)
        assert str(info.value) == message

    def test_bytes_subclass_is_rejected(self):
        class B(bytes):
            pass

        with pytest.raises(TypeError, match=r"expected bytes, got B"):
            Header(B(b"x"), b"")

    def test_repr_iteration_and_unpacking(self):
        h = Header(b"Content-Type", b"text/plain")
        assert repr(h) == "<Header b'content-type': b'text/plain'>"
        assert repr(Header(None, None)) == "<Header None: None>"
        name, value = h
        assert (name, value) == (b"content-type", b"text/plain")
        assert list(h) == [b"content-type", b"text/plain"]

    @pytest.mark.parametrize(
        "a, b, equal",
        [
            (Header(b"A", b"1"), Header(b"a", b"1"), True),
            (Header(b"a", b"1"), Header(b"a", b"2"), False),
            (Header(b"a", b"1"), Header(b"b", b"1"), False),
            (Header(b"a", b"V"), Header(b"a", b"v"), False),  # values compare exactly
            (Header(None, None), Header(None, None), True),
            (Header(None, b"1"), Header(b"a", b"1"), False),
        ],
    )
    def test_equality(self, a, b, equal):
        assert (a == b) is equal
        assert (b == a) is equal
        assert (a != b) is (not equal)

    def test_not_equal_to_other_types_and_unordered_and_unhashable(self):
        h = Header(b"a", b"1")
        assert (h == (b"a", b"1")) is False
        assert (h != (b"a", b"1")) is True
        assert h.__eq__((b"a", b"1")) is NotImplemented
        with pytest.raises(TypeError):
            h < h  # noqa: B015
        with pytest.raises(TypeError):
            hash(h)

    def test_fields_are_read_only(self):
        h = Header(b"a", b"1")
        with pytest.raises(AttributeError):
            h.name = b"b"
        with pytest.raises(AttributeError):
            h.value = b"2"

    def test_subclass(self):
        class Named(Header):
            def __init__(self, name):
                super().__init__(name, b"fixed")

        h = Named(b"X-A")
        assert (h.name, h.value) == (b"x-a", b"fixed")
        assert h == Header(b"x-a", b"fixed")
        assert Header(b"x-a", b"fixed") == h


# ---- Headers: construction and storage ------------------------------------------------------


class TestConstruction:
    def test_adopts_the_list_without_copying_or_normalising(self):
        values = [(b"X-A", b"1"), ("odd", 5)]
        h = Headers(values)
        assert h.values is values
        assert Headers(values=values).values is values

    def test_none_gives_a_new_empty_list(self):
        a, b = Headers(), Headers(None)
        assert a.values == [] and b.values == [] and a.values is not b.values

    @pytest.mark.parametrize(
        "arg, got", [((), "tuple"), ({}, "dict"), (b"", "bytes"), (iter([]), "list_iterator")]
    )
    def test_rejects_anything_but_a_list(self, arg, got):
        with pytest.raises(TypeError) as info:
            Headers(arg)
        assert str(info.value) == arg_error("values", "list", got)

    def test_rejects_list_subclass_and_extra_arguments(self):
        class L(list):
            pass

        with pytest.raises(TypeError, match="expected list, got L"):
            Headers(L())
        with pytest.raises(TypeError, match=r"takes at most 1 positional argument \(2 given\)"):
            Headers([], [])
        with pytest.raises(TypeError, match="unexpected keyword argument 'value'"):
            Headers(value=[])

    def test_values_is_read_only_and_there_is_no_length(self):
        h = Headers()
        with pytest.raises(AttributeError):
            h.values = []
        with pytest.raises(TypeError):
            len(h)
        assert bool(Headers()) is True

    def test_identity_hash_and_equality(self):
        a, b = Headers(), Headers()
        assert a != b and a == a
        assert hash(a) != hash(b)

    def test_repr(self):
        assert repr(Headers([(b"a", b"1")])) == "<Headers [(b'a', b'1')]>"
        assert repr(Headers()) == "<Headers []>"

    def test_subclass_that_skips_the_base_init_still_works(self):
        class Lazy(Headers):
            def __init__(self):
                pass

        h = Lazy()
        h.add(b"A", b"1")
        assert h.values == [(b"a", b"1")]

    def test_cycle_through_the_entry_list_is_collected(self):
        class Sub(Headers):
            pass

        h = Sub()
        h.values.append(h)
        ref = weakref.ref(h)
        del h
        gc.collect()
        assert ref() is None


# ---- lookups ---------------------------------------------------------------------------------


def sample():
    h = Headers()
    h.add(b"Content-Type", b"text/plain")
    h.add(b"Set-Cookie", b"a=1")
    h.add(b"X-Custom", b"c")
    h.add(b"set-cookie", b"b=2")
    return h


class TestLookups:
    @pytest.mark.parametrize("key", [b"set-cookie", b"SET-COOKIE", b"Set-Cookie"])
    def test_every_lookup_ignores_case(self, key):
        h = sample()
        assert h.get(key) == (b"a=1", b"b=2")
        assert h[key] == (b"a=1", b"b=2")
        assert h.get_first(key) == b"a=1"
        assert [t[1] for t in h.get_tuples(key)] == [b"a=1", b"b=2"]
        assert h.contains(key) and key in h

    def test_add_stores_normalised_interned_names(self):
        h = Headers()
        h.add(b"Content-Type", b"x")
        assert h.values == [(b"content-type", b"x")]
        assert h.values[0][0] is interned(b"content-type")
        assert h.get(b"CONTENT-TYPE") == (b"x",)
        assert h.contains(b"content-type") is True

    def test_missing_names(self):
        h = sample()
        assert h.get(b"missing") == ()
        assert h.get_tuples(b"missing") == []
        assert h.get_first(b"missing") is None
        assert h.contains(b"missing") is False
        assert b"missing" not in h

    def test_get_tuples_returns_the_stored_tuples(self):
        h = sample()
        found = h.get_tuples(b"x-custom")
        assert found[0] is h.values[2]

    def test_get_single(self):
        h = sample()
        assert h.get_single(b"X-CUSTOM") == b"c"
        with pytest.raises(ValueError) as many:
            h.get_single(b"set-cookie")
        assert str(many.value) == "Headers contains more than one header with the given key"
        with pytest.raises(ValueError) as none:
            h.get_single(b"missing")
        assert str(none.value) == "Headers does not contain one header with the given key"

    def test_names_that_were_not_normalised_are_found_by_get_only(self):
        h = Headers([(b"X-A", b"1")])
        assert h.get(b"x-a") == (b"1",)
        assert h.get_first(b"X-A") == b"1"
        assert h.contains(b"x-a") is False
        assert b"x-a" not in h
        h[b"x-a"] = b"2"  # contains is False, so nothing is removed
        assert h.values == [(b"X-A", b"1"), (b"x-a", b"2")]

    @pytest.mark.parametrize(
        "name",
        [b"a", b"abcdefg", b"abcdefgh", b"abcdefghi", b"x-forwarded-for", b"q" * 40, b"z" * 100],
    )
    def test_case_folding_at_every_word_boundary(self, name):
        upper = name.upper()
        h = Headers([(upper, b"1"), (name[:-1] + b"!", b"2")])
        assert h.get(name) == (b"1",)
        assert h.get(upper) == (b"1",)
        assert h.get(name[:-1] + b"?") == ()

    def test_non_letters_are_not_folded(self):
        # '@' and '[' sit next to 'A' and 'Z'; 0xC1 is 'A' with the high bit set.
        h = Headers([(b"@[\xc1", b"1")])
        assert h.get(b"@[\xc1") == (b"1",)
        assert h.get(b"`{\xe1") == ()

    def test_none_key_and_none_names(self):
        h = Headers()
        h.add(None, b"1")
        h.add(b"a", None)
        assert h.get(None) == (b"1",)
        assert h.contains(None) is True
        assert h.get(b"a") == (None,)
        assert h.get_first(b"a") is None
        assert h.keys() == (None, b"a")

    def test_lookup_keys_that_are_reused_at_the_same_address(self):
        # The same key text in a new object, and a new text in a recycled object, both resolve.
        h = Headers([(b"x-one", b"1"), (b"x-two", b"2")])
        for _ in range(200):
            assert h.get_first(bytes(b"x-one")) == b"1"
            assert h.get_first(b"x-" + b"two") == b"2"
            assert h.get_first(b"x-" + b"three") is None


class TestChanges:
    def test_set_replaces_every_entry_and_appends(self):
        h = sample()
        h.set(b"SET-COOKIE", b"c=3")
        assert h.values == [
            (b"content-type", b"text/plain"),
            (b"x-custom", b"c"),
            (b"set-cookie", b"c=3"),
        ]
        h[b"Content-Type"] = b"json"
        assert h.values[-1] == (b"content-type", b"json")
        assert h.get(b"content-type") == (b"json",)

    def test_remove_and_del(self):
        h = sample()
        h.remove(b"Set-Cookie")
        assert h.get(b"set-cookie") == ()
        del h[b"x-custom"]
        assert h.values == [(b"content-type", b"text/plain")]
        h.remove(b"missing")
        del h[b"missing"]
        assert len(h.values) == 1

    @pytest.mark.parametrize("count", [1, 7, 8, 9, 30])
    def test_many_matches(self, count):
        h = Headers()
        for i in range(count):
            h.add(b"Set-Cookie" if i % 2 else b"set-cookie", b"%d" % i)
            h.add(b"x-other", b"o")
        assert h.get(b"set-cookie") == tuple(b"%d" % i for i in range(count))
        assert len(h.get_tuples(b"SET-COOKIE")) == count
        h.remove(b"set-cookie")
        assert h.values == [(b"x-other", b"o")] * count

    def test_remove_takes_unnormalised_duplicates_too(self):
        h = Headers([(b"A", b"1"), (b"b", b"2"), (b"a", b"1"), (b"A", b"1")])
        h.remove(b"a")
        assert h.values == [(b"b", b"2")]

    def test_keys(self):
        h = Headers()
        h.add(b"a", b"1")
        h.add(b"b", b"2")
        h.add(b"A", b"3")
        assert h.keys() == (b"a", b"b")
        # Names are compared as stored.
        assert Headers([(b"A", b"1"), (b"a", b"2")]).keys() == (b"A", b"a")

    def test_clone(self):
        class Sub(Headers):
            pass

        original = Sub([(b"a", b"1"), (b"B", b"2")])
        copy = original.clone()
        assert type(copy) is Headers
        assert copy.values == original.values
        assert copy.values is not original.values
        assert copy.values[0] is not original.values[0]
        assert copy.values[1][0] is original.values[1][0]  # bytes are shared
        copy.add(b"c", b"3")
        assert len(original.values) == 2

    def test_merge(self):
        foreign = (b"X-Raw", b"1")
        h = Headers([(b"a", b"1")])
        h.merge([foreign, None, (b"b", b"2")])
        assert h.values == [(b"a", b"1"), foreign, (b"b", b"2")]
        assert h.values[1] is foreign
        h.merge([])
        assert len(h.values) == 3

    def test_merging_a_list_into_itself_ends(self):
        h = Headers([(b"a", b"1"), (b"b", b"2")])
        h.merge(h.values)
        assert h.values == [(b"a", b"1"), (b"b", b"2")] * 2

    def test_update(self):
        h = Headers([(b"a", b"0"), (b"b", b"0")])
        h.update({b"A": b"1", b"c": b"3"})
        assert h.values == [(b"b", b"0"), (b"a", b"1"), (b"c", b"3")]
        h.update({})
        assert len(h.values) == 3

    def test_items_and_iteration_yield_the_stored_tuples(self):
        h = sample()
        assert list(h) == h.values
        assert all(a is b for a, b in zip(h.items(), h.values, strict=True))
        assert [name for name, _ in h] == [t[0] for t in h.values]


class TestAddMany:
    @pytest.mark.parametrize(
        "values",
        [
            {b"A": b"1"},
            [Header(b"a", b"1")],
            [(b"A", b"1")],
            [[b"a", b"1"]],
        ],
        ids=["dict", "headers", "tuples", "lists"],
    )
    def test_accepted_shapes(self, values):
        h = Headers()
        h.add_many(values)
        assert h.values == [(b"a", b"1")]

    def test_other_mapping_and_mutable_sequence(self):
        from collections import OrderedDict, UserList
        from types import MappingProxyType

        h = Headers()
        h.add_many(MappingProxyType({b"a": b"1"}))
        h.add_many(UserList([(b"b", b"2")]))
        h.add_many(OrderedDict([(b"c", b"3")]))
        assert h.values == [(b"a", b"1"), (b"b", b"2"), (b"c", b"3")]

    @pytest.mark.parametrize("values", [((b"a", b"1"),), None, 5, b"ab", iter([])])
    def test_rejected_shapes(self, values):
        with pytest.raises(ValueError) as info:
            Headers().add_many(values)
        assert str(info.value) == "values must be dict[bytes, bytes] or list[Header]"

    def test_bad_items_stop_but_keep_what_was_added(self):
        h = Headers()
        with pytest.raises(TypeError, match=r"add\(\) takes exactly 2 positional arguments \(3 given\)"):
            h.add_many([(b"a", b"1"), (b"b", b"2", b"3")])
        with pytest.raises(TypeError, match=exactly(arg_error("value", "bytes", "str"))):
            h.add_many({b"c": "text"})
        with pytest.raises(TypeError, match="must be an iterable, not int"):
            h.add_many([5])
        assert h.values == [(b"a", b"1")]

    def test_adding_own_entry_list_ends(self):
        h = Headers([(b"a", b"1")])
        h.add_many(h.values)
        assert h.values == [(b"a", b"1"), (b"a", b"1")]


class TestOperators:
    def test_plus_makes_a_new_object(self):
        h = Headers([(b"x", b"0")])
        result = h + [(b"A", b"1")]
        assert type(result) is Headers and result is not h
        assert result.values == [(b"x", b"0"), (b"a", b"1")]
        assert h.values == [(b"x", b"0")]

    def test_reflected_plus_puts_own_entries_first(self):
        h = Headers([(b"x", b"0")])
        assert ([(b"a", b"1")] + h).values == [(b"x", b"0"), (b"a", b"1")]

    def test_in_place_plus(self):
        h = Headers()
        alias = h
        h += Header(b"A", b"1")
        h += (b"B", b"2")
        h += Headers([(b"C", b"3")])
        h += [(b"d", b"4")]
        assert h is alias
        assert h.values == [(b"a", b"1"), (b"b", b"2"), (b"c", b"3"), (b"d", b"4")]

    def test_adding_to_itself_ends(self):
        h = Headers([(b"a", b"1"), (b"b", b"2")])
        h += h
        assert h.values == [(b"a", b"1"), (b"b", b"2")] * 2
        assert (h + h).values == h.values * 2
        h += h.values
        assert len(h.values) == 8

    @pytest.mark.parametrize(
        "item, message",
        [
            ((b"a", b"1", b"2"), "Cannot add, an invalid tuple (b'a', b'1', b'2')."),
            ((), "Cannot add, an invalid tuple ()."),
            ([b"ab"], "The sequence contains invalid elements: cannot add b'ab' to Headers"),
            ([(b"a", b"1"), (b"b",)], "The sequence contains invalid elements: cannot add (b'b',) to Headers"),
            ([[b"a", b"1"]], "The sequence contains invalid elements: cannot add [b'a', b'1'] to Headers"),
        ],
    )
    def test_invalid_additions(self, item, message):
        h = Headers()
        with pytest.raises(ValueError) as info:
            h += item
        assert str(info.value) == message

    def test_sequence_error_names_the_subclass_and_keeps_earlier_elements(self):
        class Sub(Headers):
            pass

        h = Sub()
        with pytest.raises(ValueError, match="cannot add 5 to Sub$"):
            Headers._add_to_instance(h, [(b"a", b"1"), 5])
        assert h.values == [(b"a", b"1")]

    @pytest.mark.parametrize("other", [5, None, b"ab", {b"a": b"1"}, "text"])
    def test_unsupported_operands(self, other):
        h = Headers()
        with pytest.raises(TypeError, match="unsupported operand"):
            h + other
        with pytest.raises(TypeError):
            other + h
        with pytest.raises(TypeError, match="unsupported operand"):
            h += other
        assert Headers._add_to_instance(h, other) is NotImplemented

    def test_a_header_is_added_through_its_name_and_value_attributes(self):
        class Renamed(Header):
            @property
            def name(self):
                return b"X-Renamed"

        h = Headers()
        h += Renamed(b"a", b"1")
        assert (h + Renamed(b"b", b"2")).values == [(b"x-renamed", b"1"), (b"x-renamed", b"2")]

    def test_add_to_instance_uses_the_attribute_add(self):
        calls = []

        class Recorder:
            def add(self, *args):
                calls.append(args)

        target = Recorder()
        assert Headers._add_to_instance(target, Header(b"A", b"1")) is target
        Headers._add_to_instance(target, Headers([(b"b", b"2")]))
        Headers._add_to_instance(instance=target, item=[(b"c", b"3")])
        assert calls == [(b"a", b"1"), (b"b", b"2"), (b"c", b"3")]


# ---- bad input -------------------------------------------------------------------------------


METHODS_WITH_ONE_BYTES_ARG = [
    ("get", "name"),
    ("get_tuples", "name"),
    ("get_first", "key"),
    ("get_single", "key"),
    ("remove", "key"),
    ("contains", "key"),
]


class TestBadArguments:
    @pytest.mark.parametrize("method, arg", METHODS_WITH_ONE_BYTES_ARG)
    @pytest.mark.parametrize("bad, got", [("text", "str"), (1, "int"), (bytearray(), "bytearray")])
    def test_typed_argument(self, method, arg, bad, got):
        with pytest.raises(TypeError) as info:
            getattr(Headers(), method)(bad)
        assert str(info.value) == arg_error(arg, "bytes", got)

    @pytest.mark.parametrize("method, arg", METHODS_WITH_ONE_BYTES_ARG)
    def test_argument_count_and_keywords(self, method, arg):
        h = Headers([(b"a", b"1")])
        with pytest.raises(TypeError) as info:
            getattr(h, method)()
        assert str(info.value) == f"{method}() takes exactly 1 positional argument (0 given)"
        with pytest.raises(TypeError, match=r"takes exactly 1 positional argument \(2 given\)"):
            getattr(h, method)(b"a", b"b")
        getattr(h, method)(**{arg: b"A"})

    @pytest.mark.parametrize("method", ["add", "set"])
    def test_two_argument_methods(self, method):
        h = Headers()
        with pytest.raises(TypeError) as info:
            getattr(h, method)(b"a", "v")
        assert str(info.value) == arg_error("value", "bytes", "str")
        with pytest.raises(TypeError) as info:
            getattr(h, method)(1, b"v")
        assert str(info.value) == arg_error("name", "bytes", "int")
        with pytest.raises(TypeError) as info:
            getattr(h, method)(b"a")
        assert str(info.value) == f"{method}() takes exactly 2 positional arguments (1 given)"
        getattr(h, method)(value=b"v", name=b"N")
        assert h.values == [(b"n", b"v")]

    def test_merge_and_update_argument_types(self):
        h = Headers()
        with pytest.raises(TypeError, match=exactly(arg_error("values", "list", "tuple"))):
            h.merge(())
        with pytest.raises(TypeError, match=exactly(arg_error("values", "dict", "list"))):
            h.update([])
        with pytest.raises(TypeError, match="Expected tuple, got list"):
            h.merge([[b"a", b"1"]])
        with pytest.raises(TypeError, match=exactly(arg_error("value", "bytes", "int"))):
            h.update({b"a": 1})
        with pytest.raises(TypeError, match=exactly(arg_error("key", "bytes", "str"))):
            h.update({"a": b"1"})
        with pytest.raises(TypeError):
            h.merge(None)
        with pytest.raises(AttributeError):
            h.update(None)

    @pytest.mark.parametrize(
        "operation, message",
        [
            (lambda h: h[0], arg_error("item", "bytes", "int")),
            (lambda h: h.__setitem__(0, b"x"), arg_error("key", "bytes", "int")),
            (lambda h: h.__setitem__(b"a", 0), arg_error("value", "bytes", "int")),
            (lambda h: h.__delitem__(0), arg_error("key", "bytes", "int")),
            (lambda h: 0 in h, arg_error("key", "bytes", "int")),
            (lambda h: h["a"], arg_error("item", "bytes", "str")),
        ],
    )
    def test_subscripts_must_be_bytes(self, operation, message):
        with pytest.raises(TypeError) as info:
            operation(Headers([(b"a", b"1")]))
        assert str(info.value) == message

    def test_no_argument_methods(self):
        with pytest.raises(TypeError):
            Headers().keys(1)
        with pytest.raises(TypeError):
            Headers().clone(1)
        with pytest.raises(TypeError):
            Headers().items(1)


# Entry lists adopted from callers are not validated; each scan reports what it cannot read.
INDEXING_SCANS = [
    lambda h: h.get(b"a"),
    lambda h: h.get_tuples(b"a"),
    lambda h: h.get_first(b"a"),
    lambda h: h.remove(b"a"),
    lambda h: h[b"a"],
    lambda h: h.get_single(b"a"),
]
UNPACKING_SCANS = [
    lambda h: h.keys(),
    lambda h: h.contains(b"a"),
    lambda h: b"a" in h,
    lambda h: h.clone(),
    lambda h: h.set(b"a", b"1"),
]


class TestBadEntries:
    @pytest.mark.parametrize("scan", INDEXING_SCANS)
    @pytest.mark.parametrize(
        "entry, error, message",
        [
            ([b"a", b"1"], TypeError, "Expected tuple, got list"),
            (b"a1", TypeError, "Expected tuple, got bytes"),
            (None, TypeError, "'NoneType' object is not subscriptable"),
            ((), IndexError, "tuple index out of range"),
        ],
    )
    def test_indexing_scans(self, scan, entry, error, message):
        h = Headers([(b"z", b"0"), entry])
        with pytest.raises(error) as info:
            scan(h)
        assert str(info.value) == message

    @pytest.mark.parametrize("scan", UNPACKING_SCANS)
    @pytest.mark.parametrize(
        "entry, error, message",
        [
            ((b"a",), ValueError, "not enough values to unpack (expected 2, got 1)"),
            ((b"a", b"1", b"2"), ValueError, "too many values to unpack (expected 2, got 3)"),
            (None, TypeError, "cannot unpack non-iterable NoneType object"),
            (("a", b"1"), TypeError, "Expected bytes, got str"),
            ((b"a", 1), TypeError, "Expected bytes, got int"),
        ],
    )
    def test_unpacking_scans(self, scan, entry, error, message):
        h = Headers([(b"z", b"0"), entry])
        with pytest.raises(error) as info:
            scan(h)
        assert str(info.value) == message

    def test_lists_and_iterables_unpack_as_pairs(self):
        h = Headers([[b"a", b"1"], iter([b"b", b"2"])])
        assert h.keys() == (b"a", b"b")

    def test_value_checks_on_single_results(self):
        h = Headers([(b"a", "text")])
        with pytest.raises(TypeError, match="Expected bytes, got str"):
            h.get_first(b"a")
        with pytest.raises(TypeError, match="Expected bytes, got str"):
            h.get_single(b"a")
        assert h.get(b"a") == ("text",)  # get hands values over as stored

    def test_short_tuple_is_an_error_only_when_its_value_is_needed(self):
        h = Headers([(b"x",), (b"a", b"1")])
        with pytest.raises(IndexError):
            h.get(b"x")
        assert h.get(b"a") == (b"1",)
        assert len(h.get_tuples(b"x")) == 1

    def test_names_of_other_types_use_generic_comparison(self):
        h = Headers([("a", b"1"), (b"a", b"2")])
        assert h.get(b"a") == (b"2",)  # str never equals bytes
        with pytest.raises(AttributeError, match="lower"):
            Headers([(5, b"1")]).get(b"a")

    @pytest.mark.parametrize("length", [63, 64, 65])
    def test_objects_compared_generically_receive_the_lowered_key(self, length):
        key = (b"Mixed-" + b"K" * length)[:length]
        seen = []

        class Name:
            def __eq__(self, other):
                seen.append(other)
                return False

            __hash__ = object.__hash__

            def lower(self):
                return key.lower()

        h = Headers([(Name(), b"1")])
        assert h.get(key) == (b"1",)  # found through the .lower() fallback
        assert seen == [key.lower()] and type(seen[0]) is bytes

    def test_name_whose_comparison_empties_the_list(self):
        h = Headers()

        class Evil:
            def __eq__(self, other):
                h.values.clear()
                return True

            __hash__ = object.__hash__

        h.values.extend([(Evil(), b"1"), (b"a", b"2")])
        assert h.get(b"a") == (b"1",)
        h.values.extend([(Evil(), b"1"), (b"a", b"2")])
        with pytest.raises(ValueError, match="not in list"):
            h.remove(b"a")  # the matched entry was gone before its removal
        assert h.values == []

    def test_repr_of_an_entry_that_replaces_the_list(self):
        h = Headers()

        class Rude:
            def __repr__(self):
                h.__init__([])
                return "rude"

        h.values.append((b"a", Rude()))
        assert repr(h) == "<Headers [(b'a', rude)]>"
        assert h.values == []


@pytest.mark.parametrize(
    "entry, found",
    [
        ((b"ab", b"1", b"x"), ValueError),
        ((b"ab",), ValueError),
        ((), ValueError),
        ((b"ab", 5), TypeError),
        (("ab", b"1"), TypeError),
        (None, TypeError),
        ((b"AB", None), True),
        ((None, b"1"), True),
        ([b"ab", b"1"], True),
    ],
)
def test_contains_reads_every_entry_before_the_match(entry, found):
    # A name of another length is never the key, but an entry that cannot be read as a pair
    # still fails the lookup, wherever it stands.
    headers = Headers([entry, (b"content-type", b"y")])
    if isinstance(found, type):
        with pytest.raises(found):
            headers.contains(b"content-type")
    else:
        assert headers.contains(b"content-type") is found
