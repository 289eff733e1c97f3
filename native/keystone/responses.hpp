// The responses the module builds itself, through the Response and content constructors bound
// at import. Each returns a new reference, or null with an error set.
#pragma once

#include <Python.h>

#include "common/ref.hpp"
#include "keystone/state.hpp"

namespace qm::keystone {

// Response(status)
inline PyObject *bare_response(PyObject *status) {
    PyObject *args[] = {nullptr, status};
    return PyObject_Vectorcall(reinterpret_cast<PyObject *>(S.response_type), args + 1,
                               1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// Response(status, content=content)
inline PyObject *response_with_content(PyObject *status, PyObject *content) {
    PyObject *args[] = {nullptr, status, content};
    return PyObject_Vectorcall(reinterpret_cast<PyObject *>(S.response_type), args + 1,
                               1 | PY_VECTORCALL_ARGUMENTS_OFFSET, S.kw_content);
}

// Response(status, content=TextContent(text))
inline PyObject *text_response(PyObject *status, PyObject *text) {
    Ref content = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject *>(S.text_content), text));
    if (!content) return nullptr;
    return response_with_content(status, content.get());
}

// Response(status, content=Content(b"application/json", data))
inline PyObject *json_response(PyObject *status, PyObject *data) {
    PyObject *args[] = {nullptr, S.application_json, data};
    Ref content = Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject *>(S.content), args + 1,
                                                 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!content) return nullptr;
    return response_with_content(status, content.get());
}

}  // namespace qm::keystone
