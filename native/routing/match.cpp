// RadixTree lookup. The recursive algorithm (static child, then parameter child, then catch-all,
// backtracking on failure) runs over an explicit stack of frames, so a path of any depth costs
// heap rather than C stack. Captured values are only recorded as positions during the walk and
// turned into strings once a route is found, so an abandoned branch allocates nothing, and the
// static children and static routes are found through their indexes (key_index.hpp) without
// building a key.
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/ascii.hpp"
#include "common/errors.hpp"
#include "common/ref.hpp"
#include "core/ascii_case.h"
#include "routing/key_index.hpp"
#include "routing/state.hpp"
#include "routing/unquote.hpp"
#include "routing/validators.hpp"

namespace qm::routing {

namespace {

// Trivial on purpose: the frame stack's inline storage is left uninitialised.
struct Span {
    const char *p;
    Py_ssize_t n;
};

// The static child for `seg` asked of the dict itself, whose keys the index cannot hold: a new
// reference in `*child`, null when there is none. 0, or -1 on error. The dict's comparison of
// the keys may run host code.
[[gnu::noinline]] int unindexed_child(RadixNodeObject *node, Span seg, PyObject **child) {
    *child = nullptr;
    Ref key = Ref::steal(PyBytes_FromStringAndSize(nullptr, seg.n));
    if (!key) return -1;
    simd_lowercase_ascii(seg.p, PyBytes_AS_STRING(key.get()), static_cast<size_t>(seg.n));
    Ref children = Ref::borrow(node->children);
    return PyDict_GetItemRef(children.get(), key.get(), child);
}

// The static route for the path `s[:n]`: a new reference in `*route`, null when there is none.
// 0, or -1 on error.
int static_route(RadixTreeObject *tree, PyObject *routes, const char *s, Py_ssize_t n,
                 PyObject **route) {
    Ref owned;
    const int found = find_key_or_ask(&tree->static_index, routes, KeyCase::Exact, s, n, route,
                                      owned, [&](PyObject **value) {
                                          Ref key = Ref::steal(PyBytes_FromStringAndSize(s, n));
                                          if (!key) return -1;
                                          return PyDict_GetItemRef(routes, key.get(), value) < 0 ? -1 : 0;
                                      });
    if (found <= 0) {
        *route = nullptr;
        return found;
    }
    *route = owned ? owned.release() : Py_NewRef(*route);
    return 0;
}

struct Frame {
    PyObject *node;       // borrowed, or strong once the stack is held (see Frames)
    Span seg;             // this level's path segment, once known
    Py_ssize_t cursor;    // where this level's segment is searched; then the position after it
    uint8_t stage;        // next choice to try: 0 static child, 1 parameter child, 2 catch-all
    bool via_param;       // entered through the parent's parameter child (captures its segment)
};

// The walk's stack. Its nodes are borrowed while no host code can run, for the tree cannot
// change then: they stay reachable from the tree (held by the caller) through the nodes below
// them. Before anything that may run host code (a validator of the host's, a key object's
// comparison) the walk calls `hold`, which takes a reference to every node on the stack and to
// every node pushed from then on, so that host code changing the tree cannot free a node the walk
// will come back to. Building the values of a match may run host code too (a replaced unquote, a
// name's hash), but the walk reads no node of the stack after that: what it needs from them is
// held by then.
class Frames {
  public:
    Frames() = default;
    Frames(const Frames &) = delete;
    Frames &operator=(const Frames &) = delete;
    ~Frames() {
        if (held_)
            while (size_) pop();
        if (data_ != inline_) PyMem_Free(data_);
    }

    bool push(PyObject *node, Py_ssize_t cursor, bool via_param) {
        if (size_ == capacity_ && !grow()) return false;
        if (held_) Py_INCREF(node);
        data_[size_++] = Frame{node, {nullptr, 0}, cursor, 0, via_param};
        captures_ += via_param;
        return true;
    }
    void pop() {
        const Frame &f = data_[--size_];
        captures_ -= f.via_param;
        if (held_) Py_DECREF(f.node);
    }
    void hold() {
        if (held_) return;
        held_ = true;
        for (Py_ssize_t i = 0; i < size_; ++i) Py_INCREF(data_[i].node);
    }
    Frame &operator[](Py_ssize_t i) { return data_[i]; }
    Py_ssize_t size() const { return size_; }
    // How many frames were entered through a parameter child.
    Py_ssize_t captures() const { return captures_; }

