"""The client's side of an exchange: noticing that it went away, and stopping what serves it.

A streamed response (a stream, server-sent events) may go on for as long as its generator
yields, and servers do not all stop it when the client leaves: some drop what is sent after
the disconnect without a word, so an endless stream would run on for nobody. `write_watched`
writes such a body while a watcher waits for the client to leave; when it does, the writing task
is cancelled where it waits (inside the generator, mostly) and the generator is closed at once.
A server's shutdown stops the streams the same way (`stop_streams`), so that it does not wait
on them.

How the client's leaving shows depends on the channel the request came through:
- an ASGI request with a body: its `ASGIContent` (`wait_disconnected`), which keeps a body that
  nobody had read;
- an ASGI request without a body: its `receive` callable, kept on the request (`_receive`);
- an RSGI request: its protocol's `client_disconnect()`, through its `RSGIContent` or, for a
  request without a body, through its scope under `RSGI_PROTOCOL`.

`disconnect_probe` is what `Request.is_disconnected()` awaits for the same channels.
"""

from __future__ import annotations

import asyncio
import logging
import signal
import threading
from collections.abc import Awaitable, Callable, Coroutine
from typing import Any

from quenmark.exceptions import MessageAborted

__all__ = [
    "RSGI_PROTOCOL",
    "disconnect_probe",
    "install_shutdown_signals",
    "stop_streams",
    "uninstall_shutdown_signals",
    "wait_disconnected",
    "write_watched",
]

logger = logging.getLogger("quenmark.server")

# The key under which an RSGI request's scope answers its protocol (one with a body keeps the
# protocol in its content).
RSGI_PROTOCOL = "quenmark.protocol"

# How long a shutdown waits for the streams it stopped to end.
STOP_TIMEOUT = 5.0

_NOT_BOUND = (
    "This method is only supported when a request is bound to an instance of ASGIContent and to "
    "an ASGI request/response cycle."
)


def _channel_wait(request: Any) -> Coroutine[Any, Any, None] | None:
    """A coroutine returning once the request's client has gone, or None when the request came
    through no server channel."""
    wait = getattr(request.content, "wait_disconnected", None)
    if wait is not None:
        return wait()  # type: ignore[no-any-return]
    receive = request._receive
    if receive is not None:
        return _receive_until_disconnect(receive)
    scope = request.scope
    if isinstance(scope, dict):
        return None
    protocol = scope.get(RSGI_PROTOCOL) if hasattr(scope, "get") else None
    return None if protocol is None else rsgi_wait_disconnected(protocol)


async def rsgi_wait_disconnected(protocol: Any) -> None:
    """Returns once the RSGI protocol's client has gone away (`client_disconnect()`); never, with
    a protocol that cannot tell."""
    wait = getattr(protocol, "client_disconnect", None)
    if wait is None:
        await asyncio.get_running_loop().create_future()
    else:
        await wait()


async def _receive_until_disconnect(receive: Callable[[], Awaitable[dict[str, Any]]]) -> None:
    while (await receive()).get("type") != "http.disconnect":
        pass


async def wait_disconnected(request: Any) -> None:
    """Returns once the request's client has gone away; raises TypeError for a request that came
    through no server."""
    wait = _channel_wait(request)
    if wait is None:
        raise TypeError(_NOT_BOUND)
    await wait


def disconnect_probe(request: Any) -> Coroutine[Any, Any, None]:
    """The coroutine behind `Request.is_disconnected()`, run until its first wait: it raises
    `MessageAborted` when the client has gone. TypeError at once for a request that came through
    no server."""
    wait = _channel_wait(request)
    if wait is None:
        raise TypeError(_NOT_BOUND)
    return _probe(wait)


async def _probe(wait: Coroutine[Any, Any, None]) -> None:
    await wait
    raise MessageAborted()


# -- streams -----------------------------------------------------------------------------------


class _Stop:
    """Stops one writing task, once, and remembers why."""

    __slots__ = ("task", "reason")

    def __init__(self, task: asyncio.Task[Any]) -> None:
        self.task = task
        self.reason: str | None = None

    def __call__(self, reason: str) -> None:
        if self.reason is None and not self.task.done():
            self.reason = reason
            self.task.cancel(f"quenmark: {reason}")

    def on_disconnect(self, watch: asyncio.Future[None]) -> None:
        if not watch.cancelled() and watch.exception() is None:
            self("client disconnected")


