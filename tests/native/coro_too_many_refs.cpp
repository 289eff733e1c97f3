// Must not compile: the collector is shown at most Roots::kMax Ref parameters of a native
// coroutine, and one more would be silently left out of its traversal.
#include "common/coro.hpp"

qm::Coro seven(qm::Ref a, qm::Ref b, qm::Ref c, qm::Ref d, qm::Ref e, qm::Ref f, qm::Ref g) {
    co_return qm::Ref::none();
}
