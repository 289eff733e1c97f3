// Form and multipart parsing of Message: form, multipart, multipart_stream and files, and the
// module functions _multipart_to_dict_streaming and _encode.
#pragma once

#include <Python.h>

#include <span>

namespace qm::messages::forms {

// Entries for Message's method table and for the module's function table (no sentinel).
std::span<const PyMethodDef> message_methods();
std::span<const PyMethodDef> module_functions();

// Closes the file of every part of a parsed form (the values of `_form_data`, each an iterable
// of parts; a part whose `file` is true has it closed). 0, or -1 with an error set.
int close_form_files(PyObject *form_data);

}  // namespace qm::messages::forms
