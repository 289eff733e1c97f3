"""What the benchmarks share to run coroutines without an event loop: `drive` and an ASGI
channel whose `receive` gives an empty request and whose `send` keeps nothing."""


def drive(coro):
    """Runs a coroutine that never suspends and returns its result."""
    try:
        coro.send(None)
    except StopIteration as done:
        return done.value
    raise RuntimeError("the benchmark's coroutine suspended")


async def noop_receive():
    return {"type": "http.request", "body": b"", "more_body": False}


async def noop_send(message):
    pass