# The streams being written, for the shutdown; per thread, as event loops are.
_active = threading.local()


def _streams() -> set[_Stop]:
    streams: set[_Stop] | None = getattr(_active, "streams", None)
    if streams is None:
        streams = _active.streams = set()
    return streams


async def write_watched(writing: Awaitable[Any], request: Any) -> None:
    """Awaits `writing`, the coroutine that writes a streamed body for `request`, and stops it
    when the client goes away or the server shuts down: the task is cancelled where it waits,
    the stream's generator is closed, and this returns without error (what the writing raised
    once the client had gone, a refused send, is dropped with it)."""
    task = asyncio.current_task()
    wait = _channel_wait(request) if task is not None else None
    if wait is None or task is None:
        await writing
        return
    stop = _Stop(task)
    watch = asyncio.ensure_future(wait)
    watch.add_done_callback(stop.on_disconnect)
    streams = _streams()
    streams.add(stop)
    try:
        await writing
    except asyncio.CancelledError:
        if stop.reason is None or task.uncancel() > 0:
            raise
    except Exception:
        if stop.reason is not None:
            # Stopped, and the stream's cleanup raised on its way out.
            if task.uncancel() > 0:
                raise
        else:
            # A send may fail (the transport is closed) just before the watcher sees the
            # disconnect behind it: one turn of the loop tells.
            watch.remove_done_callback(stop.on_disconnect)
            await asyncio.sleep(0)
            if not watch.done() or watch.cancelled() or watch.exception() is not None:
                raise
    finally:
        streams.discard(stop)
        watch.remove_done_callback(stop.on_disconnect)
        watch.cancel()


async def stop_streams(timeout: float = STOP_TIMEOUT) -> None:
    """Stops every stream being written on this thread's event loop and waits, `timeout` seconds
    at most, until their tasks have ended."""
    stops = list(_streams())
    for stop in stops:
        stop("server shutting down")
    tasks = {stop.task for stop in stops if not stop.task.done()}
    if tasks:
        await asyncio.wait(tasks, timeout=timeout)


# -- the server's shutdown -----------------------------------------------------------------------

# Some servers wait for open responses before they tell the application that they shut down (an
# ASGI server sends lifespan.shutdown after its connections are closed): streams are stopped on
# the shutdown signal itself, chained before the server's own handler.
_SIGNALS = tuple(s for s in (getattr(signal, "SIGINT", None), getattr(signal, "SIGTERM", None)) if s)
_chained: dict[int, Any] = {}


def install_shutdown_signals(loop: asyncio.AbstractEventLoop) -> None:
    """Chains a handler that stops the streams of `loop` before the handler the server set for
    SIGINT and SIGTERM. Only in the main thread, and only over a handler written in Python: a
    default or ignored signal is left as it is."""
    if threading.current_thread() is not threading.main_thread():
        return
    for signum in _SIGNALS:
        previous = signal.getsignal(signum)
        if signum in _chained or not callable(previous):
            continue

        def handler(signum: int, frame: Any, previous: Any = previous) -> None:
            if not loop.is_closed():
                loop.call_soon_threadsafe(_stop_soon)
            previous(signum, frame)

        _chained[signum] = (handler, previous)
        signal.signal(signum, handler)


def uninstall_shutdown_signals() -> None:
    """Puts the server's handlers back where ours still stand in front of them."""
    if threading.current_thread() is not threading.main_thread():
        return
    for signum, (handler, previous) in list(_chained.items()):
        if signal.getsignal(signum) is handler:
            signal.signal(signum, previous)
        del _chained[signum]


def _stop_soon() -> None:
    task = asyncio.ensure_future(stop_streams())
    task.add_done_callback(_log_failure)


def _log_failure(task: asyncio.Future[None]) -> None:
    if not task.cancelled() and task.exception() is not None:
        logger.error("Could not stop the open streams", exc_info=task.exception())
