// The interned names the constructors and the ASGI read use, and their constants, bound once at
// import.
#pragma once

#include <Python.h>

#include "common/module_state.hpp"

namespace qm::contents {

#define QM_CONTENTS_STATE(NAME, OBJECT, TYPE)                                                    \
    NAME(type) NAME(body) NAME(length) NAME(_source) NAME(_data) NAME(_complete) NAME(_streamed) \
    NAME(_received) NAME(max_size) NAME(announced) NAME(_reader) NAME(_read_done)              \
    NAME(_media_type) NAME(_argument) NAME(__init__) NAME(__new__) NAME(encode) NAME(dumps_utf8) \
    NAME(MAX_BODY_SIZE) NAME(read) NAME(get) NAME(more_body) NAME(done) NAME(set_result)       \
    NAME(_count) NAME(_end_reading) NAME(_wait_for_reader) NAME(_channel) NAME(_refuse_if_streamed) \
    NAME(_current_task) NAME(_UNSUSPENDED) NAME(ContentTooLarge) NAME(MessageAborted)          \
    /* Interned: an event type written in code is the same object. */                        \
    OBJECT(http_request, state::name("http.request"))                                          \
    OBJECT(http_disconnect, state::name("http.disconnect"))                                    \
    OBJECT(empty_bytes, state::bytes(""))                                                      \
    OBJECT(utf8, state::str("utf-8"))                                                          \
    OBJECT(minus_one, PyLong_FromLong(-1))                                                     \
    OBJECT(zero, PyLong_FromLong(0))                                                           \
    OBJECT(empty_tuple, PyTuple_New(0))

struct State {
    QM_STATE_FIELDS(QM_CONTENTS_STATE)
};

extern State S;

int create_state();

}  // namespace qm::contents
