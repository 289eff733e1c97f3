"""Fuzzers: property checks and random inputs over the parsing and message code, run by
`python -m fuzz` (`make fuzz`) for a time budget each, with printed seeds that replay a run.

A fuzzer is a function of generated arguments registered with `@fuzzer(**strategies)`; it fails
by raising. `note(what, outcome)` counts an outcome worth reporting without failing on it (an
exception that client input can cause today, for instance): the runner prints the counts.
"""

from __future__ import annotations

import functools
from collections import Counter
from collections.abc import Callable
from dataclasses import dataclass, field

from hypothesis.strategies import SearchStrategy


@dataclass
class Fuzzer:
    name: str
    function: Callable[..., None]
    strategies: dict[str, SearchStrategy]
    cases: int = 0
    notes: Counter = field(default_factory=Counter)

    def counted(self) -> Callable[..., None]:
        @functools.wraps(self.function)
        def run(*args, **kwargs):
            self.cases += 1
            return self.function(*args, **kwargs)

        return run


FUZZERS: dict[str, Fuzzer] = {}
_current: list[Fuzzer] = []


def fuzzer(
    name: str | None = None, /, **strategies: SearchStrategy
) -> Callable[[Callable[..., None]], Callable[..., None]]:
    """Register a fuzzer as "<module>.<function>", or under `name` (a test body reused)."""

    def register(function: Callable[..., None]) -> Callable[..., None]:
        key = name or function.__module__.rpartition(".")[2] + "." + function.__name__
        FUZZERS[key] = Fuzzer(key, function, strategies)
        return function

    return register


def reuse(name: str, test: Callable[..., None], **strategies: SearchStrategy) -> None:
    """Register the body of a hypothesis test of the suite as fuzzer `name`, run with the
    strategies the test was given (hypothesis keeps them on the test) or those named here."""
    given_with = {**test.hypothesis._given_kwargs, **strategies}
    fuzzer(name, **given_with)(test.hypothesis.inner_test)


def note(what: str, outcome: str | BaseException) -> None:
    if isinstance(outcome, BaseException):
        outcome = type(outcome).__name__
    if _current:
        _current[-1].notes[f"{what}: {outcome}"] += 1


def outcome(call: Callable[[], object], allowed: tuple[type[BaseException], ...] = (Exception,)):
    """The result of `call()`, or the exception it raised when that is one of `allowed`.

    SystemError is never allowed: it means native code returned an error without setting one,
    or a result together with an exception.
    """
    try:
        return call()
    except SystemError:
        raise
    except allowed as error:
        return error
