// An event is its lines in a fixed order (id, comment lines, event, data, retry), each ending in
// LF, then an empty line. Readers of the format end a line at CR LF, at LF and at a lone CR, so a
// field value must not carry any of them into its line: `id` and `event` lose their line breaks,
// and a comment becomes one comment line per line of its text. (A lone CR left in a value would
// end the line there and let the rest be read as a field of the sender's choosing.)
//
// The breaks are those of _NEW_LINES_RX. While it is the pattern compiled at import the text is
// scanned natively; an object put in its place is asked through its `sub` and `split`.
#include "scribe/sse.hpp"

#include <charconv>
#include <new>
#include <string>
#include <string_view>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/ref.hpp"
#include "scribe/state.hpp"

namespace qm::scribe {
namespace {

// 1 for a non-empty str, 0 for None or "", -1 with TypeError for anything else.
int has_text(PyObject *value) {
    if (value == Py_None) return 0;
    if (!PyUnicode_Check(value)) return expected_type("str", value);
    return PyUnicode_GET_LENGTH(value) > 0;
}

// The UTF-8 form of a str (which must stay alive while the view is used). False with an error
// set for another type or for text that cannot be encoded (lone surrogates).
bool utf8(PyObject *text, std::string_view &out) {
    if (!PyUnicode_Check(text)) {
        expected_type("str", text);
        return false;
    }
    Py_ssize_t n = 0;
    const char *s = PyUnicode_AsUTF8AndSize(text, &n);
    if (!s) return false;
    out = {s, size_t(n)};
    return true;
}

// The pieces of `text` between line breaks (CR LF, LF or a lone CR), the last one included even
// when empty, as the pattern's `split` gives them.
template <class F>
void for_each_line(std::string_view text, F on_line) {
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\r' && c != '\n') continue;
        on_line(text.substr(start, i - start));
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        start = i + 1;
    }
    on_line(text.substr(start));
}

class EventWriter {
  public:
    explicit EventWriter(Ref rx) : rx_(std::move(rx)) {}

    // "<prefix><value without its line breaks>\n"; nothing for None or "".
    bool single_line(std::string_view prefix, PyObject *value) {
        const int present = has_text(value);
        if (present <= 0) return present == 0;
        Ref cleaned = Ref::borrow(value);
        if (!native()) {
            PyObject *args[] = {rx_.get(), S.empty_str, value};
            cleaned = Ref::steal(PyObject_VectorcallMethod(
                S.n_sub, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
            if (!cleaned) return false;
        }
        std::string_view text;
        if (!utf8(cleaned.get(), text)) return false;
        out_ += prefix;
        if (native()) {
            for (const char c : text)
                if (c != '\r' && c != '\n') out_ += c;
        } else {
            out_ += text;
        }
        out_ += '\n';
        return true;
    }

    // ": <line>\n" for each line of the comment, empty lines included; nothing for None or "".
    bool comment(PyObject *value) {
        const int present = has_text(value);
        if (present <= 0) return present == 0;
        if (native()) {
            std::string_view text;
            if (!utf8(value, text)) return false;
            for_each_line(text, [this](std::string_view line) { comment_line(line); });
            return true;
        }
        Ref pieces = Ref::steal(PyObject_CallMethodOneArg(rx_.get(), S.n_split, value));
        if (!pieces) return false;
        Ref seq = Ref::steal(PySequence_Fast(pieces.get(), "split() must give a sequence"));
        if (!seq) return false;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
            std::string_view line;
            if (!utf8(PySequence_Fast_GET_ITEM(seq.get(), i), line)) return false;
            comment_line(line);
        }
        return true;
    }

    // "data: <write_data()>\n" when the data is true.
    bool data(PyObject *event, PyObject *data) {
        const int truth = PyObject_IsTrue(data);
        if (truth <= 0) return truth == 0;
        Ref text = Ref::steal(PyObject_CallMethodNoArgs(event, S.n_write_data));
        if (!text) return false;
        std::string_view encoded;
        Ref bytes;
        if (PyUnicode_Check(text.get())) {
            if (!utf8(text.get(), encoded)) return false;
        } else {
            // Whatever the rendering gave, it is asked to encode itself (None cannot).
            bytes = Ref::steal(PyObject_CallMethod(text.get(), "encode", "s", "utf-8"));
            if (!bytes) return false;
            if (!PyBytes_Check(bytes.get())) {
                expected_type("bytes", bytes.get());
                return false;
            }
            encoded = {PyBytes_AS_STRING(bytes.get()), size_t(PyBytes_GET_SIZE(bytes.get()))};
        }
        out_ += "data: ";
        out_ += encoded;
        out_ += '\n';
        return true;
    }

    // "retry: <digits>\n" for a retry of 0 or more.
    bool retry(PyObject *value) {
        const long long retry = PyLong_AsLongLong(value);
        if (retry == -1 && PyErr_Occurred()) return false;
        if (retry < 0) return true;
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, retry).ptr;
        out_ += "retry: ";
        out_.append(digits, size_t(end - digits));
        out_ += '\n';
        return true;
    }

    PyObject *finish() {
        out_ += '\n';
        return PyBytes_FromStringAndSize(out_.data(), Py_ssize_t(out_.size()));
    }

  private:
    bool native() const { return rx_.get() == S.new_lines_rx; }
    void comment_line(std::string_view line) {
        out_ += ": ";
        out_ += line;
        out_ += '\n';
    }

    Ref rx_;
    std::string out_;
};

PyObject *write_event(PyObject *event) {
    Ref id = Ref::steal(PyObject_GetAttr(event, S.n_id));
    if (!id) return nullptr;
    Ref comment = Ref::steal(PyObject_GetAttr(event, S.n_comment));
    if (!comment) return nullptr;
    Ref name = Ref::steal(PyObject_GetAttr(event, S.n_event));
    if (!name) return nullptr;
    Ref data = Ref::steal(PyObject_GetAttr(event, S.n_data));
    if (!data) return nullptr;
    Ref retry = Ref::steal(PyObject_GetAttr(event, S.n_retry));
    if (!retry) return nullptr;
    Ref rx = Ref::steal(module_global(S.n__NEW_LINES_RX));
    if (!rx) return nullptr;
    EventWriter w(std::move(rx));
    if (!w.single_line("id: ", id.get()) || !w.comment(comment.get()) ||
        !w.single_line("event: ", name.get()) || !w.data(event, data.get()) ||
        !w.retry(retry.get()))
        return nullptr;
    return w.finish();
}

}  // namespace

PyObject *write_sse(PyObject *event) {
    if (!PyObject_TypeCheck(event, S.server_sent_event_type))
        return arg_type_error("event", S.server_sent_event_type->tp_name, event);
    try {
        return write_event(event);
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

PyObject *py_write_sse(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"event"};
    PyObject *a[1] = {};
    if (!parse_args("write_sse", args, nargs, kwnames, names, 1, a)) return nullptr;
    return write_sse(a[0]);
}

}  // namespace qm::scribe
