"""quenmark: a fast asynchronous web framework with a compiled core."""

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from quenmark.server import Application, Route, Router

__version__ = "0.1.0"

__all__ = ["Application", "Route", "Router", "__version__"]


def __getattr__(name: str) -> Any:
    # The server layer imports the compiled modules, which import sibling modules of this
    # package while they load; importing it lazily keeps `import quenmark.url` light and free
    # of import cycles. Type checkers read the imports above instead.
    if name in ("Application", "Route", "Router"):
        from quenmark import server

        return getattr(server, name)
    raise AttributeError(f"module 'quenmark' has no attribute {name!r}")
