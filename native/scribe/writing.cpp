#include "scribe/writing.hpp"

namespace qm::scribe {

Coro written(Writer write, Ref response, Ref sink, Ref request) {
    Writing w{.response = response.get(), .sink = sink.get(), .request = request.get()};
    for (;;) {
        Await step = write(w);
        const bool last = w.last;
        Ref sent = co_await std::move(step);
        if (!sent) co_return Raised{};
        if (last) co_return Ref::none();
    }
}

}  // namespace qm::scribe
