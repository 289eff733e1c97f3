"""URLs, and the percent-decoding of path values: any bytes as a URL and as arguments of its
methods, and the decodings against the host's."""

from hypothesis import strategies as st

from fuzz import fuzzer, note, outcome, reuse
from quenmark.exceptions import InvalidOperation
from quenmark.url import URL, InvalidURL, build_absolute_url
from tests import test_routing_differential as routing_model
from tests.siblings import test_properties as properties

reuse("url.recompose", properties.test_url_fields_recompose_the_value)
reuse("url.fast_unquote",
      routing_model.test_fast_unquote_is_the_host_unquote_of_the_replaced_decoding,
      val=st.one_of(routing_model.escape_heavy, st.binary(max_size=200)))
reuse("url.route_match_bytes", routing_model.test_route_match_decodes_bytes_strictly_then_unquotes)

PIECES = [b"http:", b"HTTPS:", b"//", b"/", b"?", b"#", b"@", b":", b"[", b"]", b"::1", b"%",
          b"%2F", b".", b"..", b"/../", b"80", b"65536", b"\r\n", b" ", b"\x00", b"\x7f", b"\xff",
          b"a", b"x-y"]
url_bytes = st.lists(st.one_of(st.sampled_from(PIECES), st.binary(max_size=3)), max_size=14)
url_bytes = url_bytes.map(b"".join)
FIELDS = ("schema", "userinfo", "host", "port", "path", "query", "fragment", "is_absolute")


def fields(url):
    return tuple(getattr(url, name) for name in FIELDS)


def forbidden(value):
    return any(c <= 0x20 or c == 0x7F for c in value)


@fuzzer(value=url_bytes, other=url_bytes, host=url_bytes, scheme=url_bytes)
def any_bytes(value, other, host, scheme):
    """A URL of any bytes is parsed or refused with InvalidURL; what is parsed carries no space or
    control byte, recomposes to the same fields, and derives only such URLs."""
    url = outcome(lambda: URL(value), InvalidURL)
    if isinstance(url, InvalidURL):
        note("URL", url)
        return
    assert not forbidden(url.value)
    assert fields(url._replace()) == fields(url), (value, url._replace().value)
    for derived in [lambda: url.join(other), lambda: url.with_host(host),
                    lambda: url.with_scheme(scheme), lambda: url.with_query(other), url.base_url,
                    lambda: build_absolute_url(scheme, host, url.path or b"", other)]:
        result = outcome(derived, (InvalidURL, InvalidOperation))
        if isinstance(result, Exception):
            note("derived URL", result)
        else:
            assert isinstance(result, URL) and not forbidden(result.value), (value, result)
