"""Native constructors of the common content classes (compiled module)."""

from collections.abc import Callable
from typing import Any

def install_text(owner: type, text: type, html: type, /) -> None:
    """Installs the text constructor on `owner` (_UTF8Content) and builds the calls of `text`
    and `html` directly."""

def install_json(
    cls: type,
    media_type: bytes,
    settings: Any,
    default_dumps: Callable[[Any], str],
    encode: Callable[[Any], bytes],
    /,
) -> None:
    """Installs the JSON constructor on `cls`; `encode` stands for `default_dumps` followed by
    encoding to UTF-8."""

def install_server_bodies(base: type, asgi: type, rsgi: type, globals: dict[str, Any], /) -> None:
    """Installs the request body constructors on `base` (_ServerBody) and `asgi`;
    MAX_BODY_SIZE is read from `globals`."""

def fill_text(self: Any, text: str, /) -> None:
    """_UTF8Content.__init__: `text` encoded as UTF-8 under the class's media type."""

def fill_json(self: Any, data: Any, dumps: Callable[[Any], Any] | None, /) -> None:
    """JSONContent.__init__: `data` serialised by `dumps`, or by the JSON settings when it is
    None."""

def fill_server_body(self: Any, source: Any, announced: int, /) -> None:
    """_ServerBody.__init__."""

def fill_asgi(self: Any, receive: Any, announced: int, /) -> None:
    """ASGIContent.__init__."""
