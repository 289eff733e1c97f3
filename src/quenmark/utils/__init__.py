"""Small helpers shared by the framework."""

from __future__ import annotations

__all__ = ["get_class_instance_hierarchy"]


def get_class_instance_hierarchy(obj: object) -> tuple[type, ...]:
    """Return the classes of the object's type, most specific first.

    This is the method resolution order, so a subclass always comes before its bases:
    the exception-handler dispatch relies on meeting `HTTPException` only after every
    subclass of it.
    """
    return type(obj).__mro__
