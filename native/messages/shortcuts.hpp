// The response shortcuts most handlers answer with (quenmark.responses' text, html and json).
#pragma once

#include <Python.h>

#include <span>

namespace qm::messages {

// Entries for the module's function table (no sentinel).
std::span<const PyMethodDef> shortcut_functions();

}  // namespace qm::messages
