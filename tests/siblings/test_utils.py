from datetime import UTC, datetime, timedelta

from quenmark.exceptions import BadRequest, BadRequestFormat, HTTPException, NotFound
from quenmark.utils import get_class_instance_hierarchy
from quenmark.utils.time import utcnow


def test_hierarchy_puts_http_exception_after_its_subclasses():
    hierarchy = get_class_instance_hierarchy(BadRequestFormat("x"))
    assert hierarchy[0] is BadRequestFormat
    assert hierarchy.index(BadRequestFormat) < hierarchy.index(BadRequest)
    assert hierarchy.index(BadRequest) < hierarchy.index(HTTPException)
    assert hierarchy.index(HTTPException) < hierarchy.index(Exception)
    assert NotFound not in hierarchy


def test_hierarchy_with_multiple_inheritance():
    class Mixin:
        pass

    class Custom(Mixin, NotFound):
        pass

    hierarchy = get_class_instance_hierarchy(Custom())
    assert hierarchy[0] is Custom
    assert hierarchy.index(NotFound) < hierarchy.index(HTTPException)
    assert hierarchy.index(Mixin) < hierarchy.index(HTTPException)


def test_utcnow_is_aware_and_current():
    now = utcnow()
    assert now.tzinfo is not None and now.utcoffset() == timedelta(0)
    assert abs(datetime.now(UTC) - now) < timedelta(minutes=1)
