"""The header collection: the documented operations against the plain model the tests keep, and
every operation on arbitrary objects."""

from hypothesis import strategies as st

from fuzz import fuzzer, outcome
from quenmark.headers import Header, Headers
from tests.test_headers_model import Model, any_name, entries, operations

wide_values = st.one_of(st.binary(max_size=40),
                        st.sampled_from([b"", b"\r\n", b"a\x00b", b"\xff" * 3]))
wide_entries = st.lists(st.tuples(any_name, wide_values), max_size=30)


@fuzzer(initial=st.one_of(entries, wide_entries), ops=operations)
def model(initial, ops):
    headers = Headers(list(initial))
    reference = Model(initial)
    for name, *args in ops:
        assert getattr(headers, name)(*args) == getattr(reference, name)(*args), (name, args)
        assert headers.values == reference.values
    assert headers.clone().values == headers.values
    assert list(headers) == headers.values


anything = st.one_of(
    st.none(), st.binary(max_size=8), st.text(max_size=4), st.integers(), any_name,
    st.tuples(any_name, wide_values), st.lists(st.tuples(any_name, wide_values), max_size=3),
    st.builds(Header, any_name, wide_values), st.tuples(st.binary(max_size=3)),
    st.dictionaries(any_name, wide_values, max_size=3),
    st.lists(st.lists(any_name, max_size=3), max_size=2),
)
METHODS = ["get", "get_tuples", "get_single", "get_first", "remove", "contains", "keys", "clone",
           "add", "set", "merge", "update", "add_many", "__getitem__", "__setitem__", "__delitem__",
           "__contains__", "__add__", "__radd__", "__iadd__", "items"]


@fuzzer(initial=st.lists(st.one_of(st.tuples(any_name, wide_values), anything), max_size=8),
        calls=st.lists(st.tuples(st.sampled_from(METHODS), st.lists(anything, max_size=2)),
                       max_size=10))
def any_objects(initial, calls):
    """Wrong types and malformed entries give exceptions, never a crash or a SystemError."""
    headers = Headers(list(initial))
    for method, args in calls:
        result = outcome(lambda: getattr(headers, method)(*args))
        if method == "items" and not isinstance(result, Exception):
            outcome(lambda: list(result))
        if isinstance(result, Headers):
            headers = result
    outcome(lambda: (headers.keys(), list(headers), headers.clone(), repr(headers)))
    for item in headers.values:
        if isinstance(item, tuple) and len(item) == 2:
            outcome(lambda: Header(*item) == Header(*item))
