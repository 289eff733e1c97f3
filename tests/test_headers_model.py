"""Headers against a literal Python model of its documented behaviour, on generated names that
sit on every case-folding boundary ('@' 'A' 'Z' '[' '`' 'a' 'z' '{' and bytes above 0x7f) and
every word-compare length."""

from hypothesis import given, settings
from hypothesis import strategies as st

from quenmark.headers import Headers

ALPHABET = b"@AZ[`az{-\xc1\xe1Mm"
names = st.binary(min_size=0, max_size=19).map(
    lambda raw: bytes(ALPHABET[b % len(ALPHABET)] for b in raw)
)
# Known names in any case, so that the shared objects take part too.
known = st.sampled_from([b"content-type", b"set-cookie", b"host", b"x-forwarded-for", b"te"]).flatmap(
    lambda n: st.lists(st.booleans(), min_size=len(n), max_size=len(n)).map(
        lambda ups: bytes(c - 32 if u and 97 <= c <= 122 else c for c, u in zip(n, ups, strict=True))
    )
)
any_name = st.one_of(names, known)
values = st.binary(max_size=3)
entries = st.lists(st.tuples(any_name, values), max_size=14)


class Model:
    """The documented algorithm, written plainly."""

    def __init__(self, entries):
        self.values = list(entries)

    @staticmethod
    def matches(name, k):
        return name == k or name.lower() == k

    def get(self, key):
        k = key.lower()
        return tuple(v for n, v in self.values if self.matches(n, k))

    def get_first(self, key):
        found = self.get(key)
        return found[0] if found else None

    def contains(self, key):
        k = key.lower()
        return any(n == k for n, _ in self.values)

    def remove(self, key):
        k = key.lower()
        for entry in [e for e in self.values if self.matches(e[0], k)]:
            self.values.remove(entry)

    def add(self, name, value):
        self.values.append((name.lower(), value))

    def set(self, name, value):
        if self.contains(name):
            self.remove(name)
        self.add(name, value)

    def keys(self):
        out = []
        for n, _ in self.values:
            if n not in out:
                out.append(n)
        return tuple(out)


operations = st.lists(
    st.one_of(
        st.tuples(st.just("get"), any_name),
        st.tuples(st.just("get_first"), any_name),
        st.tuples(st.just("contains"), any_name),
        st.tuples(st.just("remove"), any_name),
        st.tuples(st.just("keys")),
        st.tuples(st.just("add"), any_name, values),
        st.tuples(st.just("set"), any_name, values),
    ),
    max_size=12,
)


@settings(max_examples=250, deadline=None)
@given(entries, operations)
def test_matches_the_model(initial, ops):
    h = Headers(list(initial))
    model = Model(initial)
    for name, *args in ops:
        assert getattr(h, name)(*args) == getattr(model, name)(*args), (name, args)
        assert h.values == model.values


@settings(max_examples=300, deadline=None)
@given(any_name, any_name)
def test_lookup_equals_lowered_comparison(stored, key):
    h = Headers([(stored, b"v")])
    expected = stored.lower() == key.lower()
    assert (h.get_first(key) == b"v") is expected
    assert h.contains(key) is (stored == key.lower())
