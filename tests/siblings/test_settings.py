import json

import pytest

from quenmark.settings.encodings import encodings_settings
from quenmark.settings.json import json_settings


@pytest.fixture(autouse=True)
def _restore_settings():
    yield
    json_settings.reset()
    encodings_settings.reset()


def _error(data: bytes) -> UnicodeDecodeError:
    try:
        data.decode("utf-8")
    except UnicodeDecodeError as exc:
        return exc
    raise AssertionError("expected a decoding error")


@pytest.mark.parametrize("data", [b"caf\xe9", bytes(range(256)), bytearray(b"\xff\xfe")])
def test_default_fallback_decodes_every_byte_reversibly(data):
    text = encodings_settings.decode(data, _error(bytes(data) + b"\xff"))
    assert text.encode("iso-8859-1") == bytes(data)


def test_custom_fallback_receives_the_bytes_and_the_error():
    seen = []
    encodings_settings.use(lambda value, error: seen.append((value, error)) or "X")
    error = _error(b"\xff")
    assert encodings_settings.decode(b"\xff", error) == "X"
    assert seen == [(b"\xff", error)]
    with pytest.raises(TypeError):
        encodings_settings.use("not callable")


def test_json_defaults_are_compact_msgspec():
    assert not json_settings.has_custom_loads
    assert json_settings.dumps({"a": [1, "x\ny"]}) == '{"a":[1,"x\\ny"]}'
    assert json_settings.dumps_utf8({"a": "\u00e9\u2028"}) == json_settings.dumps({"a": "\u00e9\u2028"}).encode()
    assert json_settings.loads('{"a": [1, 2]}') == {"a": [1, 2]}
    assert json_settings.loads(b"[true]") == [True]


def test_use_replaces_only_what_is_given_and_reset_restores():
    json_settings.use(loads=json.loads)
    assert json_settings.has_custom_loads
    assert json_settings.dumps([1]) == "[1]"  # dumps untouched
    json_settings.use(dumps=lambda obj: json.dumps(obj, indent=1))
    assert json_settings.dumps([1]) == "[\n 1\n]"
    assert json_settings.dumps_utf8([1]) == b"[\n 1\n]"
    assert json_settings.loads("[1]") == [1]
    json_settings.reset()
    assert not json_settings.has_custom_loads
    assert json_settings.dumps([1]) == "[1]"
    with pytest.raises(TypeError):
        json_settings.use(loads=42)
