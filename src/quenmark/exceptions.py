"""Exceptions raised by the framework and understood by its error handlers.

`HTTPException` and its subclasses carry the HTTP status that the exception-handler
registry uses to pick a handler; the plain `Exception` subclasses signal programming
errors or a broken connection.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any

__all__ = [
    "BadRequest",
    "BadRequestFormat",
    "ContentTooLarge",
    "FailedRequestError",
    "HTTPException",
    "InternalServerError",
    "InvalidArgument",
    "InvalidExceptionHandler",
    "InvalidOperation",
    "MessageAborted",
    "MethodNotAllowed",
    "NotFound",
    "UnprocessableEntity",
    "UnsupportedMediaType",
]


def _rebuild(cls: type[BaseException], args: tuple[Any, ...], state: dict[str, Any]) -> BaseException:
    # Our constructors do not take `self.args` back, so pickling and copying rebuild the
    # instance without calling __init__ and restore its attributes afterwards.
    obj = cls.__new__(cls, *args)
    obj.args = args
    obj.__dict__.update(state)
    return obj


class _Rebuildable(Exception):
    def __reduce__(self) -> tuple[Any, ...]:
        return (_rebuild, (type(self), self.args, dict(self.__dict__)))


class HTTPException(_Rebuildable):
    """An error that maps to an HTTP response with the given status."""

    status: int

    def __init__(self, status: int, message: str = "HTTP exception") -> None:
        super().__init__(message)
        self.status = status

    def __str__(self) -> str:
        return str(self.args[0]) if self.args else ""

    def __repr__(self) -> str:
        return f"{type(self).__name__}(status={self.status!r}, message={str(self)!r})"


class BadRequest(HTTPException):
    def __init__(self, message: str | None = None) -> None:
        super().__init__(400, message or "Bad request")


class BadRequestFormat(BadRequest):
    """The request body could not be parsed in the format it declares."""

    def __init__(
        self, message: str, inner_exception: BaseException | None = None
    ) -> None:
        super().__init__(message)
        self.inner_exception = inner_exception


class ContentTooLarge(HTTPException):
    """The request body, or a form inside it, goes beyond a configured limit (413)."""

    def __init__(self, message: str | None = None) -> None:
        super().__init__(413, message or "Content too large")


class NotFound(HTTPException):
    def __init__(self, message: str | None = None) -> None:
        super().__init__(404, message or "Not found")


class MethodNotAllowed(HTTPException):
    """The path exists, but not for the request's method (405). `allowed` lists the methods
    that the path answers; the response carries them in its Allow header."""

    def __init__(self, allowed: Iterable[str] = (), message: str | None = None) -> None:
        super().__init__(405, message or "Method not allowed")
        self.allowed = tuple(allowed)

    @property
    def allow(self) -> bytes:
        """The value of the Allow header."""
        return ", ".join(self.allowed).encode("latin-1")


class UnsupportedMediaType(HTTPException):
    def __init__(self, message: str | None = None) -> None:
        super().__init__(415, message or "Unsupported media type")


class UnprocessableEntity(HTTPException):
    """Input was understood but failed validation.

    `message` and `details` keep exactly what was given (None when omitted): the
    default handler decides what to show when they are missing.
    """

    def __init__(self, message: str | None = None, details: Any = None) -> None:
        super().__init__(422, message or "Unprocessable entity")
        self.message = message
        self.details = details


class InternalServerError(HTTPException):
    """Wraps an unhandled error so that it can be answered as a 500 response."""

    def __init__(self, source_error: BaseException | None = None) -> None:
        super().__init__(500, "Internal server error")
        self.source_error = source_error


class InvalidArgument(Exception):
    """A value passed to the framework cannot be used."""


class InvalidOperation(Exception):
    """An operation is not allowed in the object's current state."""


class MessageAborted(Exception):
    """The client went away before the whole message body was received."""

    def __init__(self, message: str | None = None) -> None:
        super().__init__(
            message
            or "The connection was lost before the message was completely received."
        )


class InvalidExceptionHandler(Exception):
    def __init__(self, message: str | None = None) -> None:
        super().__init__(
            message
            or "Exception handlers must be async functions taking three arguments: "
            "the application, the request and the exception."
        )


class FailedRequestError(_Rebuildable):
    """A response carried a status outside 2xx when success was required."""

    def __init__(self, status: int, data: str) -> None:
        super().__init__(
            f"The response status code does not indicate success: {status}. "
            f"Response body: {data}"
        )
        self.status = status
        self.data = data
