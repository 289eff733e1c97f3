"""A compiled module binds its siblings at import; a sibling that is not what it was built against
must fail that import with a clear exception (never a crash or a half-bound module)."""

import ctypes
import importlib
import subprocess
import sys

import pytest

import capi_tables

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


SHRINK_TABLE_THEN_IMPORT = """
import ctypes, sys
import quenmark.headers as h
get = ctypes.pythonapi.PyCapsule_GetPointer
get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
base = get(h._C_API, b"quenmark.headers._C_API")
field = {"version": 1, "size": 2}[sys.argv[1]]
slot = ctypes.c_size_t.from_address(base + field * ctypes.sizeof(ctypes.c_void_p))
slot.value = eval(sys.argv[2], {"was": slot.value})
try:
    import quenmark.messages
except Exception as e:
    print(type(e).__name__, e)
else:
    print("imported")
"""


@pytest.mark.parametrize(
    "field, value, expected",
    [
        # A table from an older build of its module: shorter than the binder knows.
        ("size", "was - 8", "fewer than the"),
        ("version", "2", "(expected quenmark.headers CApi v1, got quenmark.headers CApi v2)"),
        # Entries appended after the binder was built are no reason to refuse it.
        ("size", "was + 80", "imported"),
    ],
)
def test_binding_checks_the_table_version_and_size(field, value, expected):
    out = subprocess.run([sys.executable, "-c", SHRINK_TABLE_THEN_IMPORT, field, value],
                         capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert expected in out.stdout
    assert expected == "imported" or out.stdout.startswith("ImportError")


@pytest.mark.parametrize("name", sorted(capi_tables.SLOTS))
def test_published_tables_hold_every_known_slot(name):
    module = importlib.import_module(name)
    table = capi_tables.header(module)
    assert table.name == f"{name} CApi".encode()
    pointer = ctypes.sizeof(ctypes.c_void_p)
    assert table.size % pointer == 0
    assert table.size >= ctypes.sizeof(capi_tables.Header) + len(capi_tables.SLOTS[name]) * pointer
    assert all(capi_tables.address(module, slot) for slot in capi_tables.SLOTS[name])
