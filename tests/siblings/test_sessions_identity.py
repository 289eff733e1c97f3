import pytest

from quenmark.sessions import Session
from wardline import Identity


def test_session_mapping_and_modified_flag():
    original = {"a": 1}
    session = Session(original)
    assert dict(session) == {"a": 1} and len(session) == 1 and "a" in session
    assert not session.modified
    session.get("a"), session.get("missing")
    assert not session.modified, "reading must not mark the session as changed"
    session["b"] = 2
    assert session.modified
    assert original == {"a": 1}, "the session must not alias the caller's dict"


@pytest.mark.parametrize(
    "change",
    [
        lambda s: s.__setitem__("a", 1),
        lambda s: s.__delitem__("a"),
        lambda s: s.clear(),
        lambda s: s.update(b=2),
        lambda s: s.pop("a"),
        lambda s: s.setdefault("z", 0),
        lambda s: s.mark_modified(),
    ],
)
def test_every_mutation_marks_modified(change):
    session = Session({"a": 1})
    change(session)
    assert session.modified


def test_session_failed_delete_and_empty_clear_do_not_mark():
    session = Session()
    with pytest.raises(KeyError):
        del session["x"]
    session.clear()
    assert not session.modified
    assert Session({"a": 1}) == {"a": 1} == Session({"a": 1}).to_dict()
    assert Session() != Session({"a": 1})


def test_identity():
    anonymous = Identity()
    assert anonymous.claims == {} and not anonymous.is_authenticated()
    claims = {"sub": "42", "roles": ["admin"]}
    user = Identity(claims, "JWT Bearer")
    assert user.is_authenticated()
    assert user.sub == "42" and user["roles"] == ["admin"]
    assert user.has_claim("roles") and user.has_claim_value("sub", "42")
    assert not user.has_claim_value("sub", "43") and user.get("x", 1) == 1
    assert not Identity(claims, "").is_authenticated()
