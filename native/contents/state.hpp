// The interned names the constructors read and store by, bound once at import.
#pragma once

#include <Python.h>

#include "common/module_state.hpp"

namespace qm::contents {

#define QM_CONTENTS_STATE(NAME, OBJECT, TYPE)                                                    \
    NAME(type) NAME(body) NAME(length) NAME(_source) NAME(_data) NAME(_complete) NAME(_streamed) \
    NAME(_received) NAME(max_size) NAME(announced) NAME(_reader) NAME(_read_done)              \
    NAME(_media_type) NAME(_argument) NAME(__init__) NAME(__new__) NAME(encode) NAME(dumps_utf8) \
    NAME(MAX_BODY_SIZE)                                                                        \
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
