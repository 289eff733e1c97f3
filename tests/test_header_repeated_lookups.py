"""Lookups of a key seen before (`Headers.get_first` and `contains`, `Message.get_first_header`):
such a key is not normalised again, and plain entries are read without references up to the
first match, so every lookup here is made twice: the second call takes that way."""

import re

import pytest

from quenmark.headers import Header, Headers
from quenmark.messages import Message


def shared(name):
    return Header(name, b"").name


def own_copy(name):
    """Equal to `name`, but never the core library's shared object."""
    return bytes(bytearray(name))


def owner(kind, entries):
    """The lookup of a `kind` object over exactly `entries` (adopted, not normalised), and its list."""
    if kind == "headers":
        h = Headers(list(entries))
        return h.get_first, h.values
    m = Message([])
    m.headers.values[:] = entries
    return m.get_first_header, m.headers.values


def twice(lookup, key):
    first = lookup(key)
    assert lookup(key) == first
    return first


KINDS = ["headers", "message"]
# Shared and unknown names, across the word sizes of the comparison: 2, 4 to 7, 8 to 16, longer.
NAMES = [b"te", b"host", b"content-type", b"x-forwarded-for", b"x-quite-long-custom-header-name"]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("stored", [shared, own_copy, bytes.upper, lambda n: n[:-1] + n[-1:].upper()])
@pytest.mark.parametrize("key", [bytes, bytes.upper, shared])
def test_the_first_entry_of_the_name_wins_whatever_object_or_case_holds_it(kind, name, stored, key):
    # Before it: names of the same length that differ in one byte, at either end, one whose '-'
    # became '\r' (the two differ only in bit 5, as a capital and its lower case do), and names
    # that are not bytes.
    decoys = [(b"~" + name[1:], b"d1"), (name[:-1] + b"~", b"d2"), (None, b"d"), (name.decode(), b"d")]
    if b"-" in name:
        decoys.append((name.replace(b"-", b"\r"), b"d3"))
    lookup, _ = owner(kind, [*decoys, (stored(name), b"1"), (shared(name), b"2")])
    assert twice(lookup, key(name)) == b"1"
    assert twice(lookup, key(name)[:-1] + b"!") is None


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize(
    "bad, error, message",
    [
        ([b"content-type", b"0"], TypeError, "Expected tuple, got list"),
        (None, TypeError, "'NoneType' object is not subscriptable"),
        ((), IndexError, "tuple index out of range"),
        ((b"content-type",), IndexError, "tuple index out of range"),
        ((b"Content-Type", "text"), TypeError, "Expected bytes, got str"),
    ],
)
def test_a_malformed_entry_fails_before_the_match_and_is_not_read_after_it(kind, bad, error, message):
    before, _ = owner(kind, [(b"host", b"h"), bad, (b"content-type", b"1")])
    for _ in range(2):
        with pytest.raises(error, match="^" + re.escape(message) + "$"):
            before(b"content-type")
    after, _ = owner(kind, [(b"content-type", b"1"), bad])
    assert twice(after, b"content-type") == b"1"


@pytest.mark.parametrize("kind", KINDS)
def test_changes_to_the_list_between_lookups_are_seen(kind):
    lookup, values = owner(kind, [(b"host", b"h"), (b"content-type", b"1")])
    assert twice(lookup, b"content-type") == b"1"
    values.insert(0, (b"Content-Type", b"0"))
    assert twice(lookup, b"content-type") == b"0"
    values[0] = (b"content-typf", b"x")
    assert twice(lookup, b"content-type") == b"1"
    values[1:] = [(b"content-type", 5)]
    with pytest.raises(TypeError, match="^Expected bytes, got int$"):
        lookup(b"content-type")
    values.clear()
    assert twice(lookup, b"content-type") is None


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize(
    "stored, found", [(shared, True), (own_copy, True), (bytes.upper, False), (lambda n: None, False)]
)
def test_contains_compares_stored_names_exactly(name, stored, found):
    h = Headers([(name[:-1] + b"~", b"d"), (stored(name), b"1")])
    for _ in range(2):
        assert (name in h) is found
        assert (shared(name) in h) is found


@pytest.mark.parametrize(
    "bad, error",
    [((b"content-type",), ValueError), ((b"x",), ValueError), ((b"x", 5), TypeError), (None, TypeError)],
)
def test_contains_unpacks_every_entry_before_the_match_only(bad, error):
    before = Headers([(b"host", b"h"), bad, (b"content-type", b"1")])
    for _ in range(2):
        with pytest.raises(error):
            b"content-type" in before
    after = Headers([(b"content-type", b"1"), bad])
    assert b"content-type" in after and b"content-type" in after
