"""The JSON functions used to read request bodies and write JSON responses.

msgspec is used by default; an application may plug in other functions with
`json_settings.use(loads=..., dumps=...)`.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import msgspec

__all__ = ["JSONSettings", "json_settings", "default_json_dumps", "default_json_loads"]

_encode = msgspec.json.encode
_decode = msgspec.json.decode


def default_json_loads(text: str | bytes) -> Any:
    return _decode(text)


def default_json_dumps(obj: Any) -> str:
    # msgspec writes compact JSON (no spaces) and escapes control characters, so the
    # text never holds a raw line break (server-sent events rely on that).
    return _encode(obj).decode("utf-8")


class JSONSettings:
    __slots__ = ("_loads", "_dumps", "_has_custom_loads", "_has_custom_dumps")

    def __init__(self) -> None:
        self.reset()

    def use(
        self,
        loads: Callable[[str | bytes], Any] | None = None,
        dumps: Callable[[Any], str] | None = None,
    ) -> None:
        """Replace the loads and/or dumps functions; None keeps the current one."""
        for name, fn in (("loads", loads), ("dumps", dumps)):
            if fn is not None and not callable(fn):
                raise TypeError(f"{name} must be callable")
        if loads is not None:
            self._loads = loads
            self._has_custom_loads = True
        if dumps is not None:
            self._dumps = dumps
            self._has_custom_dumps = True

    def reset(self) -> None:
        self._loads = default_json_loads
        self._dumps = default_json_dumps
        self._has_custom_loads = False
        self._has_custom_dumps = False

    @property
    def has_custom_loads(self) -> bool:
        return self._has_custom_loads

    @property
    def has_custom_dumps(self) -> bool:
        return self._has_custom_dumps

    def loads(self, text: str | bytes) -> Any:
        return self._loads(text)

    def dumps(self, obj: Any) -> str:
        return self._dumps(obj)

    def dumps_utf8(self, obj: Any) -> Any:
        """`dumps(obj)` encoded as UTF-8. The default dumps gives the bytes at once (msgspec
        writes UTF-8, which its text is decoded from); what a custom dumps returns other than
        text comes back as it is."""
        dumps = self._dumps
        if dumps is default_json_dumps:
            return _encode(obj)
        text = dumps(obj)
        return text.encode("utf-8") if isinstance(text, str) else text


json_settings = JSONSettings()
