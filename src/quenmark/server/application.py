"""The application: routes requests to handlers and maps failures to error responses."""

from __future__ import annotations

import logging
from collections.abc import Awaitable, Callable
from typing import Any

from quenmark.contents import TextContent
from quenmark.exceptions import HTTPException
from quenmark.messages import Request, Response
from quenmark.server import asgi, rsgi
from quenmark.server.pools import recycle
from quenmark.server.routing import Router
from quenmark.utils import get_class_instance_hierarchy

__all__ = ["Application"]

logger = logging.getLogger("quenmark.server")

ExceptionHandler = Callable[[Any, Request, BaseException], Awaitable[Response]]
Hook = Callable[["Application"], Awaitable[None]]


class Application:
    """An ASGI and RSGI application.

    Handlers are `async def handler(request) -> Response | None`; route parameters are in
    `request.route_values`. Exception handlers are registered by exception class or by HTTP
    status and are `async def handler(app, request, exc) -> Response`.
    """

    def __init__(self, router: Router | None = None, show_error_details: bool = False) -> None:
        self.router = router if router is not None else Router()
        self.show_error_details = show_error_details
        self.exceptions_handlers: dict[type[BaseException] | int, ExceptionHandler] = {}
        self.on_start: list[Hook] = []
        self.on_stop: list[Hook] = []
        self.started = False

    def exception_handler(self, key: type[BaseException] | int) -> Callable[[ExceptionHandler], ExceptionHandler]:
        def decorator(handler: ExceptionHandler) -> ExceptionHandler:
            self.exceptions_handlers[key] = handler
            return handler

        return decorator

    async def handle(self, request: Request) -> Response:
        match = self.router.get_match(request)
        if not match:
            return Response(404)
        request.route_values = match.values
        try:
            response = await match.handler(request)
        except Exception as exc:  # noqa: BLE001 - every failure becomes a response
            response = await self.handle_exception(request, exc)
        return Response(204) if response is None else response

    def _find_handler(self, exc: BaseException) -> ExceptionHandler | None:
        handlers = self.exceptions_handlers
        if not handlers:
            return None
        for cls in get_class_instance_hierarchy(exc):
            handler = handlers.get(cls)
            if handler is not None:
                return handler
            if cls is HTTPException:
                handler = handlers.get(exc.status)  # type: ignore[attr-defined]
                if handler is not None:
                    return handler
        return None

    async def handle_exception(self, request: Request, exc: Exception) -> Response:
        handler = self._find_handler(exc)
        if handler is not None:
            try:
                return await handler(self, request, exc)
            except Exception as failure:  # noqa: BLE001
                logger.error("Exception handler %r failed", handler, exc_info=failure)
                return self._internal_error(failure)
        if isinstance(exc, HTTPException):
            logger.info("%s %r -> %d %s", request.method, request._path, exc.status, exc)
            return Response(exc.status, None, TextContent(str(exc)))
        logger.error("Unhandled exception in %s %r", request.method, request._path, exc_info=exc)
        return self._internal_error(exc)

    def _internal_error(self, exc: BaseException) -> Response:
        text = f"Internal server error: {exc!r}" if self.show_error_details else "Internal server error."
        return Response(500, None, TextContent(text))

    async def start(self) -> None:
        if not self.started:
            self.started = True
            for hook in self.on_start:
                await hook(self)

    async def stop(self) -> None:
        if self.started:
            self.started = False
            for hook in self.on_stop:
                await hook(self)

    async def __call__(self, scope: dict, receive: Callable, send: Callable) -> None:
        kind = scope["type"]
        if kind == "http":
            # [request, response], held nowhere else: see pools.recycle.
            held = [asgi.request_from_scope(scope, receive), None]
            try:
                held[1] = await self.handle(held[0])
                await asgi.send_asgi_response(held[1], send)
            finally:
                recycle(held)
        elif kind == "lifespan":
            await asgi.run_lifespan(self, receive, send)
        else:
            raise RuntimeError(f"unsupported ASGI scope type {kind!r}")

    async def __rsgi__(self, scope: Any, protocol: Any) -> None:
        if scope.proto != "http":
            raise RuntimeError(f"unsupported RSGI protocol {scope.proto!r}")
        held = [rsgi.instantiate_rsgi_request(scope, protocol), None]
        try:
            held[1] = await self.handle(held[0])
            await rsgi.send_rsgi_response(held[1], protocol)
        finally:
            recycle(held)

    def __rsgi_init__(self, loop: Any) -> None:
        loop.run_until_complete(self.start())

    def __rsgi_del__(self, loop: Any) -> None:
        loop.run_until_complete(self.stop())
