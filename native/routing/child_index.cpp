#include "routing/child_index.hpp"

#include <cstdint>
#include <cstring>

#include "common/ascii.hpp"
#include "common/dict_changes.hpp"

namespace qm::routing {

namespace {

using Changes = DictChanges<struct ChildIndexTag>;

// A hash of the lower-cased bytes, taken a word at a time (segments are short). The keys come from
// the application's routes, never from clients, so a request can at worst probe a full chain of
// a table that it cannot grow.
inline uint64_t mix(uint64_t h, uint64_t word) {
    h = (h ^ word) * 0x9e3779b97f4a7c15ull;
    return h ^ (h >> 29);
}

inline uint64_t hash_lowered(const char *s, Py_ssize_t n) {
    uint64_t h = static_cast<uint64_t>(n);
    if (n >= 8) {
        for (Py_ssize_t i = 0; i + 8 <= n; i += 8) h = mix(h, lower64(load64(s + i)));
        // The last word may overlap bytes already taken; that is harmless.
        return mix(h, lower64(load64(s + n - 8)));
    }
    if (n >= 4) return mix(h, lower64((load32(s) << 32) | load32(s + n - 4)));
    if (n == 0) return h;
    const auto byte = [&](Py_ssize_t i) { return static_cast<uint64_t>(static_cast<unsigned char>(s[i])); };
    return mix(h, lower64((byte(0) << 16) | (byte(n / 2) << 8) | byte(n - 1)));
}

struct Slot {
    uint64_t hash;
    PyObject *key;    // exact bytes, borrowed from the dict; null for an empty slot
    PyObject *value;  // borrowed from the dict
};

struct Index {
    PyObject *dict;  // identity only: the dict this was built from
    uint64_t generation;
    bool usable;
    Py_ssize_t mask;
    Slot slots[];
};

Index *as_index(RadixNodeObject *node) { return static_cast<Index *>(node->child_index); }

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
        const uint64_t h = hash_lowered(PyBytes_AS_STRING(key), PyBytes_GET_SIZE(key));
        Py_ssize_t i = static_cast<Py_ssize_t>(h) & index->mask;
        while (index->slots[i].key) i = (i + 1) & index->mask;
        index->slots[i] = Slot{h, key, value};
    }
    return index;
}

bool key_equals_lowered(PyObject *key, const char *s, Py_ssize_t n) {
    return PyBytes_GET_SIZE(key) == n && lowered_equal(s, PyBytes_AS_STRING(key), n);
}

}  // namespace

int init_child_index() {
    Changes::init();
    return 0;
}

void free_child_index(RadixNodeObject *node) {
    PyMem_Free(node->child_index);
    node->child_index = nullptr;
}

ChildLookup find_child(RadixNodeObject *node, const char *seg, Py_ssize_t n, PyObject **child) {
    if (!Changes::available()) return ChildLookup::Unindexed;
    PyObject *dict = node->children;
    Index *index = as_index(node);
    if (!index || index->dict != dict || index->generation != Changes::count()) {
        free_child_index(node);
        index = build(dict);
        if (!index) return ChildLookup::Error;
        node->child_index = index;
    }
    if (!index->usable) return ChildLookup::Unindexed;
    const uint64_t h = hash_lowered(seg, n);
    for (Py_ssize_t i = static_cast<Py_ssize_t>(h) & index->mask; index->slots[i].key;
         i = (i + 1) & index->mask) {
        const Slot &slot = index->slots[i];
        if (slot.hash == h && key_equals_lowered(slot.key, seg, n)) {
            *child = Py_NewRef(slot.value);
            return ChildLookup::Found;
        }
    }
    return ChildLookup::Missing;
}

}  // namespace qm::routing
