#include "messages/state.hpp"

#include <cstring>

#include "common/ref.hpp"

namespace qm::messages {

PyObject *charset_pattern() {
    Ref compile = Ref::steal(state::attr("re", "compile"));
    Ref ignorecase = Ref::steal(state::attr("re", "IGNORECASE"));
    Ref pattern = Ref::steal(state::bytes("charset=([\\w\\-]+)"));
    if (!compile || !ignorecase || !pattern) return nullptr;
    PyObject *args[] = {pattern.get(), ignorecase.get()};
    return PyObject_Vectorcall(compile.get(), args, 2, nullptr);
}

PyObject *days(int n) {
    Ref timedelta = Ref::steal(state::attr("datetime", "timedelta"));
    Ref count = Ref::steal(PyLong_FromLong(n));
    if (!timedelta || !count) return nullptr;
    return PyObject_CallOneArg(timedelta.get(), count.get());
}

PyObject *encodings_decode() {
    Ref settings = Ref::steal(state::attr("quenmark.settings.encodings", "encodings_settings"));
    if (!settings) return nullptr;
    return state::getattr(settings.get(), "decode");
}

QM_STATE_DEFINE(QM_MESSAGES_STATE)

int init_state() {
    if (!S.headers && !(S.headers = headers::import())) return -1;
    return create_state();
}

}  // namespace qm::messages
