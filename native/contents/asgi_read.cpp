// ASGIContent.read: the whole body, collected from `receive` event by event once and kept in
// `_data`. A Python coroutine cost a frame per call and per event, and the reader's bookkeeping
// (the current task, `_end_reading`) about as much again as the body's one event.
//
// One reader at a time takes events from the channel: `_reader` names it, and a reader that
// comes while it is set waits in `_wait_for_reader` (or is told that it is the one reading).
// Which task reads only matters once the read waits: until an event keeps it waiting, nothing
// but the read's own step has run, so `_reader` holds the contents module's `_UNSUSPENDED` and
// the task is looked up at the first wait, as most bodies arrive without one.
//
// The fields are read and stored by slot while the class is as the contents module made it, else
// by attribute (shape.hpp); a class that replaces `_count` or `_end_reading` has its own called.
// Everything else a read calls by name (`_wait_for_reader`, `_channel`, `_refuse_if_streamed`)
// is called on the ways that need it, which are never the common one.
#include "contents/asgi_read.hpp"

#include <cstring>

#include "common/coro.hpp"
#include "common/override.hpp"
#include "common/ref.hpp"
#include "contents/initializers.hpp"
#include "contents/state.hpp"

namespace qm::contents {
namespace {

Kind *asgi = nullptr;               // the ASGI kind, set by the installation
PyObject *unsuspended = nullptr;    // the contents module's _UNSUSPENDED, kept for the process
OverrideSite count_site{"_count"};
OverrideSite end_reading_site{"_end_reading"};

// The answer for the class read last: nearly every read is of ASGIContent itself.
Shape last;

// The content being read: its fields by slot or by attribute, as its class allows.
class Body {
  public:
    explicit Body(PyObject *self) : self_(self) { refresh(); }

    // Taken again after code that may have changed the class. A copy: other reads may change
    // `last` while this one waits.
    void refresh() {
        PyTypeObject *type = Py_TYPE(self_);
        if (type != last.type || type->tp_version_tag == 0 || type->tp_version_tag != last.version)
            last = shape_of(*asgi, type);
        shape_ = last;
    }

    PyObject *self() const { return self_; }
    Ref get(ServerBodyField field) const { return take(self_, *asgi, shape_, field); }
    int set(ServerBodyField field, PyObject *value) const {
        return put(self_, *asgi, shape_, field, value);
    }
    // 1, 0, or -1 with an error set.
    int truth(ServerBodyField field) const {
        Ref value = get(field);
        return value ? PyObject_IsTrue(value.get()) : -1;
    }

  private:
    PyObject *self_;
    Shape shape_;
};

// A global of the contents module, read when it is used (so that it may be replaced). New
// reference, or null with NameError.
Ref global(PyObject *name) { return Ref::steal(state::global(asgi->globals, name)); }

// `raise <exception class named by the global>(message)`, or without a message when null.
Raised raise_global(PyObject *name, PyObject *message) {
    Ref cls = global(name);
    if (!cls) return {};
    Ref exc = Ref::steal(message ? PyObject_CallOneArg(cls.get(), message)
                                 : PyObject_CallNoArgs(cls.get()));
    if (!exc) return {};
    if (!PyExceptionInstance_Check(exc.get())) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        return {};
    }
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.get())), exc.get());
    return {};
}

// `self.<method>()`, for the methods that are always called by name. 0, or -1 with an error set.
int call(const Body &body, PyObject *method) {
    Ref result = Ref::steal(PyObject_CallMethodNoArgs(body.self(), method));
    return result ? 0 : -1;
}

// An exact int small enough to be held in a machine word, as such (the byte counts nearly always
// are); false for anything else, whose arithmetic is then Python's.
bool small_int(PyObject *value, long long &out) {
    if (!PyLong_CheckExact(value) ||
        !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject *>(value)))
        return false;
    out = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject *>(value));
    return true;
}

// `a + size`. New reference.
Ref add(PyObject *a, Py_ssize_t size) {
    long long value = 0;
    if (small_int(a, value) && size < (Py_ssize_t{1} << 62))  // (a compact int is far smaller)
        return Ref::steal(PyLong_FromLongLong(value + size));
    Ref added = Ref::steal(PyLong_FromSsize_t(size));
    return added ? Ref::steal(PyNumber_Add(a, added.get())) : Ref{};
}

// `a > b`: 1, 0, or -1 with an error set.
int greater(PyObject *a, PyObject *b) {
    long long x = 0, y = 0;
    if (small_int(a, x) && small_int(b, y)) return x > y;
    return PyObject_RichCompareBool(a, b, Py_GT);
}

