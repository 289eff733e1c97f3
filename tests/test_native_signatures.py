"""Every function, type and method of the compiled modules shows its parameters to
inspect.signature and help()."""

import importlib
import inspect

import pytest

MODULES = ["headers", "messages", "routing", "keystone", "scribe", "_contents"]


def callables():
    for module_name in MODULES:
        module = importlib.import_module(f"quenmark.{module_name}")
        for name, value in vars(module).items():
            if name.startswith("__") or getattr(value, "__module__", None) not in (module.__name__, None):
                continue
            if isinstance(value, type):
                yield f"{module_name}.{name}()", value
                for attribute, member in vars(value).items():
                    if not attribute.startswith("__") and callable(member) and not isinstance(member, type):
                        yield f"{module_name}.{name}.{attribute}", member
            elif callable(value) and not isinstance(value, type):
                yield f"{module_name}.{name}", value


@pytest.mark.parametrize("name, value", list(callables()), ids=lambda v: v if isinstance(v, str) else "")
def test_compiled_callables_have_signatures(name, value):
    inspect.signature(value)
