"""Message's header lookups and Headers' share one engine: on any entry list, including odd
entries (non-tuples, wrong lengths, names and values of other types, a name whose comparison
changes the list), `message.get_headers(k)` agrees with `message.headers.get(k)`, and so do
their friends. Where the two types document different outcomes, the model says so."""

import ctypes

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import capi_tables
from quenmark import messages
from quenmark.headers import Header
from quenmark.messages import Message

# Reached through the C-level table: Python has no method of this name.
_get_headers_tuples = capi_tables.function(messages, "get_headers_tuples", ctypes.py_object,
                                           ctypes.py_object, ctypes.py_object)


class Mutating:
    """A name that shortens the list it sits in whenever it is compared."""

    def __init__(self):
        self.target = None

    def __eq__(self, other):
        if self.target:
            self.target.pop()
        return False

    __hash__ = object.__hash__

    def lower(self):
        return self


NAMES = [b"a", b"A", b"ab", b"Content-Type", b"content-type", None, "a", 5, "mutating"]
VALUES = [b"1", b"", None, 7]
KEYS = [b"a", b"A", b"ab", b"content-type", b"CONTENT-TYPE", b"zz"]

entry = st.one_of(
    st.tuples(st.sampled_from(NAMES), st.sampled_from(VALUES)),
    st.sampled_from([None, (), ("a-name",), (b"a",), (b"a", b"1", b"2"), [b"a", b"1"], 3,
                     "header"]),
    st.builds(lambda v: Header(b"a", v), st.sampled_from([b"1", None])),
)


def build(entries):
    """A new message over `entries`, each Mutating placeholder made fresh (so one is never shared)."""
    made = []
    for e in entries:
        if isinstance(e, tuple) and e and e[0] == "mutating":
            e = (Mutating(),) + e[1:]
        made.append(e)
    m = Message(made)
    for e in m.headers.values:
        if isinstance(e, tuple) and e and isinstance(e[0], Mutating):
            e[0].target = m.headers.values
    return m


def outcome(call, *args):
    try:
        result = call(*args)
    except Exception as exc:  # noqa: BLE001 - the exception is the outcome
        return ("raise", type(exc), str(exc))
    return ("value", list(result) if isinstance(result, (list, tuple)) else result)


def entries_after(m):
    return [e if not isinstance(e, tuple) or not e or not isinstance(e[0], Mutating)
            else ("mutating",) + e[1:] for e in m.headers.values]


PAIRS = [
    ("get", "get_headers"),
    ("get_first", "get_first_header"),
    ("get_single", "get_single_header"),
    ("get_tuples", "get_headers_tuples"),
    ("remove", "remove_header"),
]


@settings(max_examples=400, deadline=None, suppress_health_check=list(HealthCheck))
@given(st.lists(entry, max_size=6), st.sampled_from(KEYS), st.sampled_from(PAIRS))
@example([(b"a",), ("mutating", b"1")], b"a", ("get_tuples", "get_headers_tuples"))
def test_message_lookups_agree_with_headers(entries, key, pair):
    headers_op, message_op = pair
    via_headers, via_message = build(entries), build(entries)
    expected = outcome(getattr(via_headers.headers, headers_op), key)
    method = (getattr(via_message, message_op) if message_op != "get_headers_tuples"
              else lambda k: _get_headers_tuples(via_message, k))
    got = outcome(method, key)
    if headers_op == "get_tuples":
        # The messages table guarantees its callers a value in every pair it returns, so it
        # fails where Headers.get (which reads each match's value) fails.
        reading = build(entries)
        reading_values = outcome(reading.headers.get, key)
        if reading_values[0] == "raise":
            # ...and stops where that fails, so a later entry's comparison never runs.
            expected, via_headers = reading_values, reading
    if expected[0] == "value" and expected[1] == () and headers_op == "remove":
        expected = ("value", None)
    assert got == expected
    assert entries_after(via_message) == entries_after(via_headers)


def test_the_example_that_once_disagreed():
    m = Message([("a", b"1"), (b"a", b"2")])
    assert m.headers.get(b"a") == (b"2",)
    assert m.get_headers(b"a") == [b"2"]


@pytest.mark.parametrize("key", [b"A", b"a"])
def test_a_comparison_that_shortens_the_list_ends_the_scan_cleanly(key):
    # The name is compared twice (as it is, then lowered): each comparison drops the last pair.
    entries = [("mutating", b"0"), (b"a", b"1"), (b"a", b"2"), (b"a", b"3")]
    m, h = build(entries), build(entries)
    assert m.get_headers(key) == [b"1"]
    assert h.headers.get(key) == (b"1",)
    assert entries_after(m) == entries_after(h) == [("mutating", b"0"), (b"a", b"1")]
