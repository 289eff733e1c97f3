"""Authentication primitives: who is making a request."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

__all__ = ["Identity"]


class Identity:
    """The user of a request: a set of claims and how they were established.

    A request without credentials gets `Identity()`, which has no claims and is not
    authenticated; an authentication handler sets `authentication_mode` (for example
    "JWT Bearer" or "Cookie") once it has verified the claims.
    """

    __slots__ = ("claims", "authentication_mode", "access_token")

    def __init__(
        self,
        claims: Mapping[str, Any] | None = None,
        authentication_mode: str | None = None,
    ) -> None:
        self.claims: dict[str, Any] = dict(claims) if claims else {}
        self.authentication_mode = authentication_mode
        self.access_token: str | None = None

    def is_authenticated(self) -> bool:
        return bool(self.authentication_mode)

    def __getitem__(self, key: str) -> Any:
        return self.claims[key]

    def get(self, key: str, default: Any = None) -> Any:
        return self.claims.get(key, default)

    def has_claim(self, name: str) -> bool:
        return name in self.claims

    def has_claim_value(self, name: str, value: Any) -> bool:
        return name in self.claims and self.claims[name] == value

    @property
    def sub(self) -> Any:
        """The subject claim: the identifier of the user, if any."""
        return self.claims.get("sub")

    def __repr__(self) -> str:
        return (
            f"<Identity authenticated={self.is_authenticated()} "
            f"mode={self.authentication_mode!r} claims={list(self.claims)!r}>"
        )
