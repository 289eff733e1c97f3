#include "routing/key_index.hpp"

#include <cstdint>

#include "common/ascii.hpp"
#include "common/dict_changes.hpp"

namespace qm::routing {

namespace {

using Changes = DictChanges<struct KeyIndexTag>;

// What a slot is compared by. A key of at most seven bytes is its own tag: its bytes in a word,
// the length in the top byte, so equal tags mean equal keys and a hit reads nothing else. A
// longer key's tag is a hash with 0xff in the top byte (never a length), so a tag match is then
// confirmed against the key's bytes. A key's tag is taken of its bytes as they are, the looked-up
// text's of its bytes as they compare (lower-cased for the children).
constexpr int kShortKey = 7;
constexpr uint64_t kLongTag = 0xffull << 56;

inline uint64_t mix(uint64_t h, uint64_t word) {
    h = (h ^ word) * 0x9e3779b97f4a7c15ull;
    return h ^ (h >> 29);
}

template <bool kLower>
inline uint64_t word_of(uint64_t w) {
    return kLower ? lower64(w) : w;
}

inline uint64_t byte_at(const char *s, Py_ssize_t i) {
    return static_cast<uint64_t>(static_cast<unsigned char>(s[i])) << (8 * i);
}

// Up to seven bytes in the low bytes of a word (the rest zero), read without going past `n`:
// two words that may overlap, or the first, middle and last bytes of one to three.
inline uint64_t short_word(const char *s, Py_ssize_t n) {
    if (n >= 4) return load32(s) | (load32(s + n - 4) << (8 * (n - 4)));
    if (n == 0) return 0;
    return byte_at(s, 0) | byte_at(s, n >> 1) | byte_at(s, n - 1);
}

template <bool kLower>
inline uint64_t short_tag(const char *s, Py_ssize_t n) {
    return word_of<kLower>(short_word(s, n)) | (static_cast<uint64_t>(n) << 56);
}

template <bool kLower>
inline uint64_t tag_of(const char *s, Py_ssize_t n) {
    if (n <= kShortKey) return short_tag<kLower>(s, n);
    uint64_t h = static_cast<uint64_t>(n);
    for (Py_ssize_t i = 0; i + 8 <= n; i += 8) h = mix(h, word_of<kLower>(load64(s + i)));
    // The last word may overlap bytes already taken; that is harmless.
    h = mix(h, word_of<kLower>(load64(s + n - 8)));
    return (h & ~kLongTag) | kLongTag;
}

// Where a tag's probe starts. The keys come from the application's routes, never from clients,
// so a request can at worst probe a full chain of a table that it cannot grow.
inline Py_ssize_t first_slot(uint64_t tag, Py_ssize_t mask) {
    return static_cast<Py_ssize_t>(mix(0, tag) >> 7) & mask;
}

struct Slot {
    uint64_t tag;
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

// The slot whose tag is `tag`, for a tag that is the key itself: equal tags, equal keys.
inline KeyLookup probe_short(const Index *index, uint64_t tag, PyObject **value) {
    for (Py_ssize_t i = first_slot(tag, index->mask); index->slots[i].key;
         i = (i + 1) & index->mask) {
        if (index->slots[i].tag == tag) {
            *value = index->slots[i].value;
            return KeyLookup::Found;
        }
    }
    return KeyLookup::Missing;
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

// Whether `*slot` holds a current index of `dict`.
inline bool current(const Index *index, PyObject *dict) {
    return index && index->dict == dict && index->generation == Changes::count();
}

// Out of line, so that the lookup of a short key in a current index, the common case, stays a
// few instructions: the index (re)built at the first lookup after a change, and long keys.
[[gnu::noinline]] KeyLookup find_key_slowly(void **slot, PyObject *dict, KeyCase key_case,
                                            const char *s, Py_ssize_t n, PyObject **value) {
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
    return key_case == KeyCase::Lowered ? probe<true>(index, s, n, value)
                                        : probe<false>(index, s, n, value);
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

KeyLookup find_key(void **slot, PyObject *dict, KeyCase key_case, const char *s, Py_ssize_t n,
                   PyObject **value) {
    const auto *index = static_cast<const Index *>(*slot);
    if (n > kShortKey || !current(index, dict) || !index->usable) [[unlikely]]
        return find_key_slowly(slot, dict, key_case, s, n, value);
    return probe_short(index,
                       key_case == KeyCase::Lowered ? short_tag<true>(s, n) : short_tag<false>(s, n),
                       value);
}

}  // namespace qm::routing
