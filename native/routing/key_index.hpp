// Lookup indexes over the dicts that a path is looked up in: a node's `children` (keys compared
// with the ASCII-lower-cased segment) and a tree's `static_routes` (keys compared with the path
// as it is). The dict stays the truth (it is public and may be changed from the host at any
// time); the index only spares the lookup the bytes object, the SipHash and the rich comparison.
// It is rebuilt when the dict it was built from is no longer its owner's, or when any indexed
// dict has changed since: every indexed dict is watched (PyDict_Watch), and each change bumps
// one global generation.
#pragma once

#include <Python.h>

#include <cstdint>

#include "common/ascii.hpp"
#include "common/dict_changes.hpp"
#include "common/ref.hpp"
#include "routing/routing_api.hpp"

namespace qm::routing {

// Registers the dict watcher. Without one (all watcher slots taken) lookups use the dicts
// directly. Returns -1 only on an unexpected error.
int init_key_index();

enum class KeyLookup { Found, Missing, Unindexed, Error };

// How the looked-up text compares with the dict's keys: lower-cased first, or as it is.
enum class KeyCase { Lowered, Exact };

void free_key_index(void **index);

// The index's layout, and the lookup of a short key in a current index, inline: that is every
// lookup of a path segment but the first after a change.
namespace key_index {

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

// Where a tag's probe starts. The keys come from the application's routes, never from clients,
// so a request can at worst probe a full chain of a table that it cannot grow.
inline Py_ssize_t first_slot(uint64_t tag, Py_ssize_t mask) {
    return static_cast<Py_ssize_t>(mix(0, tag) >> 7) & mask;
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

struct Slot {
    uint64_t tag;
    PyObject *key;    // exact bytes, borrowed from the dict; null for an empty slot
    PyObject *value;  // borrowed from the dict
};

struct Index {
    PyObject *dict;  // identity only: the dict this was built from
    uint64_t generation;
    bool usable;
    Py_ssize_t longest;  // the length of the longest key: a longer text is missing at once
    Py_ssize_t mask;
    Slot slots[];
};

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

// Whether `*slot` holds a current index of `dict`.
inline bool current(const Index *index, PyObject *dict) {
    return index && index->dict == dict && index->generation == Changes::count();
}

// The rest of `find_key`: the index (re)built at the first lookup after a change, and long keys.
KeyLookup find_key_slowly(void **slot, PyObject *dict, KeyCase key_case, const char *s,
                          Py_ssize_t n, PyObject **value);

}  // namespace key_index

// Looks up `s` among the keys of `dict`, through the index kept in `*index` (built or rebuilt
// as needed; its owner frees it with `free_key_index`). Found: `*value` is the dict's value,
// borrowed: good while the dict is not changed, so until host code may run. Unindexed: the caller
// must ask the dict itself (the index cannot represent it, e.g. a key that is not exact bytes).
inline KeyLookup find_key(void **slot, PyObject *dict, KeyCase key_case, const char *s,
                          Py_ssize_t n, PyObject **value) {
    using namespace key_index;
    const auto *index = static_cast<const Index *>(*slot);
    if (!current(index, dict) || !index->usable) [[unlikely]]
        return find_key_slowly(slot, dict, key_case, s, n, value);
    if (n > index->longest) return KeyLookup::Missing;
    if (n > kShortKey) return find_key_slowly(slot, dict, key_case, s, n, value);
    return probe_short(index,
                       key_case == KeyCase::Lowered ? short_tag<true>(s, n) : short_tag<false>(s, n),
                       value);
}

// `find_key`, with the dict itself asked when the index cannot answer: 1 when found, `*value`
// the value (borrowed as find_key gives it, or held by `owned` when the dict answered), 0 when
// missing, -1 with an error set. `ask(value)` is the dict's own lookup (host code may run):
// 0 with `*value` a new reference or null, -1 on error.
template <class Ask>
inline int find_key_or_ask(void **slot, PyObject *dict, KeyCase key_case, const char *s,
                           Py_ssize_t n, PyObject **value, Ref &owned, Ask &&ask) {
    switch (find_key(slot, dict, key_case, s, n, value)) {
        case KeyLookup::Found:
            return 1;
        case KeyLookup::Missing:
            return 0;
        case KeyLookup::Error:
            return -1;
        case KeyLookup::Unindexed:
            break;
    }
    if (ask(value) < 0) return -1;
    if (!*value) return 0;
    owned = Ref::steal(*value);
    return 1;
}

}  // namespace qm::routing
