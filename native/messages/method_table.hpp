// Message's Python methods come from several files (header operations, body reading, forms).
// Each file exposes its entries as a span; the module joins them into the type's method table
// once, before the type is readied.
#pragma once

#include <Python.h>

#include <span>
#include <vector>

namespace qm::messages {

// Returns a method table holding every entry of `parts`, followed by the sentinel. The storage
// lives as long as the process, as a type's tp_methods must.
inline PyMethodDef *join_methods(std::initializer_list<std::span<const PyMethodDef>> parts) {
    auto *table = new std::vector<PyMethodDef>();
    for (auto part : parts) table->insert(table->end(), part.begin(), part.end());
    table->push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
    return table->data();
}

}  // namespace qm::messages
