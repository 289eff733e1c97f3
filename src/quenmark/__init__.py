"""quenmark: a fast asynchronous web framework with a compiled core."""

__version__ = "0.1.0"
