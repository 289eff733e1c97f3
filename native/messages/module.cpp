// quenmark.messages: Message, Request and Response, and the table other modules call them by.
#include <Python.h>

#include "common/args.hpp"
#include "common/capi.hpp"
#include "common/coro.hpp"
#include "common/errors.hpp"
#include "common/methods.hpp"
#include "common/ref.hpp"
#include "messages/body.hpp"
#include "messages/forms.hpp"
#include "messages/message.hpp"
#include "messages/messages_api.hpp"
#include "messages/method_table.hpp"
#include "messages/pools.hpp"
#include "messages/request.hpp"
#include "messages/request_helpers.hpp"
#include "messages/response.hpp"
#include "messages/shortcuts.hpp"
#include "messages/state.hpp"

namespace qm::messages {
namespace {

PyObject *py_parse_charset(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"value"};
    PyObject *a[1] = {};
    if (!parse_args("parse_charset", args, nargs, kwnames, names, 1, a)) return nullptr;
    if (!check_arg(a[0], &PyBytes_Type, "value")) return nullptr;
    return parse_charset(a[0]);
}

const PyMethodDef kFunctions[] = {
    {"parse_charset", fastcall(py_parse_charset),
     METH_FASTCALL | METH_KEYWORDS,
     "parse_charset(value)\n--\n\nThe charset parameter of a Content-Type value as str, or None."},
};

CApi kApi = {
    .header = capi_header<CApi>(kTableName, kTableVersion),
    .message_type = &MessageType,
    .request_type = &RequestType,
    .response_type = &ResponseType,
    .get_headers = get_headers,
    .get_first_header = get_first_header,
    .get_single_header = get_single_header,
    .remove_header = remove_header,
    ._has_header = _has_header,
    .has_header = has_header,
    ._add_header = _add_header,
    ._add_header_if_missing = _add_header_if_missing,
    .add_header = add_header,
    .set_header = set_header,
    .content_type = content_type,
    .remove_headers = remove_headers,
    .get_headers_tuples = get_headers_tuples,
    .init_prop = init_prop,
    .with_content = with_content,
    .has_body = has_body,
    .declares_content_type = declares_content_type,
    .declares_json = declares_json,
    .declares_xml = declares_xml,
    .expect_100_continue = expect_100_continue,
    .request_reset = request_reset,
    .alloc_scratchpad = alloc_scratchpad,
    .is_redirect = is_redirect,
    .response_reset = response_reset,
    .intern_header_name_bytes = intern_header_name_bytes,
    .intern_method_str = intern_method_str,
    .ensure_bytes = ensure_bytes,
    .method_without_body = method_without_body,
    .is_cors_preflight_request = is_cors_preflight_request,
    .is_cors_request = is_cors_request,
    .get_absolute_url_to_path = get_absolute_url_to_path,
    .get_request_absolute_url = get_request_absolute_url,
    .acquire_request = acquire_request,
    .acquire_response = acquire_response,
    .release_request = release_request,
    .release_response = release_response,
    .acquire_request_taking = acquire_request_taking,
};

PyModuleDef kModuleDef = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "quenmark.messages",
    .m_doc = "HTTP messages: Message, Request and Response.",
    .m_size = -1,
};

PyObject *init_module() {
    if (init_state() < 0 || init_coroutines() < 0) return nullptr;
    kModuleDef.m_methods = join_methods(
        {kFunctions, body::module_functions(), pool_functions(), request_helper_functions(),
         forms::module_functions(), shortcut_functions()});
    if (ready_message_type() < 0 || ready_request_type() < 0 || ready_response_type() < 0)
        return nullptr;
    Ref module = Ref::steal(PyModule_Create(&kModuleDef));
    if (!module) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "Message", reinterpret_cast<PyObject *>(&MessageType)) < 0 ||
        PyModule_AddObjectRef(module.get(), "Request", reinterpret_cast<PyObject *>(&RequestType)) < 0 ||
        PyModule_AddObjectRef(module.get(), "Response", reinterpret_cast<PyObject *>(&ResponseType)) < 0 ||
        PyModule_AddObjectRef(module.get(), "_charset_rx", S.charset_rx) < 0)
        return nullptr;
    if (init_pools(module.get()) < 0) return nullptr;
    if (publish_capi(module.get(), kCapsule, &kApi) < 0) return nullptr;
    return module.release();
}

}  // namespace
}  // namespace qm::messages

PyMODINIT_FUNC PyInit_messages() { return qm::messages::init_module(); }