// `self._count(size)`: the chunk's bytes added to those received, within `max_size` and the
// announced length. 0, or -1 with an error set (ContentTooLarge beyond the limit).
int count(const Body &body, Py_ssize_t size) {
    const int overridden = is_overridden(count_site, body.self(), asgi->owner);
    if (overridden) {
        Ref added = overridden < 0 ? Ref{} : Ref::steal(PyLong_FromSsize_t(size));
        return added && call_override(count_site, body.self(), added.get()) ? 0 : -1;
    }
    Ref received = body.get(kReceived);
    if (received) received = add(received.get(), size);
    if (!received || body.set(kReceived, received.get()) < 0) return -1;
    Ref limit = body.get(kMaxSize);
    if (!limit) return -1;
    if (limit.get() == Py_None) return 0;
    int beyond = greater(received.get(), limit.get());
    if (beyond == 0) {
        Ref announced = body.get(kAnnounced);
        beyond = announced ? greater(announced.get(), limit.get()) : -1;
    }
    if (beyond <= 0) return beyond;
    // What came so far is dropped: the body can no longer be read whole.
    if (body.set(kStreamed, Py_True) < 0) return -1;
    Ref shown = Ref::steal(PyObject_Format(limit.get(), nullptr));
    Ref message = shown ? Ref::steal(PyUnicode_FromFormat("The request body is larger than %U bytes",
                                                          shown.get()))
                        : Ref{};
    return message ? raise_global(S.n_ContentTooLarge, message.get()) : -1;
}

// `self._end_reading()`: no reader any more, and those waiting for it are released.
int end_reading(const Body &body) {
    const int overridden = is_overridden(end_reading_site, body.self(), asgi->owner);
    if (overridden) return overridden < 0 || !call_override(end_reading_site, body.self()) ? -1 : 0;
    if (body.set(kReader, Py_None) < 0) return -1;
    Ref done = body.get(kReadDone);
    if (!done) return -1;
    if (done.get() == Py_None) return 0;
    if (body.set(kReadDone, Py_None) < 0) return -1;
    Ref finished = Ref::steal(PyObject_CallMethodNoArgs(done.get(), S.n_done));
    const int is_finished = finished ? PyObject_IsTrue(finished.get()) : -1;
    if (is_finished != 0) return is_finished < 0 ? -1 : 0;
    Ref result = Ref::steal(PyObject_CallMethodOneArg(done.get(), S.n_set_result, Py_None));
    return result ? 0 : -1;
}

// `_reader` becomes the current task (`_current_task()`), once the read waits.
int become_reader(const Body &body) {
    Ref current = global(S.n__current_task);
    Ref task = current ? Ref::steal(PyObject_CallNoArgs(current.get())) : Ref{};
    return task ? body.set(kReader, task.get()) : -1;
}

// Runs a cleanup while `pending` is being raised: a failure of the cleanup replaces it, with it
// as its context, as in an `except` or `finally` block.
template <class Cleanup>
void while_raising(Ref &pending, Cleanup cleanup) {
    if (cleanup() == 0) return;
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    if (raised.get() != pending.get()) PyException_SetContext(raised.get(), pending.release());
    pending = std::move(raised);
}

// What an event holds under the keys the read takes, as `event.get(key, fallback)` gives it. A
// server's event is a dict whose keys were written in code, so they are the interned names
// themselves: one pass over its items finds them, and only a key it did not find so is looked
// up. Any other event is asked with its own `get`, key by key as the read needs them.
class EventFields {
  public:
    enum Key { kTypeKey, kBodyKey, kMoreBodyKey, kKeys };

    explicit EventFields(PyObject *event) : event_(event) {
        if (!PyDict_CheckExact(event)) return;
        PyObject *key = nullptr, *value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(event, &pos, &key, &value)) {
            for (int k = 0; k < kKeys; ++k)
                if (key == name(Key(k))) found_[k] = Ref::borrow(value);
        }
    }

    // New reference, or null with an error set.
    Ref get(Key k, PyObject *fallback) {
        if (found_[k]) return std::move(found_[k]);
        if (!PyDict_CheckExact(event_))  // `get(key)` when the default is None
            return Ref::steal(fallback == Py_None
                                  ? PyObject_CallMethodOneArg(event_, S.n_get, name(k))
                                  : PyObject_CallMethodObjArgs(event_, S.n_get, name(k), fallback,
                                                               nullptr));
        PyObject *value = nullptr;
        if (PyDict_GetItemRef(event_, name(k), &value) < 0) return {};
        return value ? Ref::steal(value) : Ref::borrow(fallback);
    }

  private:
    static PyObject *name(Key k) {
        return k == kTypeKey ? S.n_type : k == kBodyKey ? S.n_body : S.n_more_body;
    }

    PyObject *event_;
    Ref found_[kKeys];
};

