"""The shared coroutine runtime on its own, through the small probe module: one set of types for
every module, registered once; the collector sees every parameter a body may take; generators
under asyncio."""

import abc
import asyncio
import collections.abc
import gc
import weakref

import pytest

from quenmark import _coro_probe as probe
from quenmark.messages import Message


async def value(v):
    await asyncio.sleep(0)
    return v


def test_every_module_shares_one_type_of_each_registered_once():
    body = Message([]).read()
    relayed = probe.relay(None)  # never started: nothing is awaited
    gen = probe.echo([], [], lambda: value(None))
    try:
        assert type(body) is type(relayed)
        assert type(gen).__name__ == "async_generator"
        for cls, native in [(collections.abc.Coroutine, type(relayed)),
                            (collections.abc.AsyncGenerator, type(gen))]:
            # Registered, or found by the class's own test: either way in its registry or cache,
            # and no other type of that name beside it.
            registry, cache, _, _ = abc._get_dump(cls)
            known = [ref() for ref in registry | cache]
            assert issubclass(native, cls)
            assert [t for t in known if t.__module__ == "quenmark"
                    and t.__name__ == native.__name__] == [native]
    finally:
        body.close()
        relayed.close()
        asyncio.run(gen.aclose())


@pytest.mark.parametrize("mode", ["result", "error"])
async def test_relay_under_asyncio(mode):
    if mode == "result":
        assert await probe.relay(value("x")) == "x"
        assert await asyncio.create_task(probe.relay(value(2))) == 2
    else:
        async def failing():
            await asyncio.sleep(0)
            raise LookupError("inner")
        with pytest.raises(LookupError, match="inner") as info:
            await probe.relay(failing())
        assert any(entry.filename == "<native>" and entry.name == "relay"
                   for entry in __import__("traceback").extract_tb(info.tb))


class Holder:
    pass


@pytest.mark.parametrize("position", range(6))
def test_collector_sees_every_parameter(position):
    # A body that has not started holds its parameters in the frame alone: a cycle through any
    # of the six is collectable only if the collector is shown that parameter.
    holder = Holder()
    args = [None] * 6
    args[position] = holder
    holder.coro = probe.six(*args)
    alive = weakref.ref(holder)
    del holder, args
    gc.collect()
    assert alive() is None


async def test_async_generator_protocol_under_asyncio():
    sent = []
    gen = probe.echo([1, 2, 3], sent, lambda: value(None))
    assert await gen.__anext__() == 1
    assert await gen.asend("a") == 2
    with pytest.raises(KeyError):
        await gen.athrow(KeyError("stop"))
    with pytest.raises(StopAsyncIteration):
        await gen.__anext__()
    assert sent == ["a"]
    assert [x async for x in probe.echo([4, 5], sent, lambda: value(None))] == [4, 5]
    assert sent == ["a", None, None]
    closing = probe.echo([6, 7], [], lambda: value(None))
    assert await anext(closing) == 6
    await closing.aclose()
    with pytest.raises(StopAsyncIteration):
        await anext(closing)


def test_arguments_are_checked():
    with pytest.raises(TypeError, match=r"^six\(\) takes exactly 6 positional arguments \(1 given\)$"):
        probe.six(1)
    with pytest.raises(TypeError, match="^Expected list, got tuple$"):
        probe.echo([], (), None)
