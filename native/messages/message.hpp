// Message's native operations (C-level entry points). Those marked overridable honour a Python
// subclass's override; the others run the built-in body. Object results are new references
// (null with an error set); int results are 0/1 or -1 with an error set.
#pragma once

#include <Python.h>

#include <span>

#include "messages/messages_api.hpp"

namespace qm::messages {

extern PyTypeObject MessageType;
extern PyTypeObject RequestType;
extern PyTypeObject ResponseType;

inline MessageObject *as_message(PyObject *self) { return reinterpret_cast<MessageObject *>(self); }

// Truth of a message's content (None and a false object mean no body), without a call for
// None. The caller holds its own reference to `content`: `__bool__` may replace the field.
inline int content_truth(PyObject *content) {
    if (content == Py_None || content == nullptr) return 0;
    return PyObject_IsTrue(content);
}

// True for instances of the three built-in types themselves: they never carry an override, so
// the entry points skip the override check for them.
inline bool is_builtin_message(PyObject *self) {
    PyTypeObject *t = Py_TYPE(self);
    return t == &MessageType || t == &RequestType || t == &ResponseType;
}

PyObject *get_headers(PyObject *self, PyObject *key);                 // overridable: list
PyObject *get_first_header(PyObject *self, PyObject *key);            // overridable
PyObject *get_single_header(PyObject *self, PyObject *key);           // overridable
int remove_header(PyObject *self, PyObject *key);                     // overridable
int _has_header(PyObject *self, PyObject *key);
int has_header(PyObject *self, PyObject *key);                        // overridable
int _add_header(PyObject *self, PyObject *key, PyObject *value);
int _add_header_if_missing(PyObject *self, PyObject *key, PyObject *value);
int add_header(PyObject *self, PyObject *key, PyObject *value);       // overridable
int set_header(PyObject *self, PyObject *key, PyObject *value);       // overridable
PyObject *content_type(PyObject *self);                               // overridable: bytes or None
int remove_headers(PyObject *self, PyObject *headers);
PyObject *get_headers_tuples(PyObject *self, PyObject *key);          // list
// Calls `on_value(value, arg)` for each value `get_headers(key)` (through the override check)
// gives, in order; `on_value` returns 0 to go on or -1 on error. Without an override the values
// are taken from the pairs as they are scanned, with no list in between. 0, or -1 with an error.
int for_each_header_value(PyObject *self, PyObject *key, int (*on_value)(PyObject *, PyObject *),
                          PyObject *arg);
int init_prop(PyObject *self, PyObject *name, PyObject *value);
PyObject *with_content(PyObject *self, PyObject *content);            // overridable
int has_body(PyObject *self);                                         // overridable
int declares_content_type(PyObject *self, PyObject *type);            // overridable
int declares_json(PyObject *self);                                    // overridable
int declares_xml(PyObject *self);                                     // overridable

// None stays None; a known name becomes the library's shared object; anything else is returned
// as it is. `name` must be bytes or None. New reference.
PyObject *intern_header_name_bytes(PyObject *name);
// The header list built from a server's or caller's list: 2-tuples with a bytes name are re-made
// with the interned name, everything else is taken over. New list; None or empty gives [].
PyObject *normalise_headers(PyObject *headers);
// Appends (name, value) to the message's list as it is (no interning); -1 with an error set.
int append_pair(PyObject *self, PyObject *name, PyObject *value);

// `content.dispose()`, as a message does it when it lets its content go. -1 with an error set.
int dispose_content_object(PyObject *content);

// Message's own Python methods, getters/setters and the constructor's allocation, shared with the
// derived types.
std::span<const PyMethodDef> message_methods();
PyObject *message_alloc(PyTypeObject *type);  // every object field None
int message_traverse(PyObject *self, visitproc visit, void *arg);
int message_clear(PyObject *self);

// The module function parse_charset: str or None. Sets an error on failure.
PyObject *parse_charset(PyObject *value);

// Readies MessageType (after init_state). -1 with an error set.
int ready_message_type();


}  // namespace qm::messages
