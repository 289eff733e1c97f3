"""ASGIContent.read where it can go wrong: waits between events, one reader at a time (a read
cancelled or failing while others wait for it), a disconnect part way, the size limits, and
subclasses that replace the pieces the read uses."""

import asyncio
import types

import pytest

from quenmark.contents import ASGIContent
from quenmark.exceptions import ContentTooLarge, InvalidOperation, MessageAborted

WAIT = object()  # in a script: the channel waits for a turn of the loop before its next event
DISCONNECT = {"type": "http.disconnect"}


def body(data, more=False):
    return {"type": "http.request", "body": data, "more_body": more}


class Script:
    """A receive channel playing events, `WAIT`s and exceptions in turn, then waiting until
    `push` gives it more; it records the task of each call."""

    def __init__(self, *steps):
        self.steps = list(steps)
        self.pushed = asyncio.Event()
        self.tasks = []

    async def __call__(self):
        self.tasks.append(asyncio.current_task())
        while True:
            while not self.steps:
                self.pushed.clear()
                await self.pushed.wait()
            step = self.steps.pop(0)
            if step is WAIT:
                await asyncio.sleep(0)
                continue
            if isinstance(step, BaseException):
                raise step
            return step

    def push(self, *steps):
        self.steps.extend(steps)
        self.pushed.set()


@pytest.mark.parametrize(
    "steps, expected",
    [
        ([WAIT, body(b"a", True), WAIT, body(b"b", True), {"type": "x"}, WAIT, body(b"c")], b"abc"),
        ([body(b"a", True), WAIT, body(bytearray(b"bc"), True), body(b"", True), body(b"d")],
         b"abcd"),
        ([types.MappingProxyType(body(b"x" * 70000, True)), WAIT, body(memoryview(b"y" * 5000)),
          ], b"x" * 70000 + b"y" * 5000),
        ([body(b"z" * 100, True)] * 40 + [body(b"")], b"z" * 4000),
    ],
    ids=["waits", "buffers", "mapping", "many"],
)
async def test_a_read_across_waits_gathers_every_event_and_names_its_task_only_then(steps, expected):
    channel = Script(*steps)
    content = ASGIContent(channel)
    reading = asyncio.ensure_future(content.read())
    seen = set()
    while not reading.done():
        seen.add(content._reader)
        await asyncio.sleep(0)
    assert await reading == expected and type(expected) is bytes
    assert content._reader is None and content._received == len(expected)
    waits = WAIT in steps
    assert seen == ({reading, None} if waits else {None}) and set(channel.tasks) == {reading}


@pytest.mark.parametrize("taken_first", [False, True], ids=["nothing taken", "chunk taken"])
@pytest.mark.parametrize("end", ["cancel", "raise", "disconnect"])
async def test_a_read_ended_while_waiting_releases_the_reader_and_those_waiting(end, taken_first):
    channel = Script(*([body(b"a", True)] if taken_first else []), WAIT)
    content = ASGIContent(channel)
    reading = asyncio.ensure_future(content.read())
    await asyncio.sleep(0)
    assert content._reader is reading
    waiting = asyncio.ensure_future(content.read())
    await asyncio.sleep(0)
    if end == "cancel":
        reading.cancel()
    else:
        channel.push(KeyError("gone") if end == "raise" else DISCONNECT)
    raised = {"cancel": asyncio.CancelledError, "raise": KeyError, "disconnect": MessageAborted}
    with pytest.raises(raised[end]):
        await reading
    assert content._reader in (None, waiting)  # the waiter may be reading already
    channel.push(body(b"z"))
    if taken_first:  # part of the body is gone: never handed out truncated
        with pytest.raises(InvalidOperation, match="consumed"):
            await waiting
    else:
        assert await waiting == b"z"
    assert content._reader is None and content._read_done is None


@pytest.mark.parametrize("wait_first", [False, True])
async def test_a_read_from_inside_its_own_receive_is_refused(wait_first):
    refused = []

    async def receive():
        if wait_first:
            await asyncio.sleep(0)
        try:
            await content.read()
        except InvalidOperation as error:
            refused.append(str(error))
        return body(b"ok")

    content = ASGIContent(receive)
    assert await content.read() == b"ok"
    assert refused == ["The request body is being read already"]


@pytest.mark.parametrize(
    "max_size, announced, chunks, refused",
    [
        (10, -1, [b"x" * 6, b"y" * 4], False),
        (10, -1, [b"x" * 6, b"y" * 5], True),
        (2**70, 2**71, [b"x"], True),
        (2**70, 2**69, [b"x", b"y"], False),
        (None, 2**80, [b"x" * 20], False),
    ],
)
async def test_the_limits_hold_for_any_size_of_number(max_size, announced, chunks, refused):
    content = ASGIContent(Script(*[body(c, True) for c in chunks], body(b"")), announced)
    content.max_size = max_size
    if refused:
        with pytest.raises(ContentTooLarge, match=f"larger than {max_size} bytes"):
            await content.read()
        assert content._streamed and content._reader is None
    else:
        assert await content.read() == b"".join(chunks)


class Counting(ASGIContent):
    __slots__ = ("sizes",)

    def _count(self, size):
        self.sizes = getattr(self, "sizes", ()) + (size,)
        if size > 3:
            raise ContentTooLarge("counted")
        super()._count(size)


class Ending(ASGIContent):
    __slots__ = ("ends",)

    def _end_reading(self):
        self.ends = getattr(self, "ends", 0) + 1
        super()._end_reading()


class Kept(ASGIContent):
    """`_data` behind a property, so that the fields go by attribute."""

    __slots__ = ("kept",)

    @property
    def _data(self):
        return self.kept

    @_data.setter
    def _data(self, value):
        self.kept = None if value is None else value.upper()


class Wrapped(ASGIContent):
    __slots__ = ()

    async def read(self):
        return b"<" + await super().read() + b">"


@pytest.mark.parametrize(
    "cls, chunks, outcome, state",
    [
        (Counting, [b"ab", b"c"], b"abc", ("sizes", (2, 1))),
        (Counting, [b"ab", b"cdef"], ContentTooLarge, ("sizes", (2, 4))),
        (Ending, [b"ab", b"c"], b"abc", ("ends", 1)),
        (Ending, [b"a", 5], TypeError, ("ends", 1)),
        (Kept, [b"ab", b"c"], b"abc", ("_data", b"ABC")),
        (Wrapped, [b"ab"], b"<ab>", ("_reader", None)),
    ],
    ids=["_count", "_count refusing", "_end_reading", "_end_reading on failure", "_data property",
         "read over read"],
)
async def test_a_subclass_keeps_its_own_pieces(cls, chunks, outcome, state):
    content = cls(Script(*[body(c, True) for c in chunks], WAIT, body(b"")))
    if isinstance(outcome, type):
        with pytest.raises(outcome):
            await content.read()
    else:
        assert await content.read() == outcome
    assert getattr(content, state[0]) == state[1]
