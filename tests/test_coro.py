"""The native coroutine and async-generator objects, seen through Message's body methods and
`_call_soon`: the coroutine protocol by hand, under asyncio, and their memory behaviour."""

import asyncio
import collections.abc
import gc
import inspect
import sys
import traceback
import tracemalloc
import types
import warnings
import weakref

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quenmark.contents import Content
from quenmark.messages import Message, Request, _call_soon


@types.coroutine
def suspend(value="tick"):
    """Suspends once, yielding `value` to the driver, and returns what the driver sends."""
    return (yield value)


def tick():
    return asyncio.sleep(0)


class Gate(Content):
    """A content whose read() and stream() suspend once per step at `pause()` (by default a bare
    yield for tests that drive by hand; `tick` under asyncio) and record what they saw."""

    __slots__ = ("seen", "reads", "pause")

    def __init__(self, data=b"body", pause=suspend):
        super().__init__(b"application/json", data)
        self.seen = []
        self.reads = 0
        self.pause = pause

    async def read(self):
        self.reads += 1
        try:
            sent = await self.pause()
        except BaseException as exc:
            self.seen.append(type(exc))
            if isinstance(exc, LookupError):
                return b"recovered"
            raise
        return self.body if sent is None else sent

    async def stream(self):
        for part in (b"a", b"b", b"c"):
            try:
                await self.pause()
            except BaseException as exc:
                self.seen.append(type(exc))
                raise
            yield part


class Failing(Content):
    __slots__ = ()

    async def read(self):
        await asyncio.sleep(0)
        deep_failure()


class FailsAtOnce(Content):
    __slots__ = ()

    async def read(self):
        deep_failure()


def deep_failure():
    raise KeyError("from the content")


def message(content=None):
    m = Message([(b"content-type", b"application/json")])
    m.content = content
    return m


# ---- the objects ------------------------------------------------------------------------


def test_coroutine_object_looks_like_a_coroutine():
    c = message().read()
    try:
        assert isinstance(c, collections.abc.Coroutine)
        assert isinstance(c, collections.abc.Awaitable)
        assert asyncio.iscoroutine(c)
        assert not inspect.iscoroutine(c)  # the exact-type check, as expected
        assert c.__await__() is c and iter(c) is c
        assert c.__qualname__ == "Message.read" and c.__name__ == "read"
        assert "Message.read" in repr(c)
        assert c.cr_await is None and c.cr_running is False
        assert type(c).__name__ == "coroutine"
    finally:
        c.close()


def test_stream_object_looks_like_an_async_generator():
    g = message().stream()
    assert isinstance(g, collections.abc.AsyncGenerator)
    assert g.__aiter__() is g
    assert g.__qualname__ == "Message.stream"
    assert g.ag_running is False


@pytest.mark.parametrize("factory", [Message.read, Message.text, Message.json, Message.read_raw])
def test_types_are_not_constructible_or_subclassable(factory):
    c = factory(message())
    c.close()
    with pytest.raises(TypeError):
        type(c)()
    with pytest.raises(TypeError):
        type("Sub", (type(c),), {})


# ---- driving a coroutine by hand ------------------------------------------------------------


# A tuple or an exception is the result as it is, as StopIteration(value) holds it.
@pytest.mark.parametrize("sent", [b"sent", (1, 2), ValueError("a result")])
def test_send_delegates_to_the_awaited_object_and_returns_through_stopiteration(sent):
    gate = Gate()
    c = message(gate).read()
    assert c.send(None) == "tick"  # the inner awaitable's yield passes through
    assert c.cr_await is not None
    with pytest.raises(StopIteration) as info:
        c.send(sent)
    stop = info.value
    assert (stop.value, stop.args, stop.__context__, stop.__cause__) == (sent, (sent,), None, None)
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        c.send(None)


def test_a_just_started_coroutine_refuses_a_value():
    c = message(Gate()).read()
    with pytest.raises(TypeError, match="just-started coroutine"):
        c.send(1)
    c.close()


def test_reentrant_send_is_refused():
    class Reentrant(Content):
        __slots__ = ("outer",)

        async def read(self):
            self.outer.send(None)

    content = Reentrant(None, b"x")
    c = message(content).read()
    content.outer = c
    with pytest.raises(ValueError, match="coroutine already executing"):
        c.send(None)


@pytest.mark.parametrize("legacy", [False, True])
def test_throw_goes_to_the_awaited_object_first(legacy):
    gate = Gate()
    c = message(gate).read()
    c.send(None)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with pytest.raises(ValueError, match="boom"):
            if legacy:
                c.throw(ValueError, ValueError("boom"), None)
            else:
                c.throw(ValueError("boom"))
    assert gate.seen == [ValueError]


