"""write_sse: one event in the event-stream wire format."""

import re

import pytest

from quenmark import scribe
from quenmark.contents import ServerSentEvent, TextServerSentEvent
from quenmark.scribe import write_sse


def text_event(data="", **fields):
    return TextServerSentEvent(data, **fields)


def assigned(event, **fields):
    for name, value in fields.items():
        setattr(event, name, value)
    return event


@pytest.mark.parametrize(
    "event, wire",
    [
        (text_event("d"), b"data: d\n\n"),
        (ServerSentEvent(None), b"\n"),
        (ServerSentEvent({"a": [1, 2]}, retry=0), b'data: {"a":[1,2]}\nretry: 0\n\n'),
        # Field order is fixed, whatever order the fields were set in.
        (text_event("d", retry=5, comment="c", event="e", id="i"),
         b"id: i\n: c\nevent: e\ndata: d\nretry: 5\n\n"),
        (text_event("", comment="one\ntwo\n"), b": one\n: two\n: \n\n"),
        (text_event("", id="", event="", comment=""), b"\n"),
        (text_event("\u00e9", id="\u2713"), "id: \u2713\ndata: \u00e9\n\n".encode()),
        # CR LF, LF and a lone CR all end a line for the reader: none may stay in a field.
        (text_event("", id="1\r\n2\n3\r4"), b"id: 1234\n\n"),
        (text_event("d", id="1\rdata: evil", event="a\r\nb"), b"id: 1data: evil\nevent: ab\ndata: d\n\n"),
        (text_event("", comment="a\rb\r\nc\n\rd"), b": a\n: b\n: c\n: \n: d\n\n"),
    ],
)
def test_wire_format(event, wire):
    assert write_sse(event) == wire


def test_a_replaced_line_break_pattern_is_used(monkeypatch):
    monkeypatch.setattr(scribe, "_NEW_LINES_RX", re.compile("\n"))
    assert write_sse(text_event("", id="a\rb\nc", comment="x\ry\nz")) == b"id: a\rbc\n: x\ry\n: z\n\n"


class Rendering(ServerSentEvent):
    __slots__ = ("rendered",)

    def __init__(self, rendered):
        super().__init__("data")
        self.rendered = rendered

    def write_data(self):
        if isinstance(self.rendered, Exception):
            raise self.rendered
        return self.rendered


@pytest.mark.parametrize(
    "event, error",
    [
        (Rendering(None), AttributeError),  # 'NoneType' object has no attribute 'encode'
        (Rendering(KeyError("x")), KeyError),
        (Rendering(b"bytes"), AttributeError),
        (text_event("", id=5), TypeError),
        (text_event("", comment="\ud800"), UnicodeEncodeError),
        (assigned(text_event(), retry="1"), TypeError),
        (None, TypeError),
        ("event", TypeError),
    ],
)
def test_bad_events(event, error):
    with pytest.raises(error):
        write_sse(event)


def test_a_rendering_may_be_text_like():
    class Text:
        def encode(self, encoding):
            return "ü".encode(encoding)

    assert write_sse(Rendering(Text())) == "data: ü\n\n".encode()
