#include "routing/key_index.hpp"

#include <cstdint>

namespace qm::routing {

namespace {

using namespace key_index;

template <bool kLower>
inline uint64_t tag_of(const char *s, Py_ssize_t n) {
    if (n <= kShortKey) return short_tag<kLower>(s, n);
    uint64_t h = static_cast<uint64_t>(n);
    for (Py_ssize_t i = 0; i + 8 <= n; i += 8) h = mix(h, word_of<kLower>(load64(s + i)));
    // The last word may overlap bytes already taken; that is harmless.
    h = mix(h, word_of<kLower>(load64(s + n - 8)));
    return (h & ~kLongTag) | kLongTag;
}

// Builds the index of `dict`; null with an error set on failure.
Index *build(PyObject *dict) {
    if (Changes::watch(dict) < 0) return nullptr;
    const Py_ssize_t used = PyDict_GET_SIZE(dict);
    Py_ssize_t capacity = 4;
    while (capacity < used * 2) capacity *= 2;
    auto *index = static_cast<Index *>(PyMem_Calloc(1, sizeof(Index) + sizeof(Slot) * capacity));
    if (!index) {
        PyErr_NoMemory();
        return nullptr;
    }
    index->dict = dict;
    index->generation = Changes::count();
    index->usable = true;
    index->mask = capacity - 1;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyBytes_CheckExact(key)) {
            index->usable = false;
            break;
        }
        if (PyBytes_GET_SIZE(key) > index->longest) index->longest = PyBytes_GET_SIZE(key);
        const uint64_t tag = tag_of<false>(PyBytes_AS_STRING(key), PyBytes_GET_SIZE(key));
        Py_ssize_t i = first_slot(tag, index->mask);
        while (index->slots[i].key) i = (i + 1) & index->mask;
        index->slots[i] = Slot{tag, key, value};
    }
    return index;
}

template <bool kLower>
bool key_equals(PyObject *key, const char *s, Py_ssize_t n) {
    if (PyBytes_GET_SIZE(key) != n) return false;
    return kLower ? lowered_equal(s, PyBytes_AS_STRING(key), n)
                  : same_bytes(s, PyBytes_AS_STRING(key), n);
}

template <bool kLower>
KeyLookup probe(const Index *index, const char *s, Py_ssize_t n, PyObject **value) {
    if (n <= kShortKey) return probe_short(index, short_tag<kLower>(s, n), value);
    const uint64_t tag = tag_of<kLower>(s, n);
    for (Py_ssize_t i = first_slot(tag, index->mask); index->slots[i].key;
         i = (i + 1) & index->mask) {
        const Slot &slot = index->slots[i];
        if (slot.tag == tag && key_equals<kLower>(slot.key, s, n)) {
            *value = slot.value;
            return KeyLookup::Found;
        }
    }
    return KeyLookup::Missing;
}

}  // namespace

int init_key_index() {
    Changes::init();
    return 0;
}

void free_key_index(void **index) {
    PyMem_Free(*index);
    *index = nullptr;
}

namespace key_index {

KeyLookup find_key_slowly(void **slot, PyObject *dict, KeyCase key_case, const char *s,
                          Py_ssize_t n, PyObject **value) {
    auto *index = static_cast<Index *>(*slot);
    if (!current(index, dict)) {
        // Without a watcher no index is ever built, so the slot stays empty.
        if (!Changes::available()) return KeyLookup::Unindexed;
        free_key_index(slot);
        index = build(dict);
        *slot = index;
        if (!index) return KeyLookup::Error;
    }
    if (!index->usable) return KeyLookup::Unindexed;
    if (n > index->longest) return KeyLookup::Missing;
    return key_case == KeyCase::Lowered ? probe<true>(index, s, n, value)
                                        : probe<false>(index, s, n, value);
}

}  // namespace key_index

}  // namespace qm::routing