  private:
    bool grow() {
        const Py_ssize_t capacity = capacity_ * 2;
        auto *bigger = static_cast<Frame *>(PyMem_Malloc(sizeof(Frame) * capacity));
        if (!bigger) {
            PyErr_NoMemory();
            return false;
        }
        std::memcpy(bigger, data_, sizeof(Frame) * size_);
        if (data_ != inline_) PyMem_Free(data_);
        data_ = bigger;
        capacity_ = capacity;
        return true;
    }

    Frame inline_[32];
    Frame *data_ = inline_;
    Py_ssize_t size_ = 0;
    Py_ssize_t capacity_ = 32;
    Py_ssize_t captures_ = 0;
    bool held_ = false;
};

// What a source of segments gives next: a segment, the end, or the news that the path matches
// nothing at all.
enum class Next { Segment, End, Nothing };

// Whether "//" occurs: words taken seven bytes apart, so that every pair of neighbours lies
// within one of them.
bool has_double_slash(const char *s, Py_ssize_t n) {
    Py_ssize_t i = 0;
#if defined(__SSE2__)
    // Sixteen bytes fifteen apart first (SSE2 is the x86-64 baseline).
    const __m128i slash = _mm_set1_epi8('/');
    for (; i + 16 <= n; i += 15) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
        const unsigned m = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, slash)));
        if (m & (m >> 1)) return true;
    }
#endif
    for (; i + 8 <= n; i += 7) {
        const uint64_t m = bytes_equal_mask(load64(s + i), '/');
        if (m & (m >> 8)) return true;
    }
    for (; i + 1 < n; ++i)
        if (s[i] == '/' && s[i + 1] == '/') return true;
    return false;
}

// Segments of a request path without trailing "/", so the catch-all's remainder (the segments
// joined with "/") is simply the rest of the path. A path holding "//" matches nothing: the walk
// learns it from the empty segment there, or from a catch-all's remainder holding it, so the
// path is not scanned for it beforehand. (Every match either walks over each segment or takes
// the rest as a remainder, so no match gets past one.)
class PathSegments {
  public:
    PathSegments(const char *base, Py_ssize_t end) : base_(base), end_(end) {}

    Next next(Py_ssize_t cursor, Span &seg, Py_ssize_t &after) const {
        if (cursor < end_ && base_[cursor] == '/') ++cursor;
        if (cursor >= end_) return Next::End;
        const char *slash = find_byte(base_ + cursor, end_ - cursor, '/');
        const Py_ssize_t stop = slash ? slash - base_ : end_;
        if (stop == cursor) return Next::Nothing;
        seg = {base_ + cursor, stop - cursor};
        after = stop;
        return Next::Segment;
    }

    // The rest of the path from frame `f`'s segment: 1, or 0 when it holds "//".
    int remainder(const Frame &f, Span &out) {
        out = {f.seg.p, base_ + end_ - f.seg.p};
        return !has_double_slash(out.p, out.n);
    }

  private:
    const char *base_;
    Py_ssize_t end_;
};

// Segments given as a sequence of bytes objects (the C-level `_match_recursive`).
class ListSegments {
  public:
    explicit ListSegments(PyObject *tuple) : items_(tuple), count_(PyTuple_GET_SIZE(tuple)) {}

    Next next(Py_ssize_t cursor, Span &seg, Py_ssize_t &after) const {
        if (cursor >= count_) return Next::End;
        PyObject *item = PyTuple_GET_ITEM(items_, cursor);
        seg = {PyBytes_AS_STRING(item), PyBytes_GET_SIZE(item)};
        after = cursor + 1;
        return Next::Segment;
    }

    // The segments from frame `f`'s joined with "/": 1, or -1 on error.
    int remainder(const Frame &f, Span &out) {
        try {
            joined_.clear();
            for (Py_ssize_t i = f.cursor - 1; i < count_; ++i) {
                if (i > f.cursor - 1) joined_.push_back('/');
                PyObject *item = PyTuple_GET_ITEM(items_, i);
                joined_.append(PyBytes_AS_STRING(item), static_cast<size_t>(PyBytes_GET_SIZE(item)));
            }
        } catch (const std::bad_alloc &) {
            PyErr_NoMemory();
            return -1;
        }
        out = {joined_.data(), static_cast<Py_ssize_t>(joined_.size())};
        return 1;
    }

