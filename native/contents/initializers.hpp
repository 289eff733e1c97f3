// The constructors of the contents module's common classes: text, JSON, and a request body from
// the server. The classes' `__init__`s call the `fill_*` functions; the installers bind each kind
// to its class and build the calls of the concrete classes directly.
#pragma once

#include <Python.h>

namespace qm::contents {

// The fields of a request body from the server, in the order of its kinds' slots (the ASGI kind
// has all of them, the others up to `kAnnounced`).
enum ServerBodyField {
    kType, kBody, kLength, kSource, kData, kComplete, kStreamed, kReceived, kMaxSize, kAnnounced,
    kReader, kReadDone, kServerBodyFields
};

// Installers: 0, or -1 with an error set.

// _UTF8Content(text), for TextContent and HTMLContent.
int install_text(PyTypeObject *owner, PyTypeObject *const *classes, int count);

// JSONContent(data, dumps=None): `media_type` is application/json; `settings`, the JSON settings
// whose `dumps_utf8` serialises by default, with `default_dumps` the dumps that `encode` stands
// for.
int install_json(PyTypeObject *cls, PyObject *media_type, PyObject *settings,
                 PyObject *default_dumps, PyObject *encode);

// _ServerBody(source, announced=-1), for RSGIContent, and ASGIContent(receive, announced=-1);
// `globals` are the contents module's, where MAX_BODY_SIZE is read. ASGIContent gets its native
// read (asgi_read.hpp).
int install_server_bodies(PyTypeObject *base, PyTypeObject *asgi, PyTypeObject *rsgi,
                          PyObject *globals);

// What each `__init__` does, all arguments positional: fill_text(self, text),
// fill_json(self, data, dumps), fill_server_body(self, source, announced),
// fill_asgi(self, receive, announced).
PyObject *fill_text(PyObject *, PyObject *const *args, Py_ssize_t nargs);
PyObject *fill_json(PyObject *, PyObject *const *args, Py_ssize_t nargs);
PyObject *fill_server_body(PyObject *, PyObject *const *args, Py_ssize_t nargs);
PyObject *fill_asgi(PyObject *, PyObject *const *args, Py_ssize_t nargs);

}  // namespace qm::contents
