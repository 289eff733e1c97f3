"""Message fields that user code can replace while the message reads them."""

import pytest

from quenmark.contents import Content
from quenmark.messages import Message


class _Replacing(Content):
    """A content whose truth test drops the message's only reference to it."""

    __slots__ = ("owner",)

    def __bool__(self):
        owner, self.owner = self.owner, None
        if owner is not None:
            owner.content = None
        return True


@pytest.mark.parametrize(
    "read",
    [lambda m: m.content_type(), lambda m: m.has_body(), lambda m: bytes(m.body_buffer)],
    ids=["content_type", "has_body", "body_buffer"],
)
def test_content_replaced_by_its_own_truth_test(read):
    message = Message([])
    content = _Replacing(b"text/plain", b"abc")
    content.owner = message
    message.content = content
    del content
    assert read(message) in (b"text/plain", True, b"abc")
    assert message.content is None