  private:
    PyObject *items_;
    Py_ssize_t count_;
    std::string joined_;
};

// What the module's own validators (and None, for none) say of `seg`: 1 when the parameter
// branch may be tried, 0 when not; -1 for any other validator, which `ask_validator` asks.
inline int builtin_validate(PyObject *validator, Span seg) {
    if (validator == Py_None) return 1;
    if (validator == S.int_rx) return matches_int(seg.p, seg.n);
    if (validator == S.float_rx) return matches_float(seg.p, seg.n);
    if (validator == S.uuid_rx) return matches_uuid(seg.p, seg.n);
    return -1;
}

// `validator.match(seg)`, host code: 1 when the parameter branch may be tried, 0 when not, -1 on
// error.
[[gnu::noinline]] int ask_validator(PyObject *validator, Span seg) {
    Ref keep = Ref::borrow(validator);
    Ref arg = Ref::steal(PyBytes_FromStringAndSize(seg.p, seg.n));
    if (!arg) return -1;
    Ref found = Ref::steal(PyObject_CallMethodOneArg(validator, S.n_match, arg.get()));
    if (!found) return -1;
    return PyObject_IsTrue(found.get());
}

PyObject *wildcard_key(RadixNodeObject *node) {
    PyObject *name = node->wildcard_name;
    return name != Py_None && PyUnicode_GET_LENGTH(name) > 0 ? name : S.n_tail;
}

// Records a match in `out`: `route` and its values, None for none. 1, as the lookup's answer.
inline int found(Found &out, Ref route, Ref values = Ref::none(), bool fresh = false) {
    out.route = std::move(route);
    out.values = std::move(values);
    out.fresh = fresh;
    return 1;
}

template <class Segments>
class Walk {
  public:
    Walk(Segments &segments, Py_ssize_t first_index, PyObject *base)
        : segments_(segments), first_index_(first_index), base_(base) {
        base_len_ = base == Py_None ? 0 : PyDict_GET_SIZE(base);
    }

    // 1 with the match in `out`, 0 when nothing matched, -1 on error.
    int run(PyObject *root, Py_ssize_t cursor, Found &out) {
        // The caller's values may run host code whenever they are copied into (a key's hash), so
        // with them the stack is held from the start.
        if (base_len_) frames_.hold();
        if (!frames_.push(root, cursor, false)) return -1;
        while (frames_.size() > 0) {
            const Py_ssize_t d = frames_.size() - 1;
            RadixNodeObject *node = as_node(frames_[d].node);
            if (frames_[d].stage == 0) {
                Span seg{};
                Py_ssize_t after = 0;
                const Next next = segments_.next(frames_[d].cursor, seg, after);
                if (next == Next::Nothing) return 0;
                if (next == Next::End) {
                    if (const int r = at_end(d, out)) return r;
                    frames_.pop();
                    continue;
                }
                frames_[d].seg = seg;
                frames_[d].cursor = after;
                frames_[d].stage = 1;
                PyObject *children = node->children;
                if (PyDict_CheckExact(children) && PyDict_GET_SIZE(children) > 0) {
                    const int r = static_child(node, seg, after);
                    if (r < 0) return -1;
                    if (r) continue;
                }
            }
            if (frames_[d].stage == 1) {
                frames_[d].stage = 2;
                const int r = param_child(node, d);
                if (r < 0) return -1;
                if (r) continue;
            }
            if (const int r = catch_all(d, out)) return r;
            frames_.pop();
        }
        return 0;
    }

  private:
    // Enters the static child of `node` for `seg`, if there is one: 1 when entered, 0 when there
    // is none, -1 on error. Inline: it is most of a level of the walk.
    [[gnu::always_inline]] int static_child(RadixNodeObject *node, Span seg, Py_ssize_t after) {
        PyObject *child = nullptr;
        Ref owned;
        const int found = find_key_or_ask(&node->child_index, node->children, KeyCase::Lowered,
                                          seg.p, seg.n, &child, owned, [&](PyObject **value) {
                                              frames_.hold();
                                              return unindexed_child(node, seg, value);
                                          });
        if (found <= 0) return found;
        if (!is_node(child)) return cannot_convert(child, &RadixNodeType);
        return frames_.push(child, after, false) ? 1 : -1;
    }

