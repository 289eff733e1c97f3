// Interning tables for HTTP methods, header names and media types. Each known text maps to one
// shared object, so callers can compare by identity before comparing bytes. A lookup hashes the
// text and probes a small open-addressed table: no allocation, no Python error on a miss.
#include <Python.h>

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "intern.h"

namespace {

constexpr std::string_view kMethods[] = {
    "GET", "POST", "PUT", "DELETE", "PATCH", "HEAD", "OPTIONS", "TRACE", "CONNECT",
};

constexpr std::string_view kHeaderNames[] = {
    "accept", "accept-charset", "accept-encoding", "accept-language", "accept-ranges",
    "access-control-allow-credentials", "access-control-allow-headers",
    "access-control-allow-methods", "access-control-allow-origin",
    "access-control-expose-headers", "access-control-max-age",
    "access-control-request-headers", "access-control-request-method", "age", "allow",
    "authorization", "cache-control", "connection", "content-disposition", "content-encoding",
    "content-language", "content-length", "content-location", "content-range",
    "content-security-policy", "content-type", "cookie", "date", "dnt", "etag", "expect",
    "expires", "forwarded", "from", "host", "if-match", "if-modified-since", "if-none-match",
    "if-range", "if-unmodified-since", "keep-alive", "last-modified", "link", "location",
    "origin", "pragma", "proxy-authenticate", "proxy-authorization", "range", "referer",
    "referrer-policy", "retry-after", "sec-fetch-dest", "sec-fetch-mode", "sec-fetch-site",
    "sec-fetch-user", "sec-websocket-accept", "sec-websocket-key", "sec-websocket-protocol",
    "sec-websocket-version", "server", "set-cookie", "strict-transport-security", "te",
    "trailer", "transfer-encoding", "upgrade", "upgrade-insecure-requests", "user-agent",
    "vary", "via", "www-authenticate", "x-content-type-options", "x-forwarded-for",
    "x-forwarded-host", "x-forwarded-proto", "x-frame-options", "x-real-ip",
    "x-request-id", "x-requested-with", "x-xss-protection",
};

constexpr std::string_view kContentTypes[] = {
    "application/json", "application/octet-stream", "application/x-www-form-urlencoded",
    "application/xml", "application/javascript", "application/pdf", "multipart/form-data",
    "text/plain", "text/html", "text/css", "text/csv", "text/xml", "text/event-stream",
    "text/javascript", "text/plain; charset=utf-8", "text/html; charset=utf-8",
    "application/json; charset=utf-8", "image/png", "image/jpeg", "image/gif",
    "image/svg+xml", "image/webp", "image/x-icon",
};

// Header names and methods share prefixes ("accept-", "content-", "x-forwarded-"), so the hash
// mixes the length with the first and last eight bytes: constant time whatever the length, and
// still distinct for every entry of the tables. The same two words, kept with each entry, decide
// a match of up to sixteen bytes without a call to memcmp.
// A match of up to sixteen bytes is decided on the words alone, so they must hold the bytes in
// order: the byte loads below are little-endian, like the word loads.
static_assert(std::endian::native == std::endian::little);

inline uint64_t load_partial(const char *s, size_t n) {
    // The first min(n, 8) bytes, zero-padded, as memcpy into a zeroed word gives them, but
    // without its byte loop: two loads that may overlap, which changes nothing since overlapping
    // bytes are the same. An empty text may come as a null pointer.
    const auto byte = [s](size_t i) { return uint64_t(static_cast<unsigned char>(s[i])) << (8 * i); };
    if (n >= 8) {
        uint64_t v;
        std::memcpy(&v, s, 8);
        return v;
    }
    if (n >= 4) {
        uint32_t lo, hi;
        std::memcpy(&lo, s, 4);
        std::memcpy(&hi, s + n - 4, 4);
        return uint64_t(lo) | uint64_t(hi) << (8 * (n - 4));
    }
    if (n == 0) return 0;
    return byte(0) | byte(n / 2) | byte(n - 1);
}

struct Words {
    uint64_t head, tail;
};

inline Words text_words(const char *s, size_t len) {
    return {load_partial(s, len), len > 8 ? load_partial(s + len - 8, 8) : 0};
}

inline uint32_t text_hash(Words w, size_t len) {
    uint64_t h = (w.head * 0x9E3779B97F4A7C15ull) ^ (w.tail + len) * 0xC2B2AE3D27D4EB4Full;
    return static_cast<uint32_t>(h ^ (h >> 29));
}

// Bytes [8, len - 8) of two texts longer than sixteen bytes, a word at a time; the last word may
// reach into the tail, which is compared already.
inline bool same_middle(const char *a, const char *b, size_t len) {
    for (size_t i = 8; i + 8 < len; i += 8) {
        uint64_t x, y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        if (x != y) return false;
    }
    return true;
}

enum class Kind { Str, Bytes };

// Slots are four times the entries, so probes stay short; a miss usually ends on the first slot.
template <size_t N>
class InternTable {
  public:
    InternTable(const std::string_view (&texts)[N], Kind kind) : texts_(texts), kind_(kind) {}

