"""A compiled module binds its siblings at import; a sibling that is not what it was built against
must fail that import with a clear exception (never a crash or a half-bound module)."""

import subprocess
import sys

import pytest

BREAK_THEN_IMPORT = """
import importlib, sys
module, name, value = sys.argv[1], sys.argv[2], sys.argv[3]
sibling = importlib.import_module(module)
setattr(sibling, name, eval(value))
try:
    import quenmark.messages
except Exception as e:
    print(type(e).__name__, e)
else:
    print("imported")
"""


def run(module, name, value):
    out = subprocess.run(
        [sys.executable, "-c", BREAK_THEN_IMPORT, module, name, value],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert out.returncode == 0, out.stderr
    return out.stdout.strip()


@pytest.mark.parametrize(
    "module, name, value, expected",
    [
        # The headers table's types: layout-checked, the first failure reported.
        ("quenmark.headers", "Header", "1", "TypeError quenmark.headers.Header is not a type"),
        ("quenmark.headers", "Headers", "object", "ValueError quenmark.headers.Headers size changed"),
        ("quenmark.headers", "_C_API", "None", "ImportError quenmark.headers does not export"),
        # Sibling classes bound by name only.
        ("quenmark.contents", "Content", "'x'", "TypeError quenmark.contents.Content is not a type"),
        ("quenmark.url", "URL", "len", "TypeError quenmark.url.URL is not a type object"),
    ],
)
def test_broken_sibling_fails_the_import_cleanly(module, name, value, expected):
    assert expected in run(module, name, value)


def test_intact_siblings_import():
    assert run("quenmark.headers", "unrelated", "1") == "imported"