    // Enters the parameter child of frame `d`'s node when its validator accepts the frame's
    // segment: 1 when entered, 0 when not, -1 on error.
    int param_child(RadixNodeObject *node, Py_ssize_t d) {
        PyObject *child = node->param_child;
        if (child == Py_None) return 0;
        PyObject *validator = as_node(child)->param_validator;
        int ok = builtin_validate(validator, frames_[d].seg);
        if (ok < 0) {
            frames_.hold();
            Ref keep = Ref::borrow(child);
            ok = ask_validator(validator, frames_[d].seg);
            if (ok <= 0) return ok;
            return frames_.push(keep.get(), frames_[d].cursor, true) ? 1 : -1;
        }
        if (!ok) return 0;
        return frames_.push(child, frames_[d].cursor, true) ? 1 : -1;
    }

    // The value captured by the frame below `k` (which entered through a parameter child).
    PyObject *captured_value(Py_ssize_t k) {
        const Span seg = frames_[k - 1].seg;
        return fast_unquote_raw(seg.p, seg.n);
    }

    // The captured values so far (`depth` is the top of the stack) as a new dict: the caller's
    // values, then "_p_<index>" keys.
    Ref params_copy(Py_ssize_t depth) {
        Ref dict = Ref::steal(base_len_ ? PyDict_Copy(base_) : PyDict_New());
        if (!dict) return {};
        for (Py_ssize_t k = 1; k <= depth; ++k) {
            if (!frames_[k].via_param) continue;
            Ref key = Ref::steal(param_key(first_index_ + k - 1));
            Ref value = Ref::steal(captured_value(k));
            if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return {};
        }
        return dict;
    }

    // The captured values as the recursive algorithm would hold them: the caller's dict itself
    // when nothing was added on the way down.
    Ref params_view(Py_ssize_t depth) {
        if (frames_.captures() == 0) return Ref::borrow(base_len_ ? base_ : Py_None);
        return params_copy(depth);
    }

