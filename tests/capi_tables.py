"""The compiled modules' C-level tables as the tests reach them: by slot name, in the one order
written here. A table is append-only, so this order is its published prefix; a slot appended to
a table is added at the end of its list."""

import ctypes

_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


class Header(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("version", ctypes.c_size_t), ("size", ctypes.c_size_t)]


SLOTS = {
    "quenmark.headers": [
        "header_type", "headers_type", "keys", "clone", "get", "get_tuples", "add", "set",
        "get_single", "get_first", "remove", "merge", "contains", "intern_header_name_bytes",
        "simd_lower_bytes", "new_headers",
    ],
    "quenmark.messages": [
        "message_type", "request_type", "response_type", "get_headers", "get_first_header",
        "get_single_header", "remove_header", "_has_header", "has_header", "_add_header",
        "_add_header_if_missing", "add_header", "set_header", "content_type", "remove_headers",
        "get_headers_tuples", "init_prop", "with_content", "has_body", "declares_content_type",
        "declares_json", "declares_xml", "expect_100_continue", "request_reset",
        "alloc_scratchpad", "is_redirect", "response_reset", "intern_header_name_bytes",
        "intern_method_str", "ensure_bytes", "method_without_body", "is_cors_preflight_request",
        "is_cors_request", "get_absolute_url_to_path", "get_request_absolute_url",
        "acquire_request", "acquire_response", "release_request", "release_response",
        "acquire_request_taking",
    ],
    "quenmark.routing": [
        "radix_node_type", "radix_tree_type", "router_type", "route_match_type",
        "radix_tree.insert", "radix_tree._parse_param_segment", "radix_tree.match",
        "radix_tree._match_recursive", "router.add_route", "router.get_match", "router.freeze",
        "fast_unquote", "request_router_type", "request_router.get_match",
    ],
    "quenmark.scribe": [
        "MAX_RESPONSE_CHUNK_SIZE", "set_headers_for_response_content", "write_sse",
        "extract_rsgi_headers", "instantiate_rsgi_request", "send_rsgi_response_sync",
    ],
    "quenmark.keystone": [
        "keystone_type", "get_http_exception_handler", "get_exception_handler",
        "is_handled_exception",
    ],
}


def base(module):
    return _get_pointer(module._C_API, (module.__name__ + "._C_API").encode())


def header(module):
    return Header.from_address(base(module))


def address(module, slot):
    """The pointer stored in slot `slot` (a function or a type object)."""
    index = SLOTS[module.__name__].index(slot)
    return ctypes.c_void_p.from_address(
        base(module) + ctypes.sizeof(Header) + index * ctypes.sizeof(ctypes.c_void_p)).value


def function(module, slot, restype, *argtypes):
    """Slot `slot` as a callable; PYFUNCTYPE raises the exception a failing entry point set."""
    return ctypes.PYFUNCTYPE(restype, *argtypes)(address(module, slot))
