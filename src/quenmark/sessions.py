"""Per-user session data, stored by a session middleware between requests."""

from __future__ import annotations

from collections.abc import Iterator, Mapping, MutableMapping
from typing import Any

__all__ = ["Session"]


class Session(MutableMapping[str, Any]):
    """A mutable mapping that remembers whether it was changed.

    The `modified` flag lets a session store skip writing back (and re-signing a
    cookie) for the common request that only reads its session.
    """

    __slots__ = ("_values", "_modified")

    def __init__(self, values: Mapping[str, Any] | None = None) -> None:
        self._values: dict[str, Any] = dict(values) if values else {}
        self._modified = False

    @property
    def modified(self) -> bool:
        return self._modified

    def mark_modified(self) -> None:
        """Flag the session as changed, e.g. after mutating a value in place."""
        self._modified = True

    def __getitem__(self, key: str) -> Any:
        return self._values[key]

    def __setitem__(self, key: str, value: Any) -> None:
        self._modified = True
        self._values[key] = value

    def __delitem__(self, key: str) -> None:
        del self._values[key]
        self._modified = True

    def __iter__(self) -> Iterator[str]:
        return iter(self._values)

    def __len__(self) -> int:
        return len(self._values)

    def __contains__(self, key: object) -> bool:
        return key in self._values

    def get(self, key: str, default: Any = None) -> Any:
        return self._values.get(key, default)

    def clear(self) -> None:
        if self._values:
            self._values.clear()
            self._modified = True

    def to_dict(self) -> dict[str, Any]:
        return dict(self._values)

    def __eq__(self, other: object) -> bool:
        if isinstance(other, Session):
            return self._values == other._values
        if isinstance(other, Mapping):
            return self._values == dict(other)
        return NotImplemented

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"<Session {self._values!r}>"
