"""Registration keeps the dicts it writes into alive while a stored key's ``__eq__`` runs: such
code may replace the dict on the object and drop the last reference to it. The scenarios run in
a child interpreter with the debug allocator (``-X dev``), which poisons freed memory, so a use
of the freed dict fails there instead of passing by luck."""

import subprocess
import sys
import textwrap

import pytest

SCENARIOS = {
    "children replaced during the lookup": """
        tree = RadixTree()
        def replace():
            tree.root.children = {}
        tree.root.children = {replacing_key(hash(b"users"), replace): tree.root}
        tree.insert(b"/users/{id}", "route")
        assert tree.root.children == {}
        tree.insert(b"/users/{id}", "route")
        assert tree.match(b"/users/7")[0] == "route"
    """,
    "static routes replaced during the insertion": """
        tree = RadixTree()
        def replace():
            tree.static_routes = {}
        tree.static_routes = {replacing_key(hash(b"/users"), replace): "other"}
        tree.insert(b"/users", "route")
        assert tree.match(b"/users") == ("route", None)
    """,
}

PRELUDE = """
from quenmark.routing import RadixTree

def replacing_key(target_hash, replace):
    class Replacing:
        def __hash__(self):
            return target_hash
        def __eq__(self, other):
            replace()
            return False
    return Replacing()

for _ in range(20):
"""


@pytest.mark.parametrize("name", sorted(SCENARIOS))
def test_insert_survives_dict_replaced_by_key_comparison(name):
    body = textwrap.indent(textwrap.dedent(SCENARIOS[name]), "    ")
    result = subprocess.run(
        [sys.executable, "-X", "dev", "-c", PRELUDE + body],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert result.returncode == 0, result.stderr[-2000:]
