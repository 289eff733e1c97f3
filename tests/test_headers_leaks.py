"""Every operation, the failing ones included, repeated many times: traced memory and the
reference counts of shared objects must stay flat."""

import gc
import sys
import tracemalloc

import pytest

from quenmark.headers import Header, Headers

SHARED_NAME = Header(b"content-type", b"").name  # the core library's interned object
OTHER_SHARED = Header(b"set-cookie", b"").name
KEY = b"x-leak-key"
VALUE = b"leak-value"
ADOPTED = [(b"Content-Type", b"a"), (b"set-cookie", b"1"), (b"SET-COOKIE", b"2")]


class Overriding(Headers):
    def contains(self, key):
        return super().contains(key)

    def add(self, name, value):
        super().add(name, value)

    def get(self, name):
        return super().get(name)

    def clone(self):
        return super().clone()


class BadOverride(Headers):
    def get(self, name):
        return [name]  # wrong result type

    def clone(self):
        return 5


def fresh():
    h = Headers()
    h.add(b"Content-Type", b"text/plain")
    h.add(b"Set-Cookie", b"a")
    h.add(KEY, VALUE)
    return h


def operations():
    h = fresh()
    sub = Overriding([(b"content-type", b"x")])
    bad_entries = Headers([(b"a", b"1"), [b"b", b"2"], None, (), (b"c",), ("s", b"1"), (5, b"1")])
    return [
        # Header
        lambda: Header(b"Content-Type", VALUE),
        lambda: Header(b"X-Mixed-Case", VALUE),
        lambda: Header(name=KEY, value=VALUE),
        lambda: Header(b"x", "bad"),
        lambda: Header(b"x"),
        lambda: Header(b"x", b"y", unknown=1),
        lambda: repr(Header(b"A", b"1")),
        lambda: tuple(Header(b"A", b"1")),
        lambda: Header(b"A", b"1") == Header(b"a", b"1"),
        lambda: Header(b"A", b"1") != (b"a", b"1"),
        lambda: hash(Header(b"A", b"1")),
        # construction
        lambda: Headers(list(ADOPTED)),
        lambda: Headers(values=None),
        lambda: Headers(()),
        lambda: Headers([], []),
        lambda: Overriding(list(ADOPTED)),
        # lookups, found and missing, any case
        lambda: h.get(b"CONTENT-TYPE"),
        lambda: h.get(b"missing"),
        lambda: h.get(b"Set-" + b"Cookie"),
        lambda: h.get_tuples(b"content-type"),
        lambda: h.get_first(b"content-type"),
        lambda: h.get_first(b"Missing-Mixed"),
        lambda: h.get_first(bytes(bytearray(b"x-fresh-key"))),  # a new key object, remembered
        lambda: h.contains(bytes(bytearray(b"x-fresh-key"))),
        lambda: h.get_single(KEY),
        lambda: h.get_single(b"missing"),
        lambda: h.contains(b"content-type"),
        lambda: h.contains(None),
        lambda: b"set-cookie" in h,
        lambda: h[b"content-type"],
        lambda: h.keys(),
        lambda: Headers([(b"a", b"%d" % i) for i in range(12)]).get(b"A"),
        lambda: Headers([(b"a", b"%d" % i) for i in range(12)]).remove(b"A"),
        lambda: h.clone(),
        lambda: list(h),
        lambda: list(h.items()),
        lambda: repr(h),
        # typed-argument failures
        lambda: h.get("text"),
        lambda: h.get_first(1),
        lambda: h.get_single(),
        lambda: h.add(b"a"),
        lambda: h.set(b"a", 1),
        lambda: h.merge(()),
        lambda: h.update([]),
        lambda: h[0],
        lambda: 0 in h,
        lambda: h.__setitem__(b"a", 1),
        # changes (the object is rebuilt each round, so it does not grow)
        lambda: h.set(b"X-New", VALUE),
        lambda: h.__setitem__(b"Content-Type", b"json"),
        lambda: h.update({b"a": b"1", b"B": b"2"}),
        lambda: h.update({b"a": 1}),
        lambda: h.remove(b"a"),
        lambda: h.__delitem__(b"b"),
        lambda: h.merge([(b"m", b"1"), None]),
        lambda: h.merge([[b"m", b"1"]]),
        lambda: h.add_many({b"x": b"1"}),
        lambda: h.add_many([Header(b"y", b"1"), (b"z", b"1"), [b"w", b"1"]]),
        lambda: h.add_many(((b"a", b"1"),)),
        lambda: h.add_many([(b"a", b"1", b"2")]),
        lambda: h.add_many([5]),
        lambda: h + [(b"a", b"1")],
        lambda: [(b"a", b"1")] + h,
        lambda: h + (b"a", b"1", b"2"),
        lambda: h + [b"ab"],
        lambda: h + 5,
        lambda: Headers._add_to_instance(fresh(), fresh()),
        lambda: Headers._add_to_instance(object(), (b"a", b"1")),
        # unreadable entries
        lambda: bad_entries.get(b"b"),
        lambda: bad_entries.get(b"c"),
        lambda: bad_entries.get_first(b"zz"),
        lambda: bad_entries.keys(),
        lambda: bad_entries.contains(b"zz"),
        lambda: bad_entries.clone(),
        lambda: bad_entries.remove(b"zz"),
        # subclasses, through the override checks
        lambda: sub.set(b"Content-Type", b"y"),
        lambda: sub.get_single(b"content-type"),
        lambda: sub + [(b"a", b"1")],
        lambda: BadOverride().get_single(b"a"),
        lambda: BadOverride() + [(b"a", b"1")],
    ]


def run(rounds):
    for _ in range(rounds):
        for op in operations():
            try:
                op()
            except (TypeError, ValueError, IndexError, AttributeError):
                pass


@pytest.mark.parametrize("rounds", [3000])
def test_operations_leak_nothing(rounds):
    watched = [SHARED_NAME, OTHER_SHARED, KEY, VALUE, ADOPTED, None]
    tracemalloc.start()
    try:
        run(300)  # warm-up: caches, free lists, specialised bytecode
        gc.collect()
        counts = [sys.getrefcount(o) for o in watched]
        before = tracemalloc.get_traced_memory()[0]
        run(rounds)
        gc.collect()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in watched] == counts
    # One leaked small object per round would add well over 100 KiB.
    assert after - before < 32 * 1024, f"traced memory grew by {after - before} bytes"