    // dict(zip(names, values)) where the values are those of the captured-values dict, then
    // `extra` (if given). `names` may change under us (a replaced unquote may run host code), so
    // it is re-read at every step.
    Ref zip_names(PyObject *names_list, Py_ssize_t depth, PyObject *extra) {
        Ref names = Ref::borrow(names_list);
        Ref dict = Ref::steal(PyDict_New());
        if (!dict) return {};
        Py_ssize_t at = 0;
        auto add = [&](PyObject *value) -> int {
            if (at >= PyList_GET_SIZE(names.get())) return 0;
            Ref name = Ref::borrow(PyList_GET_ITEM(names.get(), at++));
            return PyDict_SetItem(dict.get(), name.get(), value);
        };
        if (base_len_) {
            // The caller's values may share keys with the captured ones: go through the dict.
            Ref view = params_view(depth);
            if (!view) return {};
            Ref values = Ref::steal(PyDict_Values(view.get()));
            if (!values) return {};
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i)
                if (add(PyList_GET_ITEM(values.get(), i)) < 0) return {};
        } else {
            for (Py_ssize_t k = 1; k <= depth; ++k) {
                if (!frames_[k].via_param) continue;
                Ref value = Ref::steal(captured_value(k));
                if (!value || add(value.get()) < 0) return {};
            }
        }
        if (extra && add(extra) < 0) return {};
        return dict;
    }

    // The number of values the recursive algorithm's dict would hold. With caller's values that
    // may share keys with the captured ones, the dict has to be built to know.
    bool params_length(Py_ssize_t depth, Py_ssize_t &len) {
        if (!base_len_) {
            len = frames_.captures();
            return true;
        }
        Ref view = params_view(depth);
        if (!view) return false;
        len = PyDict_GET_SIZE(view.get());
        return true;
    }

    static bool usable_names(PyObject *names, Py_ssize_t len) {
        return PyList_CheckExact(names) && PyList_GET_SIZE(names) > 0 &&
               PyList_GET_SIZE(names) == len;
    }

    // The path is consumed at frame `d`. 1 with the match in `out`, 0 for none, -1 on error.
    int at_end(Py_ssize_t d, Found &out) {
        RadixNodeObject *node = as_node(frames_[d].node);
        if (node->is_leaf && node->route != Py_None) {
            Ref route = Ref::borrow(node->route);
            Py_ssize_t len;
            if (!params_length(d, len)) return -1;
            // Borrowed: nothing runs before `zip_names` takes its own reference.
            PyObject *names = node->param_names;
            if (len > 0 && usable_names(names, len)) {
                Ref dict = zip_names(names, d, nullptr);
                return dict ? found(out, std::move(route), std::move(dict), true) : -1;
            }
            if (len == 0) return found(out, std::move(route));
            Ref params = params_view(d);
            if (!params) return -1;
            const bool fresh = params.get() != base_;
            return found(out, std::move(route), std::move(params), fresh);
        }
        if (node->wildcard_child != Py_None && as_node(node->wildcard_child)->route != Py_None &&
            node->wildcard_suffix == Py_None) {
            Ref wild = Ref::borrow(node->wildcard_child);
            Ref key = Ref::borrow(wildcard_key(node));
            return catch_all_match(d, wild.get(), key.get(), S.empty_str, out);
        }
        return 0;
    }

    // The match through catch-all child `wild` of frame `d`'s node, `value` the remainder. The
    // route's names key the values when they count one more than the captures, whether the
    // remainder is empty or not (`/a/{x}/{rest:path}` gives `x` for "/a/1" as for "/a/1/b");
    // otherwise the captures keep their "_p_" keys and the remainder goes under `key`.
    int catch_all_match(Py_ssize_t d, PyObject *wild, PyObject *key, PyObject *value,
                        Found &out) {
        Ref route = Ref::borrow(as_node(wild)->route);
        Py_ssize_t len;
        if (!params_length(d, len)) return -1;
        PyObject *names = as_node(wild)->param_names;
        if (usable_names(names, len + 1)) {
            Ref dict = zip_names(names, d, value);
            return dict ? found(out, std::move(route), std::move(dict), true) : -1;
        }
        Ref params = params_copy(d);
        if (!params || PyDict_SetItem(params.get(), key, value) < 0) return -1;
        return found(out, std::move(route), std::move(params), true);
    }

    // The catch-all choice at frame `d`, whose segment is not the end of the path. 1 with the
    // match in `out`, 0 for none, -1 on error.
    int catch_all(Py_ssize_t d, Found &out) {
        RadixNodeObject *node = as_node(frames_[d].node);
        if (node->wildcard_child == Py_None) return 0;
        Ref wild = Ref::borrow(node->wildcard_child);
        if (as_node(wild.get())->route == Py_None) return 0;
        Span rest{};
        if (const int r = segments_.remainder(frames_[d], rest); r <= 0) return r;
        PyObject *suffix = node->wildcard_suffix;
        if (suffix != Py_None) {
            const Py_ssize_t k = PyBytes_GET_SIZE(suffix);
            if (rest.n < k) return 0;
            if (!lowered_equal(rest.p + rest.n - k, PyBytes_AS_STRING(suffix), k)) return 0;
            rest.n -= k;
        }
        Ref key = Ref::borrow(wildcard_key(node));
        Ref value = Ref::steal(fast_unquote_raw(rest.p, rest.n));
        if (!value) return -1;
        return catch_all_match(d, wild.get(), key.get(), value.get(), out);
    }

    Segments &segments_;
    Py_ssize_t first_index_;
    PyObject *base_;  // dict or None (borrowed from the caller)
    Py_ssize_t base_len_;
    Frames frames_;
};

}  // namespace

PyObject *lookup_answer(int status, Found &found) {
    if (status < 0) return nullptr;
    if (status == 0) Py_RETURN_NONE;
    if (found.answer) return Py_NewRef(found.answer.get());
    PyObject *tuple = PyTuple_New(2);
    if (!tuple) return nullptr;
    PyTuple_SET_ITEM(tuple, 0, found.route.release());
    PyTuple_SET_ITEM(tuple, 1, found.values.release());
    return tuple;
}