// `value <op> text` for an event's type: 1, 0, or -1 with an error set.
int compare(PyObject *value, PyObject *text, int op) {
    if (PyUnicode_CheckExact(value))
        return (value == text || PyUnicode_Equal(value, text)) == (op == Py_EQ);
    return PyObject_RichCompareBool(value, text, op);
}

// The body's chunks. Most bodies come in one, kept as it came; a second one starts a buffer that
// grows in place, by an eighth over what it holds as io.BytesIO grows, and is handed out
// without a copy, so that reading N bytes holds about N.
class Gathered {
  public:
    bool any() const { return first_ || buffer_; }

    // Adds an exact bytes chunk. 0, or -1 with an error set.
    int add(Ref chunk) {
        if (!any()) {
            first_ = std::move(chunk);
            return 0;
        }
        const Py_ssize_t held = buffer_ ? size_ : PyBytes_GET_SIZE(first_.get());
        if (PyBytes_GET_SIZE(chunk.get()) > PY_SSIZE_T_MAX - held) {
            PyErr_NoMemory();
            return -1;
        }
        if (reserve(held + PyBytes_GET_SIZE(chunk.get())) < 0) return -1;
        if (first_) {
            append(first_.get());
            first_.reset();
        }
        append(chunk.get());
        return 0;
    }

    // The body: the one chunk, the buffer cut to its size, or b"". Null with an error set.
    Ref value() {
        if (!buffer_) return any() ? std::move(first_) : Ref::borrow(S.empty_bytes);
        PyObject *bytes = buffer_.release();
        if (_PyBytes_Resize(&bytes, size_) < 0) return {};
        return Ref::steal(bytes);
    }

  private:
    int reserve(Py_ssize_t needed) {
        if (buffer_ && needed <= PyBytes_GET_SIZE(buffer_.get())) return 0;
        const Py_ssize_t spare = needed >> 3;
        const Py_ssize_t capacity = needed > PY_SSIZE_T_MAX - spare ? needed : needed + spare;
        if (!buffer_) {
            buffer_ = Ref::steal(PyBytes_FromStringAndSize(nullptr, capacity));
            return buffer_ ? 0 : -1;
        }
        PyObject *bytes = buffer_.release();
        if (_PyBytes_Resize(&bytes, capacity) < 0) return -1;  // `bytes` is gone with it
        buffer_ = Ref::steal(bytes);
        return 0;
    }

    void append(PyObject *chunk) {
        const Py_ssize_t n = PyBytes_GET_SIZE(chunk);
        std::memcpy(PyBytes_AS_STRING(buffer_.get()) + size_, PyBytes_AS_STRING(chunk),
                    static_cast<size_t>(n));
        size_ += n;
    }

    Ref first_;
    Ref buffer_;  // owned here alone, so that it may be resized
    Py_ssize_t size_ = 0;
};

// Takes one event's chunk: counted, made bytes, gathered. 0, or -1 with an error set.
int take_chunk(const Body &body, Gathered &gathered, EventFields &event) {
    Ref chunk = event.get(EventFields::kBodyKey, Py_None);
    if (!chunk) return -1;
    if (PyBytes_CheckExact(chunk.get())) {
        const Py_ssize_t size = PyBytes_GET_SIZE(chunk.get());
        if (!size) return 0;
        return count(body, size) < 0 ? -1 : gathered.add(std::move(chunk));
    }
    const int given = PyObject_IsTrue(chunk.get());
    if (given <= 0) return given;
    const Py_ssize_t size = PyObject_Size(chunk.get());
    if (size < 0 || count(body, size) < 0) return -1;
    chunk = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyBytes_Type), chunk.get()));
    return chunk ? gathered.add(std::move(chunk)) : -1;
}

enum class Event { More, Last, Failed };

// What one event brings: more of the body, its last part, or a failure (MessageAborted for a
// disconnect). Events of other types are skipped.
Event take_event(const Body &body, Gathered &gathered, PyObject *event_object) {
    EventFields event{event_object};
    Ref type = event.get(EventFields::kTypeKey, Py_None);
    if (!type) return Event::Failed;
    const int other = compare(type.get(), S.http_request, Py_NE);
    if (other < 0) return Event::Failed;
    if (other) {
        const int gone = compare(type.get(), S.http_disconnect, Py_EQ);
        if (gone) {
            if (gone > 0) raise_global(S.n_MessageAborted, nullptr);
            return Event::Failed;
        }
        return Event::More;
    }
    if (take_chunk(body, gathered, event) < 0) return Event::Failed;
    Ref more = event.get(EventFields::kMoreBodyKey, Py_False);
    const int goes_on = more ? PyObject_IsTrue(more.get()) : -1;
    if (goes_on < 0) return Event::Failed;
    return goes_on ? Event::More : Event::Last;
}

