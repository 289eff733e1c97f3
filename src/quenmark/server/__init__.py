"""The server layer: application, router and the ASGI/RSGI adapters."""

from quenmark.server.application import Application
from quenmark.server.routing import Route, Router

__all__ = ["Application", "Route", "Router"]