def test_legacy_throw_warns():
    c = message(Gate()).read()
    c.send(None)
    with pytest.warns(DeprecationWarning, match="signature of throw"):
        with pytest.raises(ValueError):
            c.throw(ValueError, "x")


def test_an_exception_the_awaited_object_handles_resumes_the_coroutine():
    gate = Gate()
    c = message(gate).read()
    c.send(None)
    with pytest.raises(StopIteration) as info:
        c.throw(LookupError())
    assert info.value.value == b"recovered"


def test_throw_into_an_unstarted_coroutine_never_runs_the_body():
    gate = Gate()
    c = message(gate).read()
    with pytest.raises(ZeroDivisionError):
        c.throw(ZeroDivisionError())
    assert gate.reads == 0
    with pytest.raises(RuntimeError, match="cannot reuse"):
        c.throw(ZeroDivisionError())


@pytest.mark.parametrize(
    "args, error",
    [((1,), "exceptions must be classes or instances"), ((), "throw expected at least 1")],
)
def test_throw_with_bad_arguments(args, error):
    c = message(Gate()).read()
    with pytest.raises(TypeError, match=error):
        c.throw(*args)
    c.close()


def test_close_closes_the_awaited_object_and_is_idempotent():
    gate = Gate()
    c = message(gate).read()
    c.send(None)
    assert c.close() is None
    assert gate.seen == [GeneratorExit]
    assert c.close() is None
    with pytest.raises(RuntimeError, match="cannot reuse"):
        c.send(None)


# ---- under asyncio --------------------------------------------------------------------------


async def test_create_task_runs_a_native_coroutine():
    m = message(Content(b"application/json", b'{"a": 1}'))
    assert await asyncio.create_task(m.json()) == {"a": 1}
    assert await asyncio.gather(m.read(), m.text()) == [b'{"a": 1}', '{"a": 1}']


async def test_cancellation_reaches_the_awaited_object():
    class Slow(Content):
        __slots__ = ("cancelled",)

        async def read(self):
            try:
                await asyncio.sleep(10)
            except asyncio.CancelledError:
                self.cancelled = True
                raise

    content = Slow(None, b"")
    task = asyncio.create_task(message(content).read())
    await asyncio.sleep(0)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert content.cancelled


class StopsStream(Content):
    """A content whose stream's __anext__ raises StopIteration itself."""

    __slots__ = ()

    def stream(self):
        return self

    def __aiter__(self):
        return self

    def __anext__(self):
        raise StopIteration("escaped")


def _loads_raising_stop(text):
    raise StopIteration("escaped")


@pytest.mark.parametrize(
    "run, message_text",
    [
        (lambda: message(Content(None, b"{}")).json(_loads_raising_stop),
         "coroutine raised StopIteration"),
        (lambda: anext(message(StopsStream(None, b"")).stream()),
         "async generator raised StopIteration"),
    ],
    ids=["coroutine", "async generator"],
)
async def test_a_stop_iteration_leaving_a_body_becomes_runtime_error(run, message_text):
    # As with async def: a StopIteration must not pass for the end of the await above.
    with pytest.raises(RuntimeError, match=f"^{message_text}$") as info:
        await run()
    assert isinstance(info.value.__cause__, StopIteration)


async def test_exception_traceback_keeps_the_raising_frames():
    with pytest.raises(KeyError) as info:
        await message(Failing(None, b"")).read()
    frames = traceback.extract_tb(info.value.__traceback__)
    # The native body shows where a Python coroutine's frame would, between caller and callee.
    assert [frame.name for frame in frames[-3:]] == ["Message.read", "read", "deep_failure"]
    assert frames[-3].filename == "<native>"


async def test_asyncio_introspection_sees_the_native_frame():
    release = asyncio.Event()

    class Waits(Content):
        __slots__ = ()

        async def read(self):
            await release.wait()
            return b"x"

    task = asyncio.create_task(message(Waits(None, b"")).read())
    await asyncio.sleep(0)
    assert "coro=<Message.read() running at <native>:1>" in repr(task)
    assert [frame.f_code.co_qualname for frame in task.get_stack()] == ["Message.read"]
    graph = asyncio.format_call_graph(task)
    assert "File '<native>', line 1, in Message.read()" in graph
    assert graph.index("Waits.read") < graph.index("Message.read")
    release.set()
    assert await task == b"x"
    c = message().read()
    assert c.cr_code.co_filename == "<native>" and c.cr_frame.f_code is c.cr_code
    c.close()
    assert c.cr_frame is None


