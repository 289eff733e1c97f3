"""Middleware: code around the application's request handling, the same under ASGI and RSGI.

A middleware is a coroutine function, or an object whose `__call__` is one, taking the request
and the handler that comes next, and returning the response:

    async def timing(request, handler):
        started = time.perf_counter()
        response = await handler(request)        # the next middleware, or the application
        response.add_header(b"server-timing", f"app;dur={...}".encode())
        return response

    app.middlewares.append(timing)
    app.middlewares.append(CORSMiddleware(allow_origins=["https://example.com"]))

The first middleware of `app.middlewares` is the outermost. They are composed when the
application starts (or at its first request, when nothing started it); a change to the list
takes effect at the next start. An exception that escapes a middleware is answered by the
application's exception handlers, as a request handler's is. Each layer costs one call and one
await; an application without middleware calls its `handle` directly.

Shipped: `CORSMiddleware`, `GZipMiddleware`, `StaticFiles`.
"""

from quenmark.middleware.cors import CORSMiddleware
from quenmark.middleware.gzip import GZipMiddleware
from quenmark.middleware.pipeline import Handler, Middleware, compose
from quenmark.middleware.static import StaticFiles

__all__ = ["CORSMiddleware", "GZipMiddleware", "Handler", "Middleware", "StaticFiles", "compose"]
