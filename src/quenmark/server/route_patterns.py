"""Route patterns checked at registration.

The compiled tree reads a pattern (`quenmark.routing._read_pattern`, the same walk that
registers it) and accepts anything; a mistake there shows up later as a route that never
matches, or that silently changes another. The router refuses those patterns instead, with an
error naming them:

- a malformed segment (`/d/{x`, `{}`), a parameter name that is not an identifier (the `a}-{b`
  of `/n/{a}-{b}`), an unknown type (`{x:bogus}`), the same name twice, a catch-all (`*`,
  `{rest:path}`) that does not end the pattern;
- per method, the same pattern twice, and two patterns whose parameters sit at the same
  position with different names or types: the tree keeps one parameter (and one catch-all) per
  position, so `/c/{x:int}` then `/c/{y}` would make `/c/abc` a 404 and `/c/5` answer as `y`.
"""

from __future__ import annotations

from typing import NamedTuple
from urllib.parse import quote

from quenmark.routing import _read_pattern

__all__ = ["Param", "Pattern", "PatternTable", "RouteError", "read"]

# The types a parameter may declare, as the router names them: `str` and `string` and none at
# all are one type.
TYPES = {"": "str", "str": "str", "string": "str", "int": "int", "float": "float", "uuid": "uuid", "path": "path"}

# What a client sends as it is in a path segment; anything else in a static segment is
# percent-encoded at registration (`/café` is requested as `/caf%C3%A9`).
_SEGMENT_SAFE = "!$&'()*+,;=:@-._~%"


class RouteError(ValueError):
    """A route the router refuses; the message names its method and pattern."""


class Param(NamedTuple):
    """A parameter of a pattern: its name, its type (`str`, `int`, `float`, `uuid`, `path`,
    or `tail` for the `*` catch-all), and the segment that declares it."""

    name: str
    type: str
    segment: str


class Pattern(NamedTuple):
    """A checked pattern."""

    source: str
    # The pattern the tree is given: static segments percent-encoded as clients send them.
    tree_pattern: bytes
    params: tuple[Param, ...]
    # Where each parameter sits in the tree: the segments before it, a parameter as "{}".
    positions: tuple[tuple[str, ...], ...]
    # The whole route as the tree keys it, for finding the same pattern twice.
    key: tuple[str, ...]

    @property
    def catch_all(self) -> Param | None:
        return self.params[-1] if self.params and self.params[-1].type in ("path", "tail") else None


def read(pattern: bytes, where: str) -> Pattern:
    """Checks `pattern` on its own; `where` (e.g. "GET /x") names it in errors."""
    try:
        source = pattern.decode("utf-8")
    except UnicodeDecodeError:
        raise RouteError(f"{where}: a route pattern must be UTF-8") from None
    segments = _read_pattern(pattern)
    pieces = [piece for piece in pattern.split(b"/") if piece]
    params: list[Param] = []
    positions: list[tuple[str, ...]] = []
    key: list[str] = []
    tree: list[str] = []
    for kind, text, name, declared in segments:
        if kind == "static":
            if any(c in text for c in "{}<>"):
                raise RouteError(f"{where}: the segment {text!r} is not a well-formed parameter")
            encoded = quote(text, safe=_SEGMENT_SAFE)
            tree.append(encoded)
            key.append(encoded.lower())
            continue
        if name is None or declared is None:  # the `*` catch-all
            param = Param("tail", "tail", text)
        else:
            if not name.isidentifier():
                raise RouteError(f"{where}: the parameter name {name!r} in {text} is not an identifier")
            if declared not in TYPES:
                raise RouteError(
                    f"{where}: unknown parameter type {declared!r} in {text} "
                    "(int, float, uuid, str or path)"
                )
            param = Param(name, TYPES[declared], text)
        if any(p.name == param.name for p in params):
            raise RouteError(f"{where}: the parameter name {param.name!r} is used twice")
        params.append(param)
        positions.append(tuple(key))
        tree.append(text)
        key.append(f"{{{param.type}}}" if kind == "param" else f"*{param.type}{text.lower()}")
    if len(segments) < len(pieces):
        raise RouteError(f"{where}: a catch-all ({segments[-1][1]}) must end the pattern")
    return Pattern(source, ("/" + "/".join(tree)).encode("ascii"), tuple(params), tuple(positions), tuple(key))


class PatternTable:
    """The patterns of one method, for the checks across patterns."""

    def __init__(self) -> None:
        self._routes: dict[tuple[str, ...], str] = {}
        # Position -> (the parameter there, the pattern that put it there); catch-alls apart,
        # since a position has one of each.
        self._params: dict[tuple[str, ...], tuple[Param, str]] = {}
        self._catch_alls: dict[tuple[str, ...], tuple[Param, str]] = {}

    def add(self, pattern: Pattern, where: str) -> None:
        """Records `pattern`, or raises RouteError, recording nothing, when it clashes."""
        catch_all = pattern.catch_all
        for param, position in zip(pattern.params, pattern.positions):
            table = self._catch_alls if param is catch_all else self._params
            known = table.get(position)
            if known is None:
                continue
            other, source = known
            if param is catch_all:
                raise RouteError(
                    f"{where}: its catch-all {param.segment} takes the place of {other.segment} "
                    f"of {source!r}; a position has one catch-all"
                )
            if (other.name, other.type) != (param.name, param.type):
                raise RouteError(
                    f"{where}: its parameter {param.segment} sits where {source!r} has "
                    f"{other.segment}; parameters at one position must agree in name and type"
                )
        if pattern.key in self._routes:
            raise RouteError(f"{where}: this route is already registered (as {self._routes[pattern.key]!r})")
        self._routes[pattern.key] = pattern.source
        for param, position in zip(pattern.params, pattern.positions):
            table = self._catch_alls if param is catch_all else self._params
            table.setdefault(position, (param, pattern.source))
