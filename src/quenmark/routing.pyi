"""Radix-tree routing with typed path parameters (compiled module)."""

import re
from collections.abc import Callable
from types import CapsuleType
from typing import Any, Final

from typing_extensions import disjoint_base

_INT_RX: Final[re.Pattern[bytes]]
_FLOAT_RX: Final[re.Pattern[bytes]]
_UUID_RX: Final[re.Pattern[bytes]]
unquote: Callable[[str], str]
_C_API: CapsuleType

def _fast_unquote(val: bytes) -> str: ...
def _param_names(pattern: bytes) -> list[str]: ...
def _read_pattern(pattern: bytes) -> list[tuple[str, str, str | None, str | None]]:
    """The pattern's segments as registration reads them: (kind, text, name, type) each, kind
    "static", "param" or "catch_all"; name and type are None for a static segment and `*`."""

# `router.get_match(method, path)` for the request's method (text as Latin-1 bytes) and `_path`,
# as a RouteMatch, or None.
def match_request(router: CythonRadixRouter, request: Any) -> RouteMatch | None: ...

@disjoint_base
class _RequestRouter:
    """The application router's base: `get_match(request)` is `match_request(self._engine,
    request)`, or `self._unmatched(request)` where nothing matches."""

    _engine: Any
    def __init__(self) -> None: ...
    def get_match(self, request: Any) -> RouteMatch | None: ...
    def _unmatched(self, request: Any) -> RouteMatch | None: ...

@disjoint_base
class RadixNode:
    segment: bytes | None
    route: Any
    children: dict[bytes, RadixNode] | None
    param_child: RadixNode | None
    param_name: str | None
    param_names: list[str] | None
    param_validator: Any
    wildcard_child: RadixNode | None
    wildcard_name: str | None
    wildcard_suffix: bytes | None
    is_leaf: bool
    def __init__(self, segment: bytes | None = b"") -> None: ...

@disjoint_base
class RadixTree:
    root: RadixNode | None
    static_routes: dict[bytes, Any] | None
    def __init__(self) -> None: ...
    def insert(self, pattern: bytes, route: Any, param_names: list[str | bytes] | None = None) -> None: ...
    def match(self, path: bytes) -> tuple[Any, dict[str, str] | None] | None: ...

@disjoint_base
class CythonRadixRouter:
    trees: dict[bytes, RadixTree] | None
    def __init__(self) -> None: ...
    def add_route(
        self, method: bytes, pattern: bytes, route: Any, param_names: list[str | bytes] | None = None
    ) -> None: ...
    def get_match(self, method: bytes, path: bytes) -> tuple[Any, dict[str, str] | None] | None: ...
    def freeze(self) -> None: ...

@disjoint_base
class RouteMatch:
    handler: Any
    pattern: Any
    _values: dict[str, Any] | None
    route: Any
    def __init__(self, route: Any, values: dict[str, Any] | None = None) -> None: ...
    @property
    def values(self) -> dict[str, Any] | None: ...
