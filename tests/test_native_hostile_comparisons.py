"""Registration keeps the dicts it writes into alive while a stored key's ``__eq__`` runs:
such code may replace the dict on the object and drop the last reference to it."""

import pytest

from quenmark.routing import RadixTree


def _replacing_key(target_hash, replace):
    class Replacing:
        def __hash__(self):
            return target_hash

        def __eq__(self, other):
            replace()
            return False

    return Replacing()


@pytest.mark.parametrize("rounds", [50])
def test_insert_survives_children_replaced_during_lookup(rounds):
    for _ in range(rounds):
        tree = RadixTree()

        def replace():
            tree.root.children = {}

        tree.root.children = {_replacing_key(hash(b"users"), replace): tree.root}
        tree.insert(b"/users/{id}", "route")
        # Fresh dicts reuse freed ones first: a write into a freed dict would show up here.
        fresh = [{i: i} for i in range(32)]
        assert all(d == {i: i} for i, d in enumerate(fresh))
        assert tree.root.children == {}
        tree.insert(b"/users/{id}", "route")
        assert tree.match(b"/users/7")[0] == "route"


@pytest.mark.parametrize("rounds", [50])
def test_insert_survives_static_routes_replaced_during_insertion(rounds):
    for _ in range(rounds):
        tree = RadixTree()

        def replace():
            tree.static_routes = {}

        tree.static_routes = {_replacing_key(hash(b"/users"), replace): "other"}
        tree.insert(b"/users", "route")
        fresh = [{i: i} for i in range(32)]
        assert all(d == {i: i} for i, d in enumerate(fresh))
        assert tree.match(b"/users") == ("route", None)
