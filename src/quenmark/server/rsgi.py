"""The RSGI adapter, compiled in `quenmark.scribe`: `instantiate_rsgi_request` builds a request
(from the pool) for an RSGI scope, reading its body from the protocol, and `send_rsgi_response`
writes a response through the protocol, streams included; `serve_rsgi` does a whole exchange."""

from quenmark.scribe import instantiate_rsgi_request, send_rsgi_response, serve_rsgi

__all__ = ["instantiate_rsgi_request", "send_rsgi_response", "serve_rsgi"]