async def test_stream_protocol_under_asyncio():
    gate = Gate(pause=tick)
    m = message(gate)
    assert [chunk async for chunk in m.stream()] == [b"a", b"b", b"c"]

    g = m.stream()
    assert await g.__anext__() == b"a"
    assert await g.asend("ignored") == b"b"
    with pytest.raises(ValueError):
        await g.athrow(ValueError("x"))
    assert gate.seen == []  # raised where the generator yields, as in `async for ...: yield`
    with pytest.raises(StopAsyncIteration):
        await anext(g)
    assert await g.aclose() is None


async def test_stream_aclose_ends_the_generator():
    gate = Gate(pause=tick)
    g = message(gate).stream()
    assert await anext(g) == b"a"
    await g.aclose()
    with pytest.raises(StopAsyncIteration):
        await anext(g)


def test_stream_refuses_a_second_concurrent_step_and_a_reused_step():
    g = message(Gate()).stream()
    step = g.__anext__()
    assert step.send(None) == "tick"  # suspended inside the content's stream
    assert g.ag_running is True
    with pytest.raises(RuntimeError, match="anext\\(\\): asynchronous generator is already running"):
        g.__anext__().send(None)
    with pytest.raises(StopIteration) as info:
        step.send(None)
    assert info.value.value == b"a"
    with pytest.raises(RuntimeError, match="cannot reuse already awaited __anext__"):
        step.send(None)
    step = g.aclose()
    with pytest.raises(StopIteration):
        step.send(None)


def test_abandoned_stream_is_finalized_by_asyncio():
    gate = Gate(pause=tick)

    async def main():
        g = message(gate).stream()
        assert await anext(g) == b"a"
        return weakref.ref(g)

    ref = asyncio.run(main())  # shutdown_asyncgens closes what is still suspended
    gc.collect()
    assert ref() is None


# ---- _call_soon -----------------------------------------------------------------------------


async def test_call_soon_returns_the_result_of_a_coroutine_that_never_suspends():
    async def quick():
        return 42

    assert await _call_soon(quick()) == 42
    assert await _call_soon(message(Content(None, b"x")).read()) == b"x"


async def test_call_soon_cancels_a_coroutine_at_its_first_suspension():
    seen = []

    async def slow():
        try:
            await asyncio.sleep(10)
        except asyncio.CancelledError:
            seen.append("cancelled")
            raise

    assert await _call_soon(slow()) is None
    assert seen == ["cancelled"]


async def test_call_soon_propagates_errors_and_swallows_its_own_cancellation():
    with pytest.raises(KeyError):
        await _call_soon(message(FailsAtOnce(None, b"")).read())

    async def outer():
        return await _call_soon(asyncio.sleep(10, "late"))

    task = asyncio.create_task(outer())
    await asyncio.sleep(0)
    task.cancel()
    assert await task is None


async def test_call_soon_with_something_that_is_not_a_coroutine():
    with pytest.raises(TypeError):
        await _call_soon(5)


# ---- memory ---------------------------------------------------------------------------------


def test_never_awaited_coroutines_free_everything_without_warnings():
    gate = Gate()
    m = message(gate)
    ref = weakref.ref(m)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for method in (m.read, m.read_raw, m.read_detached, m.text, m.json, m.stream):
            method()
        del m, method
        gc.collect()
    assert ref() is None
    assert gate.reads == 0


def test_cycle_through_a_coroutine_is_collected():
    # The coroutine holds its message; the message holds the coroutine.
    m = Request("GET", b"/", [])
    m.context = {"pending": m.read()}
    ref = weakref.ref(m)
    del m
    gc.collect()
    assert ref() is None


def test_cycle_through_a_suspended_coroutine_is_collected():
    gate = Gate()
    m = message(gate)
    c = m.read()
    c.send(None)
    m.context = {"pending": c}
    ref = weakref.ref(m)
    del m, c
    gc.collect()
    assert ref() is None
    assert gate.seen == [GeneratorExit]  # finalized as a suspended coroutine is


async def _every_operation(json_message, gate_content, failing_content):
    await json_message.json()
    await json_message.text()
    await json_message.read_detached()
    assert [c async for c in json_message.stream()]
    c = message(gate_content).read()
    c.send(None)
    c.close()
    c = message(gate_content).text()
    c.send(None)
    try:
        c.throw(ValueError("x"))
    except ValueError:
        pass
    message(gate_content).json().close()
    g = message(gate_content).stream()
    await anext(g)
    await g.aclose()
    try:
        await message(failing_content).text()
    except KeyError:
        pass
    try:
        await message(Content(b"application/json", b"{")).json()
    except Exception:
        pass
    await _call_soon(message(gate_content).read())


