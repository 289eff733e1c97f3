"""The awaitable methods of Request and Response: the disconnect probe and raise_for_status."""

import asyncio

import pytest

from quenmark.contents import ASGIContent, Content, TextContent
from quenmark.exceptions import FailedRequestError
from quenmark.messages import Request, Response



def channel(*events, then_wait=True):
    """An ASGI receive callable that hands out `events` and then waits forever."""
    queue = list(events)

    async def receive():
        if queue:
            return queue.pop(0)
        if then_wait:
            await asyncio.Event().wait()
        return {"type": "http.disconnect"}

    return receive


def request_with(receive):
    r = Request("GET", b"/", [])
    r.content = ASGIContent(receive)
    return r


async def test_connected_client():
    r = request_with(channel({"type": "http.request", "body": b"x", "more_body": True}))
    assert await r.is_disconnected() is False
    assert r._is_disconnected is False


async def test_disconnect_is_remembered():
    calls = []

    async def receive():
        calls.append(1)
        return {"type": "http.disconnect"}

    r = request_with(receive)
    assert await r.is_disconnected() is True
    before = len(calls)
    assert await r.is_disconnected() is True
    assert len(calls) == before


@pytest.mark.parametrize("content", [None, Content(b"text/plain", b"x")])
async def test_probe_needs_asgi_content(content):
    r = Request("GET", b"/", [])
    r.content = content
    coro = r.is_disconnected()  # nothing runs before it is awaited
    with pytest.raises(TypeError, match="^This method is only supported when a request is bound"):
        await coro


async def test_other_errors_propagate():
    async def receive():
        raise ConnectionResetError("gone")

    with pytest.raises(ConnectionResetError):
        await request_with(receive).is_disconnected()


async def test_probe_in_a_task():
    r = request_with(channel())
    assert await asyncio.create_task(r.is_disconnected()) is False


@pytest.mark.parametrize("status", [200, 204, 299])
async def test_raise_for_status_success_reads_nothing(status):
    class Unreadable(Response):
        async def text(self):
            raise AssertionError("read")

    assert await Unreadable(status).raise_for_status() is None


@pytest.mark.parametrize("status", [199, 300, 404, 500])
async def test_raise_for_status_failure_carries_status_and_text(status):
    r = Response(status, None, TextContent("details"))
    with pytest.raises(FailedRequestError) as info:
        await r.raise_for_status()
    assert (info.value.status, info.value.data) == (status, "details")


async def test_raise_for_status_text_errors_propagate():
    class Broken(Response):
        async def text(self):
            raise KeyError("read failed")

    with pytest.raises(KeyError):
        await Broken(500).raise_for_status()


async def test_raise_for_status_uses_the_status_taken_before_reading():
    class Changing(Response):
        async def text(self):
            self.status = 200
            return "t"

    with pytest.raises(FailedRequestError) as info:
        await Changing(503).raise_for_status()
    assert info.value.status == 503


def test_raise_for_status_is_a_coroutine():
    import inspect

    coro = Response(500).raise_for_status()
    assert inspect.isawaitable(coro)
    coro.close()