    PyObject *lookup(const char *s, size_t len) {
        if (!ready_ && !fill()) return nullptr;
        const Words w = text_words(s, len);
        uint32_t i = text_hash(w, len) & kMask;
        while (slots_[i].object) {
            const Slot &slot = slots_[i];
            // The words cover the first and the last eight bytes; only a longer text has a
            // middle left to compare.
            if (slot.text.size() == len && slot.words.head == w.head && slot.words.tail == w.tail &&
                (len <= 16 || same_middle(slot.text.data(), s, len)))
                return slot.object;
            i = (i + 1) & kMask;
        }
        return nullptr;
    }

  private:
    static constexpr size_t kSlots = std::bit_ceil(N * 4);
    static constexpr uint32_t kMask = kSlots - 1;
    struct Slot {
        std::string_view text;
        Words words{};
        PyObject *object = nullptr;  // owned for the life of the process
    };

    [[gnu::noinline, gnu::cold]] bool fill() {
        // A lookup must leave the error state as it found it, also when the caller already has
        // an exception pending.
        PyObject *pending = PyErr_GetRaisedException();
        const bool filled = make_objects();
        PyErr_SetRaisedException(pending);
        return filled;
    }

    bool make_objects() {
        std::array<PyObject *, N> made{};
        for (size_t n = 0; n < N; ++n) {
            const auto text = texts_[n];
            if (kind_ == Kind::Str) {
                made[n] = PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size()));
                if (made[n]) PyUnicode_InternInPlace(&made[n]);
            } else {
                made[n] = PyBytes_FromStringAndSize(text.data(), Py_ssize_t(text.size()));
            }
            if (!made[n]) {
                for (size_t k = 0; k < n; ++k) Py_DECREF(made[k]);
                // A lookup never reports an error; the next call tries again.
                PyErr_Clear();
                return false;
            }
        }
        for (size_t n = 0; n < N; ++n) {
            const auto text = texts_[n];
            const Words w = text_words(text.data(), text.size());
            uint32_t i = text_hash(w, text.size()) & kMask;
            while (slots_[i].object) i = (i + 1) & kMask;
            slots_[i] = Slot{text, w, made[n]};
        }
        ready_ = true;
        return true;
    }

    const std::string_view (&texts_)[N];
    Kind kind_;
    bool ready_ = false;
    std::array<Slot, kSlots> slots_{};
};

InternTable methods(kMethods, Kind::Str);
InternTable header_names(kHeaderNames, Kind::Bytes);
InternTable content_types(kContentTypes, Kind::Bytes);

}  // namespace

extern "C" PyObject *get_interned_method_str(const char *s, size_t len) {
    return methods.lookup(s, len);
}

extern "C" PyObject *get_interned_header_name_bytes(const char *s, size_t len) {
    return header_names.lookup(s, len);
}

extern "C" PyObject *get_interned_content_type_bytes(const char *s, size_t len) {
    return content_types.lookup(s, len);
}