int tree_find(PyObject *self, PyObject *path, Found &out) {
    if (!require_bytes(path, "path")) return -1;
    RadixTreeObject *tree = as_tree(self);
    const char *s = PyBytes_AS_STRING(path);
    Py_ssize_t n = PyBytes_GET_SIZE(path);
    // A path holding "//" matches nothing; the walk finds one itself (see PathSegments).
    const Py_ssize_t whole = n;

    // Held while looked up in: a key's comparison may run host code that drops the dict, or the
    // tree (which the caller may have borrowed from a dict such code empties).
    Ref routes, held;
    const bool has_static =
        PyDict_CheckExact(tree->static_routes) && PyDict_GET_SIZE(tree->static_routes) > 0;
    if (has_static) {
        routes = Ref::borrow(tree->static_routes);
        held = Ref::borrow(self);
    }
    PyObject *route = nullptr;
    auto static_answer = [&](PyObject *route) {
        Ref held_route = Ref::steal(route);
        return has_double_slash(s, whole) ? 0 : found(out, std::move(held_route));
    };
    if (has_static) {
        if (static_route(tree, routes.get(), s, n, &route) < 0) return -1;
        if (route) return static_answer(route);
    }
    if (n > 1 && s[n - 1] == '/') {
        while (n > 0 && s[n - 1] == '/') --n;
        if (whole - n > 1) return 0;  // "//" at the end
        if (has_static) {
            if (static_route(tree, routes.get(), s, n, &route) < 0) return -1;
            if (route) return static_answer(route);
        }
    }

    if (tree->root == Py_None) return 0;
    // Borrowed: the walk holds what it goes back to once host code may run (see Frames).
    PyObject *root = tree->root;
    RadixNodeObject *r = as_node(root);
    if (n == 0 || (n == 1 && s[0] == '/')) {
        if (r->route != Py_None) return found(out, Ref::borrow(r->route));
        // An empty remainder cannot end with a required suffix: the root's `/*.css` no more
        // answers "/" than `/static/*.css` answers "/static".
        if (r->wildcard_child != Py_None && as_node(r->wildcard_child)->route != Py_None &&
            r->wildcard_suffix == Py_None) {
            Ref route = Ref::borrow(as_node(r->wildcard_child)->route);
            // The route's one name, as for a remainder that is not empty.
            PyObject *names = as_node(r->wildcard_child)->param_names;
            Ref key = Ref::borrow(PyList_CheckExact(names) && PyList_GET_SIZE(names) == 1
                                      ? PyList_GET_ITEM(names, 0)
                                      : wildcard_key(r));
            Ref params = Ref::steal(PyDict_New());
            if (!params || PyDict_SetItem(params.get(), key.get(), S.empty_str) < 0) return -1;
            return found(out, std::move(route), std::move(params), true);
        }
        return 0;
    }
    PathSegments segments(s, n);
    Walk<PathSegments> walk(segments, 0, Py_None);
    return walk.run(root, 0, out);
}

PyObject *tree_match_impl(PyObject *self, PyObject *path) {
    Found out;
    return lookup_answer(tree_find(self, path, out), out);
}

PyObject *tree_match_recursive(PyObject *, PyObject *current, PyObject *segments,
                               Py_ssize_t index, PyObject *params) {
    if (current == Py_None || !is_node(current))
        return arg_type_error("current", RadixNodeType.tp_name, current);
    if (!PyList_CheckExact(segments)) return arg_type_error("segments", "list", segments);
    if (!check_arg(params, &PyDict_Type, "params")) return nullptr;
    // A snapshot, so that host code run by a validator cannot pull the items from under us.
    Ref items = Ref::steal(PyList_AsTuple(segments));
    if (!items) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        PyObject *item = PyTuple_GET_ITEM(items.get(), i);
        if (!PyBytes_CheckExact(item)) return expected_type("bytes", item);
    }
    if (index < 0 || index > PyTuple_GET_SIZE(items.get())) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return nullptr;
    }
    ListSegments source(items.get());
    Walk<ListSegments> walk(source, index, params);
    Found out;
    return lookup_answer(walk.run(current, index, out), out);
}

}  // namespace qm::routing
