// The coroutine methods of Request (is_disconnected) and Response (raise_for_status).
#pragma once

#include <Python.h>

#include <span>

namespace qm::messages {

std::span<const PyMethodDef> request_coroutine_methods();
std::span<const PyMethodDef> response_coroutine_methods();

}  // namespace qm::messages