async def test_repeated_use_does_not_leak():
    json_message = message(Content(b"application/json", b'{"a": [1, 2]}'))
    gate, failing = Gate(pause=tick), Failing(None, b"")
    for _ in range(200):
        await _every_operation(json_message, gate, failing)
    gate.seen.clear()
    gc.collect()
    refs = [sys.getrefcount(o) for o in (json_message, gate, failing, None)]
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(2000):
            await _every_operation(json_message, gate, failing)
            gate.seen.clear()
        gc.collect()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert after - before < 64 * 1024
    assert [sys.getrefcount(o) for o in (json_message, gate, failing)] == refs[:3]


def test_a_step_dropped_half_way_does_not_block_the_generator():
    g = message(Gate()).stream()
    step = g.__anext__()
    assert step.send(None) == "tick"
    del step
    step = g.__anext__()
    with pytest.raises(StopIteration) as info:
        step.send(None)  # the content's stream resumes where it was
    assert info.value.value == b"a"


class Returns(Content):
    """A content whose read() returns `value` itself (not a coroutine) for the message to await."""

    __slots__ = ("value",)

    def __init__(self, value):
        super().__init__(None, b"")
        self.value = value

    def read(self):
        return self.value


class AwaitsIterator:
    def __init__(self, iterator):
        self.iterator = iterator

    def __await__(self):
        return self.iterator


class Suspends:
    def __await__(self):
        yield "tick"
        return b"done"


@pytest.mark.parametrize(
    "value, error",
    [
        (5, "'int' object can't be awaited"),
        (AwaitsIterator(5), "__await__\\(\\) returned non-iterator of type 'int'"),
    ],
)
async def test_awaiting_something_that_is_not_awaitable(value, error):
    with pytest.raises(TypeError, match=error):
        await message(Returns(value)).read()


async def test_awaiting_a_plain_iterator_and_a_custom_awaitable():
    def generator():
        yield
        return b"gen"

    assert await message(Returns(types.coroutine(generator)())).read() == b"gen"
    c = message(Returns(Suspends())).read()
    assert c.send(None) == "tick"
    with pytest.raises(StopIteration) as info:
        c.send(None)
    assert info.value.value == b"done"


@pytest.mark.parametrize("body", [Message.read, lambda m: ref_read(m)], ids=["native", "python"])
@pytest.mark.parametrize(
    "thrown, outcome",
    [
        (ValueError("direct"), ("raise", ValueError)),
        # Landing on the await itself, a StopIteration is the await's result, not an escape.
        (StopIteration("value"), ("stop", "value")),
        (StopIteration(), ("stop", None)),
    ],
)
def test_throw_into_an_awaited_iterator_without_throw_reaches_the_await(body, thrown, outcome):
    c = body(message(Returns(AwaitsIterator(iter(["tick", "tock"])))))
    assert c.send(None) == "tick"
    try:
        c.throw(thrown)
    except StopIteration as stop:
        assert outcome == ("stop", stop.value)
    except Exception as exc:
        assert outcome == ("raise", type(exc))
    else:
        raise AssertionError("the coroutine went on")
    with pytest.raises(RuntimeError, match="cannot reuse"):
        c.send(None)


# ---- against Python's own coroutines and async generators ---------------------------------
# The same body written as `async def` / an async generator, driven by the same random sequence
# of send/throw/close (and asend/athrow/aclose) calls, must give the same results and the same
# effects on the content.

async def ref_read(m):
    content = m.content
    if content:
        return await content.read()
    return None


async def ref_stream(m):
    content = m.content
    if not content:
        yield None
        return
    async for chunk in content.stream():
        yield chunk


THROWN = {"value": ValueError, "lookup": LookupError, "exit": GeneratorExit, "stop": StopIteration}


def outcome(call, *args):
    try:
        return ("value", call(*args))
    except StopIteration as stop:
        return ("stop", stop.value)
    except StopAsyncIteration:
        return ("stop async",)
    except BaseException as exc:
        return ("raise", type(exc).__name__, str(exc))


SENT = st.sampled_from([None, b"v"])
THROWS = st.sampled_from(sorted(THROWN))
STEP_OPS = [st.tuples(st.just("send"), SENT), st.tuples(st.just("throw"), THROWS),
            st.tuples(st.just("close"))]


def drive_by_ops(target, op):
    kind = op[0]
    if kind == "send":
        return outcome(target.send, op[1])
    if kind == "throw":
        return outcome(target.throw, THROWN[op[1]]("x"))
    return outcome(target.close)