Coro read_body(Ref self) {
    Body body{self.get()};
    Ref data = body.get(kData);
    if (!data) co_return Raised{};
    if (data.get() != Py_None) co_return data;
    for (;;) {
        Ref reader = body.get(kReader);
        if (!reader) co_return Raised{};
        if (reader.get() == Py_None) break;
        reader.reset();
        Ref waited = co_await await_(Ref::steal(PyObject_CallMethodNoArgs(self.get(), S.n__wait_for_reader)));
        if (!waited) co_return Raised{};
        body.refresh();
        data = body.get(kData);
        if (!data) co_return Raised{};
        if (data.get() != Py_None) co_return data;
    }
    Ref receive = body.get(kSource);
    if (!receive) co_return Raised{};
    const int streamed = receive.get() == Py_None ? 1 : body.truth(kStreamed);
    if (streamed < 0) co_return Raised{};
    if (streamed) {  // the checks' own calls only when one fails
        receive = Ref::steal(PyObject_CallMethodNoArgs(self.get(), S.n__channel));
        if (!receive || call(body, S.n__refuse_if_streamed) < 0) co_return Raised{};
    }
    const int complete = body.truth(kComplete);
    if (complete < 0) co_return Raised{};
    if (complete) {
        if (body.set(kData, S.empty_bytes) < 0) co_return Raised{};
        co_return body.get(kData);
    }
    if (body.set(kReader, unsuspended) < 0) co_return Raised{};
    Gathered gathered;
    bool waited = false;
    Event taken = Event::More;
    while (taken == Event::More) {
        Started step = Started::start(Ref::steal(PyObject_CallNoArgs(receive.get())));
        if (step.waits() && !waited) {
            waited = true;
            if (become_reader(body) < 0) {
                // The awaitable is dropped unfinished: its cleanup must not see our error.
                Ref error = Ref::steal(PyErr_GetRaisedException());
                step = Started{};
                PyErr_SetRaisedException(error.release());
            }
        }
        Ref event = co_await std::move(step);
        body.refresh();
        taken = event ? take_event(body, gathered, event.get()) : Event::Failed;
    }
    if (taken == Event::Failed) {
        Ref pending = Ref::steal(PyErr_GetRaisedException());
        // Part of the body is gone: a later read must not return it truncated.
        if (gathered.any()) while_raising(pending, [&] { return body.set(kStreamed, Py_True); });
        while_raising(pending, [&] { return end_reading(body); });
        PyErr_SetRaisedException(pending.release());
        co_return Raised{};
    }
    if (end_reading(body) < 0 || body.set(kComplete, Py_True) < 0) co_return Raised{};
    data = gathered.value();
    if (!data || body.set(kData, data.get()) < 0) co_return Raised{};
    co_return data;
}

PyObject *py_read(PyObject *self, PyObject *) {
    return read_body(Ref::borrow(self)).release("ASGIContent.read");
}

PyMethodDef read_def = {
    "read", py_read, METH_NOARGS,
    "read($self, /)\n--\n\nThe whole body: collected from `receive` once, then kept and given "
    "again. MessageAborted when the client disconnects first."};

// The class's own function `name` (kept for the process), the built-in of an override site.
int bind_site(OverrideSite &site, PyTypeObject *owner, PyObject *name) {
    PyObject *function = _PyType_Lookup(owner, name);
    if (!function || !PyFunction_Check(function)) {
        PyErr_Format(PyExc_TypeError, "%.200s.%U is not a Python function", owner->tp_name, name);
        return -1;
    }
    site.name = name;
    site.builtin = Py_NewRef(function);
    return 0;
}

}  // namespace

int install_asgi_read(Kind &kind) {
    if (kind.count != kServerBodyFields || !kind.globals) {
        PyErr_SetString(PyExc_RuntimeError, "the ASGI body constructor is not installed");
        return -1;
    }
    PyTypeObject *owner = kind.owner;
    if (bind_site(count_site, owner, S.n__count) < 0 ||
        bind_site(end_reading_site, owner, S.n__end_reading) < 0)
        return -1;
    asgi = &kind;
    Ref marker = global(S.n__UNSUSPENDED);
    if (!marker) return -1;
    Ref read = Ref::steal(PyDescr_NewMethod(owner, &read_def));
    if (!read || PyObject_SetAttr(reinterpret_cast<PyObject *>(owner), S.n_read, read.get()) < 0)
        return -1;
    unsuspended = marker.release();
    return 0;
}

}  // namespace qm::contents
