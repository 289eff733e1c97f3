"""What every benchmark app serves, so that all of them do the same work per request.

Endpoints (GET unless said):
  /text           "Hello, world!" as text/plain
  /json           {"message": "Hello, world!"}
  /items/{id:int} {"id": id}, the typed path parameter as a JSON number
  /echo           POST of a 1 KiB JSON document, decoded and encoded back
  /64k            64 KiB of text/plain
"""

import json

MESSAGE = "Hello, world!"
BODY_64K = ("quenmark " * 7282 + "benchmark!")[:65536]
assert len(BODY_64K) == 65536


def _echo_document() -> bytes:
    # Only strings and integers: every JSON library writes them alike, so the apps' replies can be
    # compared with the document as parsed values.
    items = [{"sku": f"SKU-{n:04d}", "quantity": n, "tags": ["red", "large"]} for n in range(12)]
    document = {"order": 123456, "customer": "Ada Lovelace", "items": items, "note": ""}
    document["note"] = "n" * (1024 - len(json.dumps(document, separators=(",", ":"))))
    body = json.dumps(document, separators=(",", ":")).encode()
    assert len(body) == 1024
    return body


ECHO_BODY = _echo_document()
