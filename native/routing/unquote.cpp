#include "routing/unquote.hpp"

#include <cstring>

#include "common/ref.hpp"
#include "routing/state.hpp"

namespace qm::routing {

namespace {

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Replaces every "%XX" (two hex digits) with its byte; any other "%" stays. `out` holds `n` bytes.
Py_ssize_t percent_decode(const char *s, Py_ssize_t n, char *out) {
    Py_ssize_t o = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (s[i] == '%' && i + 2 < n) {
            const int hi = hex_value(static_cast<unsigned char>(s[i + 1]));
            const int lo = hex_value(static_cast<unsigned char>(s[i + 2]));
            if (hi >= 0 && lo >= 0) {
                out[o++] = static_cast<char>(hi * 16 + lo);
                i += 2;
                continue;
            }
        }
        out[o++] = s[i];
    }
    return o;
}

// Percent-decodes ASCII text and decodes the bytes as UTF-8 with replacement.
PyObject *decode_ascii_escaped(const char *s, Py_ssize_t n) {
    char stack[256];
    char *buf = n <= static_cast<Py_ssize_t>(sizeof stack) ? stack
                                                          : static_cast<char *>(PyMem_Malloc(n));
    if (!buf) return PyErr_NoMemory();
    const Py_ssize_t m = percent_decode(s, n, buf);
    PyObject *result = PyUnicode_DecodeUTF8(buf, m, "replace");
    if (buf != stack) PyMem_Free(buf);
    return result;
}

// Text with non-ASCII characters: each maximal ASCII run is unquoted and decoded on its own, and
// the other characters are kept, so an escape never combines with a character beside it.
PyObject *unquote_mixed(PyObject *text) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    PyUnicodeWriter *writer = PyUnicodeWriter_Create(n);
    if (!writer) return nullptr;
    char stack[256];
    char *run = stack;
    Py_ssize_t run_cap = sizeof stack;
    Py_ssize_t i = 0;
    bool ok = true;
    while (ok && i < n) {
        const Py_ssize_t start = i;
        if (PyUnicode_READ(kind, data, i) < 0x80) {
            while (i < n && PyUnicode_READ(kind, data, i) < 0x80) ++i;
            const Py_ssize_t len = i - start;
            if (len > run_cap) {
                char *bigger = static_cast<char *>(PyMem_Malloc(len));
                if (!bigger) {
                    PyErr_NoMemory();
                    ok = false;
                    break;
                }
                if (run != stack) PyMem_Free(run);
                run = bigger;
                run_cap = len;
            }
            for (Py_ssize_t k = 0; k < len; ++k)
                run[k] = static_cast<char>(PyUnicode_READ(kind, data, start + k));
            if (std::memchr(run, '%', static_cast<size_t>(len))) {
                // In place: the decoded form is never longer than the text.
                const Py_ssize_t m = percent_decode(run, len, run);
                ok = PyUnicodeWriter_DecodeUTF8Stateful(writer, run, m, "replace", nullptr) == 0;
            } else {
                ok = PyUnicodeWriter_WriteSubstring(writer, text, start, i) == 0;
            }
        } else {
            while (i < n && PyUnicode_READ(kind, data, i) >= 0x80) ++i;
            ok = PyUnicodeWriter_WriteSubstring(writer, text, start, i) == 0;
        }
    }
    if (run != stack) PyMem_Free(run);
    if (!ok) {
        PyUnicodeWriter_Discard(writer);
        return nullptr;
    }
    return PyUnicodeWriter_Finish(writer);
}

// The native unquote of a str known to contain "%".
PyObject *unquote_native(PyObject *text) {
    if (PyUnicode_IS_ASCII(text)) {
        return decode_ascii_escaped(reinterpret_cast<const char *>(PyUnicode_1BYTE_DATA(text)),
                                    PyUnicode_GET_LENGTH(text));
    }
    return unquote_mixed(text);
}

bool contains_percent(PyObject *text) {
    return PyUnicode_FindChar(text, '%', 0, PyUnicode_GET_LENGTH(text), 1) >= 0;
}

// 1: the module's `unquote` is still the one bound at import; 0: `*replacement` holds another
// callable (new reference); -1: error (NameError when the global is gone).
int own_unquote(PyObject **replacement) {
    PyObject *fn = module_global(S.n_unquote);
    if (!fn) return -1;
    if (fn == S.unquote) {
        Py_DECREF(fn);
        return 1;
    }
    *replacement = fn;
    return 0;
}

}  // namespace

PyObject *unquote_str(PyObject *text) {
    PyObject *replacement = nullptr;
    const int own = own_unquote(&replacement);
    if (own < 0) return nullptr;
    if (!own) {
        Ref fn = Ref::steal(replacement);
        return PyObject_CallOneArg(fn.get(), text);
    }
    if (!contains_percent(text)) return Py_NewRef(text);
    return unquote_native(text);
}

PyObject *unquote_raw_text(const char *s, Py_ssize_t n) {
    if (!std::memchr(s, '%', static_cast<size_t>(n))) return PyUnicode_DecodeUTF8(s, n, "replace");
    PyObject *replacement = nullptr;
    const int own = own_unquote(&replacement);
    if (own < 0) return nullptr;
    if (!own) {
        Ref fn = Ref::steal(replacement);
        Ref text = Ref::steal(PyUnicode_DecodeUTF8(s, n, "replace"));
        if (!text) return nullptr;
        return PyObject_CallOneArg(fn.get(), text.get());
    }
    bool ascii = true;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (static_cast<unsigned char>(s[i]) >= 0x80) {
            ascii = false;
            break;
        }
    }
    // ASCII bytes decode to themselves, so the bytes can be unescaped directly.
    if (ascii) return decode_ascii_escaped(s, n);
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(s, n, "replace"));
    if (!text) return nullptr;
    return unquote_mixed(text.get());
}

PyObject *fast_unquote(PyObject *val) {
    if (!require_bytes(val, "val")) return nullptr;
    return fast_unquote_raw(PyBytes_AS_STRING(val), PyBytes_GET_SIZE(val));
}

}  // namespace qm::routing
