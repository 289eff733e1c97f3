"""Time helpers."""

from __future__ import annotations

from datetime import UTC, datetime

__all__ = ["utcnow"]


def utcnow() -> datetime:
    """The current time as an aware datetime in UTC."""
    return datetime.now(UTC)