def run_coroutine(coro, ops):
    results = [drive_by_ops(coro, op) for op in ops]
    coro.close()
    return results


def run_generator(gen, ops):
    starts = {
        "anext": lambda op: gen.__anext__(),
        "asend": lambda op: gen.asend(op[1]),
        "athrow": lambda op: gen.athrow(THROWN[op[1]]("x")),
        "aclose": lambda op: gen.aclose(),
    }
    results, steps = [], []  # steps stay alive: CPython never releases a dropped one
    for op in ops:
        if op[0] in starts:
            steps.append(starts[op[0]](op))
            results.append(("new step",))
        elif steps:
            results.append(drive_by_ops(steps[-1], op))
    for step in steps:
        outcome(step.close)  # an unawaited step would warn when it dies
    return results


@settings(max_examples=300, deadline=None, suppress_health_check=list(HealthCheck))
@given(st.lists(st.one_of(*STEP_OPS), max_size=6), st.booleans())
def test_read_behaves_like_async_def(ops, has_content):
    native, reference = Gate(), Gate()
    results = run_coroutine(message(native if has_content else None).read(), ops)
    expected = run_coroutine(ref_read(message(reference if has_content else None)), ops)
    assert results == expected
    assert native.seen == reference.seen


class Steps:
    """A bare iterator to await: yields two steps, then returns what was sent last. With
    `throws` it has a throw() too, which takes a LookupError as the end of the iteration."""

    def __init__(self, throws):
        self.steps, self.log = ["one", "two"], []
        if throws:
            self.throw = self._throw

    def __iter__(self):
        return self

    def __next__(self):
        return self.send(None)

    def send(self, value):
        self.log.append(("send", value))
        if not self.steps:
            raise StopIteration(value)
        return self.steps.pop(0)

    def _throw(self, exc):
        self.log.append(("throw", type(exc).__name__))
        if isinstance(exc, LookupError):
            raise StopIteration("handled")
        raise exc


@settings(max_examples=300, deadline=None, suppress_health_check=list(HealthCheck))
@given(st.lists(st.one_of(*STEP_OPS), max_size=6), st.booleans())
def test_read_awaiting_a_bare_iterator_behaves_like_async_def(ops, throws):
    native, reference = Steps(throws), Steps(throws)
    results = run_coroutine(message(Returns(AwaitsIterator(native))).read(), ops)
    expected = run_coroutine(ref_read(message(Returns(AwaitsIterator(reference)))), ops)
    assert results == expected
    assert native.log == reference.log


GENERATOR_OPS = STEP_OPS + [
    st.tuples(st.just("anext")),
    st.tuples(st.just("asend"), SENT),
    st.tuples(st.just("athrow"), THROWS),
    st.tuples(st.just("aclose")),
]


@settings(max_examples=500, deadline=None, suppress_health_check=list(HealthCheck))
@given(st.lists(st.one_of(*GENERATOR_OPS), max_size=8), st.booleans())
def test_stream_behaves_like_an_async_generator(ops, has_content):
    native, reference = Gate(), Gate()
    results = run_generator(message(native if has_content else None).stream(), ops)
    expected = run_generator(ref_stream(message(reference if has_content else None)), ops)
    assert results == expected
    assert native.seen == reference.seen


async def ref_call_soon(coro):
    task = asyncio.create_task(coro)
    asyncio.get_event_loop().call_soon(task.cancel)
    try:
        return await task
    except asyncio.CancelledError:
        return None


async def returns_at_once():
    return "result"


async def raises_at_once():
    raise KeyError("k")


async def suspends_then_returns():
    await asyncio.sleep(0)
    return "late"


async def survives_cancellation():
    try:
        await asyncio.sleep(1)
    except asyncio.CancelledError:
        return "survived"


async def fails_on_cancellation():
    try:
        await asyncio.sleep(1)
    except asyncio.CancelledError:
        raise ValueError("while cancelled")


@pytest.mark.parametrize(
    "inner",
    [returns_at_once, raises_at_once, suspends_then_returns, survives_cancellation,
     fails_on_cancellation],
)
@pytest.mark.parametrize("cancel_outer", [False, True])
async def test_call_soon_behaves_like_its_python_equivalent(inner, cancel_outer):
    async def run(call_soon):
        task = asyncio.create_task(call_soon(inner()))
        if cancel_outer:
            await asyncio.sleep(0)
            task.cancel()
        try:
            return ("value", await task)
        except BaseException as exc:
            return ("raise", type(exc).__name__, str(exc))

    assert await run(_call_soon) == await run(ref_call_soon)
