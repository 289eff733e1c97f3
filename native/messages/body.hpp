// Body reading of Message: read, read_raw, read_detached, detach_raw, stream, text, json, and
// the module coroutines _read_stream and _call_soon.
#pragma once

#include <Python.h>

#include <span>

namespace qm::messages::body {

// Entries for Message's method table (no sentinel).
std::span<const PyMethodDef> message_methods();
// Entries for the module's function table (no sentinel): _read_stream, _call_soon.
std::span<const PyMethodDef> module_functions();

}  // namespace qm::messages::body
