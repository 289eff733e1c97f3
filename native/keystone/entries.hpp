// `asgi_entry` and `rsgi_entry`: the application's ASGI `__call__` and RSGI `__rsgi__`.
#pragma once

#include <span>

#include "keystone/coroutine_function.hpp"

namespace qm::keystone {

std::span<const CoroutineFunctionDef> entries();

}  // namespace qm::keystone
