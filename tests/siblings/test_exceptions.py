import copy
import pickle

import pytest

from quenmark.exceptions import (
    BadRequest,
    BadRequestFormat,
    FailedRequestError,
    HTTPException,
    InternalServerError,
    InvalidExceptionHandler,
    MessageAborted,
    NotFound,
    UnprocessableEntity,
    UnsupportedMediaType,
)


@pytest.mark.parametrize(
    "exc, status, text",
    [
        (HTTPException(418, "teapot"), 418, "teapot"),
        (HTTPException(503), 503, "HTTP exception"),
        (BadRequest(), 400, "Bad request"),
        (BadRequest("Missing Host header"), 400, "Missing Host header"),
        (BadRequestFormat("bad json", ValueError("x")), 400, "bad json"),
        (NotFound(), 404, "Not found"),
        (UnsupportedMediaType(), 415, "Unsupported media type"),
        (UnprocessableEntity(), 422, "Unprocessable entity"),
        (InternalServerError(KeyError("k")), 500, "Internal server error"),
    ],
)
def test_http_exceptions_carry_status_and_message(exc, status, text):
    assert isinstance(exc, HTTPException)
    assert exc.status == status
    assert str(exc) == text


def test_attributes_keep_what_was_given():
    inner = ValueError("inner")
    assert BadRequestFormat("m", inner).inner_exception is inner
    assert BadRequestFormat("m").inner_exception is None
    source = RuntimeError("boom")
    assert InternalServerError(source).source_error is source
    assert InternalServerError().source_error is None
    # The default handler must be able to tell "no message" from a given one.
    plain = UnprocessableEntity()
    assert plain.message is None and plain.details is None
    detailed = UnprocessableEntity("invalid", details=[{"loc": ["body"], "msg": "x"}])
    assert detailed.message == "invalid"
    assert detailed.details == [{"loc": ["body"], "msg": "x"}]


def test_plain_exceptions():
    failed = FailedRequestError(502, "upstream down")
    assert (failed.status, failed.data) == (502, "upstream down")
    assert "502" in str(failed) and "upstream down" in str(failed)
    assert not isinstance(failed, HTTPException)
    assert "three arguments" in str(InvalidExceptionHandler())
    assert str(MessageAborted())


@pytest.mark.parametrize(
    "exc",
    [
        HTTPException(409, "conflict"),
        BadRequest("nope"),
        BadRequestFormat("bad", ValueError("v")),
        NotFound(),
        UnprocessableEntity("m", details={"detail": []}),
        InternalServerError(ValueError("v")),
        FailedRequestError(500, "body"),
        MessageAborted(),
        InvalidExceptionHandler(),
    ],
)
@pytest.mark.parametrize("clone", [copy.copy, lambda e: pickle.loads(pickle.dumps(e))])
def test_copy_and_pickle_keep_type_status_and_attributes(exc, clone):
    other = clone(exc)
    assert type(other) is type(exc)
    assert str(other) == str(exc)
    assert getattr(other, "status", None) == getattr(exc, "status", None)
    for name in ("inner_exception", "source_error", "details", "message", "data"):
        if hasattr(exc, name):
            assert repr(getattr(other, name)) == repr(getattr(exc, name))


def test_user_subclass_with_own_signature_still_copies():
    class Gone(HTTPException):
        def __init__(self):
            super().__init__(410, "gone")

    other = copy.copy(Gone())
    assert type(other) is Gone
    assert other.status == 410 and str(other) == "gone"
